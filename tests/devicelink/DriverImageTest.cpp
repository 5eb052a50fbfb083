// The driver image header: geometry list to sector table, the names, and the built-in images.
#include "devicelink/BuiltInData.h"
#include "devicelink/DriverImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>

namespace
{
// A header with the given geometry entries written from offset 16 (no terminator is added).
std::vector<std::uint8_t> imageWith (std::initializer_list<std::pair<int, int>> entries, int size = 4096)
{
    std::vector<std::uint8_t> image ((size_t) size, 0xEE);
    size_t at = 16;
    for (auto [kib, count] : entries)
    {
        image[at++] = (std::uint8_t) (kib & 0xFF);
        image[at++] = (std::uint8_t) (kib >> 8);
        image[at++] = (std::uint8_t) (count & 0xFF);
        image[at++] = (std::uint8_t) (count >> 8);
    }
    return image;
}
} // namespace

TEST (DriverImage, UniformGeometryGivesConsecutiveSectors)
{
    const auto image = imageWith ({ { 128, 256 }, { 0, 0 } });
    const auto table = DriverImage::readSectorTable (image.data(), (int) image.size());

    ASSERT_EQ (table.size(), 256u);
    for (size_t i = 0; i < table.size(); ++i)
    {
        EXPECT_EQ (table[i].start, (int) i * 131072);
        EXPECT_EQ (table[i].size, 131072);
    }
    EXPECT_EQ (table.back().start + table.back().size, 33554432);
}

TEST (DriverImage, MixedGeometryContinuesWhereThePreviousEntryEnded)
{
    const auto image = imageWith ({ { 64, 8 }, { 128, 255 }, { 0, 0 } });
    const auto table = DriverImage::readSectorTable (image.data(), (int) image.size());

    ASSERT_EQ (table.size(), 263u);
    EXPECT_EQ (table[0].start, 0);
    EXPECT_EQ (table[0].size, 65536);
    EXPECT_EQ (table[7].start, 7 * 65536);
    EXPECT_EQ (table[8].start, 524288);
    EXPECT_EQ (table[8].size, 131072);
    EXPECT_EQ (table[9].start, 524288 + 131072);
    EXPECT_EQ (table.back().start + table.back().size, 524288 + 255 * 131072);
}

TEST (DriverImage, ImagesWithoutUsableGeometryGiveNoTable)
{
    struct Case
    {
        const char* what;
        std::vector<std::uint8_t> image;
    };
    const Case cases[] = {
        { "first count 0", imageWith ({ { 128, 0 } }) },
        { "list runs off the image", imageWith ({ { 128, 1 }, { 128, 1 } }, 24) },
        { "entry cut by the image end", imageWith ({ { 128, 1 } }, 22) },
        { "shorter than 20 bytes", std::vector<std::uint8_t> (19, 0x01) },
        { "empty image", {} },
        { "sector size 0", imageWith ({ { 0, 5 }, { 0, 0 } }) },
        { "more flash than the wire reaches", imageWith ({ { 1024, 600 }, { 0, 0 } }) },
    };
    for (const auto& c : cases)
        EXPECT_TRUE (DriverImage::readSectorTable (c.image.data(), (int) c.image.size()).empty()) << c.what;

    EXPECT_TRUE (DriverImage::readSectorTable (nullptr, 4096).empty());
}

TEST (DriverImage, TerminatorAsTheLastWordOfTheImageIsAccepted)
{
    const auto image = imageWith ({ { 4, 3 }, { 0, 0 } }, 24);
    EXPECT_EQ (DriverImage::readSectorTable (image.data(), 24).size(), 3u);
}

TEST (DriverImage, NamesFollowTheFirstAllZeroWord)
{
    auto image = imageWith ({ { 128, 2 }, { 7, 0 }, { 0, 0 } }, 64);
    std::memcpy (image.data() + 28, "ZKT828\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 16);
    std::memcpy (image.data() + 44, "S29GL256_S\xFF\xFF\xFF\xFF\xFF\xFF", 16);

    const auto names = DriverImage::readNames (image.data(), 64);
    EXPECT_EQ (names.mcu, "ZKT828");
    EXPECT_EQ (names.flash, "S29GL256_S");

    // One byte short of the flash name: no names rather than a read past the end.
    EXPECT_EQ (DriverImage::readNames (image.data(), 59).mcu, "");
}

TEST (BuiltInData, DetectionDriversHaveTheTableNamesAndGeometries)
{
    struct Expected
    {
        const char* flash;
        size_t sectors;
    };
    const Expected expected[] = { { "S29GL256_S", 256 }, { "S29GL02GS_EST", 2048 },
                                  { "S29GL512_S", 512 }, { "S29GL01G_S", 1024 } };
    const auto drivers = BuiltInData::detectionDrivers();

    for (size_t i = 0; i < drivers.size(); ++i)
    {
        SCOPED_TRACE (expected[i].flash);
        ASSERT_NE (drivers[i].data, nullptr);
        EXPECT_EQ (drivers[i].size, 4096);
        const auto names = DriverImage::readNames (drivers[i].data, drivers[i].size);
        EXPECT_EQ (names.mcu, "ZKT828");
        EXPECT_EQ (names.flash, expected[i].flash);
        const auto table = DriverImage::readSectorTable (drivers[i].data, drivers[i].size);
        ASSERT_EQ (table.size(), expected[i].sectors);
        EXPECT_EQ (table.front().size, 131072);
        EXPECT_EQ (table.back().size, 131072);
    }
}

TEST (BuiltInData, SpecialDriverHasTheSameHeaderButOtherCode)
{
    const auto special = BuiltInData::specialDriver();
    const auto detection512 = BuiltInData::detectionDrivers()[2];

    ASSERT_EQ (special.size, 4096);
    const auto names = DriverImage::readNames (special.data, special.size);
    EXPECT_EQ (names.mcu, "ZKT828");
    EXPECT_EQ (names.flash, "S29GL512_S");
    EXPECT_EQ (DriverImage::readSectorTable (special.data, special.size).size(), 512u);
    EXPECT_NE (std::memcmp (special.data, detection512.data, 4096), 0);
}

TEST (BuiltInData, FirmwareBlocks)
{
    const auto param = BuiltInData::paramArea();
    ASSERT_EQ (param.size, 65536);
    EXPECT_EQ (param.data[0], 0x02);
    EXPECT_EQ (param.data[1], 0x00);
    EXPECT_EQ (param.data[2], 0x5D);
    int ff = 0;
    for (int i = 0; i < param.size; ++i)
        ff += param.data[i] == 0xFF ? 1 : 0;
    EXPECT_GT (ff, param.size * 9 / 10);

    const auto zero = BuiltInData::zeroBlock();
    ASSERT_EQ (zero.size, 4096);
    for (int i = 0; i < zero.size; ++i)
        ASSERT_EQ (zero.data[i], 0) << i;
}
