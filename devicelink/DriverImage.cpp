#include "devicelink/DriverImage.h"

namespace DriverImage
{
namespace
{
int readU16 (const std::uint8_t* p) { return p[0] | (p[1] << 8); }

std::string readName (const std::uint8_t* p)
{
    std::string name;
    for (int i = 0; i < nameSize && p[i] != 0 && p[i] != 0xFF; ++i)
        name.push_back (static_cast<char> (p[i]));
    return name;
}
} // namespace

std::vector<FlashSector> readSectorTable (const std::uint8_t* image, int length)
{
    if (image == nullptr || length < geometryOffset + 4)
        return {};

    struct Entry { int sizeBytes; int count; };
    std::vector<Entry> entries;
    std::int64_t totalBytes = 0;
    std::int64_t totalSectors = 0;
    bool terminated = false;

    for (int at = geometryOffset; at + 4 <= length; at += 4)
    {
        const int kib = readU16 (image + at);
        const int count = readU16 (image + at + 2);
        if (count == 0)
        {
            terminated = true;
            break;
        }
        if (kib == 0)
            return {};
        totalBytes += std::int64_t (kib) * 1024 * count;
        totalSectors += count;
        if (totalBytes > maxFlashBytes)
            return {};
        entries.push_back ({ kib * 1024, count });
    }

    if (! terminated || entries.empty())
        return {};

    std::vector<FlashSector> table;
    table.reserve (static_cast<size_t> (totalSectors));
    int start = 0;
    for (const auto& e : entries)
        for (int i = 0; i < e.count; ++i)
        {
            table.push_back ({ start, e.sizeBytes });
            start += e.sizeBytes;
        }
    return table;
}

Names readNames (const std::uint8_t* image, int length)
{
    if (image == nullptr)
        return {};

    for (int at = geometryOffset; at + 4 <= length; at += 4)
    {
        if (image[at] == 0 && image[at + 1] == 0 && image[at + 2] == 0 && image[at + 3] == 0)
        {
            const int names = at + 4;
            if (names + 2 * nameSize > length)
                return {};
            return { readName (image + names), readName (image + names + nameSize) };
        }
    }
    return {};
}
} // namespace DriverImage
