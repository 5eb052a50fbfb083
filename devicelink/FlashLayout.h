#pragma once

// Where things are in the instrument's flash, and the units it is moved in. Every other file
// takes these numbers from here.

#include <cstdint>
#include <vector>

// One flash sector: start byte address and size in bytes.
struct FlashSector
{
    int start = 0;
    int size = 0;
};

namespace FlashLayout
{
// Data moves in blocks; a byte address is page x pageSize + offset.
constexpr int blockSize = 4096;
constexpr int pageSize = 0x20000;                 // 128 KiB
constexpr std::int64_t maxFlashBytes = std::int64_t (1) << 29; // the largest flash a driver may describe

// The instrument's identity: 12 bytes in the first block, then 12 bytes of tag at 9E0000h.
constexpr int identityPage = 0;
constexpr int identityOffset = 0x1FFF4;
constexpr int identityLength = 12;
constexpr int tagPage = 0x4F;                     // 4Fh x 20000h = 9E0000h
constexpr int tagPageOffset = 0;
constexpr std::int64_t tagOffset = std::int64_t (tagPage) * pageSize + tagPageOffset;
constexpr int tagLength = 12;

// The instrument's own parameter area, which an update of 256 KiB keeps (40000h to 5FFFFh).
constexpr int paramAreaOffset = 0x40000;
constexpr int paramAreaLength = 0x20000;

// Update files are whole multiples of this; up to it, the parameter area is kept.
constexpr std::int64_t updateUnit = 0x40000;

// The end of the flash a sector table describes: the end of its last sector, 0 without one.
inline std::int64_t endOf (const std::vector<FlashSector>& sectors)
{
    return sectors.empty() ? 0 : std::int64_t (sectors.back().start) + sectors.back().size;
}

static_assert (tagOffset == 0x9E0000);
static_assert (paramAreaOffset + paramAreaLength <= 3 * pageSize);
} // namespace FlashLayout
