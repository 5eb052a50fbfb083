#pragma once

// The parts of a flash driver image that the tool interprets (numbers little-endian):
//   0   16 bytes  device code, not interpreted
//   16  4 bytes per entry: sector size in KiB (u16), sector count (u16); a count of 0 ends it
//   after the first all-zero 32-bit word at or after 16 (4-byte steps): MCU name, 16 bytes,
//       then flash name, 16 bytes, each text padded with FFh
// Everything is read within the image's length.

#include "devicelink/FlashLayout.h"

#include <cstdint>
#include <string>
#include <vector>

namespace DriverImage
{
constexpr int geometryOffset = 16;
constexpr int nameSize = 16;
// Beyond what the wire's 28-bit word addresses reach; also keeps the table's ints from overflowing.
constexpr std::int64_t maxFlashBytes = FlashLayout::maxFlashBytes;

// The sector table described by the geometry list, sectors laid out from address 0 in list
// order. Empty when the image has no usable geometry: shorter than 20 bytes, a first count
// of 0, a list that runs to the image end without its terminating entry, a sector size of 0,
// or more flash than the wire can address.
std::vector<FlashSector> readSectorTable (const std::uint8_t* image, int length);

struct Names
{
    std::string mcu;
    std::string flash;
};

// The two names without their FFh padding (a zero byte ends a name too); empty names when
// the image has no all-zero word followed by 32 bytes of names.
Names readNames (const std::uint8_t* image, int length);
} // namespace DriverImage
