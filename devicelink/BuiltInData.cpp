#include "devicelink/BuiltInData.h"

#include "BinaryData.h"

namespace BuiltInData
{
namespace
{
Block block (const char* data, int size)
{
    return { reinterpret_cast<const std::uint8_t*> (data), size };
}
} // namespace

std::array<Block, 4> detectionDrivers()
{
    return { block (BinaryData::driver_s29gl256_s_bin, BinaryData::driver_s29gl256_s_binSize),
             block (BinaryData::driver_s29gl02gs_est_bin, BinaryData::driver_s29gl02gs_est_binSize),
             block (BinaryData::driver_s29gl512_s_bin, BinaryData::driver_s29gl512_s_binSize),
             block (BinaryData::driver_s29gl01g_s_bin, BinaryData::driver_s29gl01g_s_binSize) };
}

Block specialDriver() { return block (BinaryData::driver_special_bin, BinaryData::driver_special_binSize); }
Block paramArea() { return block (BinaryData::param_area_bin, BinaryData::param_area_binSize); }
Block zeroBlock() { return block (BinaryData::zero_block_bin, BinaryData::zero_block_binSize); }
} // namespace BuiltInData
