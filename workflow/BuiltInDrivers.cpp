#include "workflow/BuiltInDrivers.h"

#include "devicelink/BuiltInData.h"
#include "devicelink/DriverImage.h"

#include <algorithm>
#include <string>

namespace
{
std::array<char, 18> nameField (const std::string& text)
{
    std::array<char, 18> field {};
    std::copy_n (text.begin(), std::min<std::size_t> (text.size(), field.size() - 1), field.begin());
    return field;
}
} // namespace

std::vector<DriverEntry> makeBuiltInDrivers()
{
    std::vector<DriverEntry> drivers;
    for (const auto& block : BuiltInData::detectionDrivers())
    {
        const auto names = DriverImage::readNames (block.data, block.size);
        drivers.push_back ({ block.data, block.size, nameField (names.mcu), nameField (names.flash) });
    }
    return drivers;
}
