// The wire format: builders against literal frames, packing and unpacking, the acceptance rules
// for incoming messages and the FS check bytes. Expected bytes are written out here, never
// produced by the code under test.

#include "devicelink/Frames.h"
#include "devicelink/TickCount.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace
{
Bytes build (const std::function<int (std::uint8_t*)>& builder)
{
    std::array<std::uint8_t, Frames::maxFrameSize> frame {};
    const int n = builder (frame.data());
    return Bytes (frame.begin(), frame.begin() + n);
}

Bytes packed (const std::array<std::uint8_t, Frames::blockSize>& block)
{
    const auto frame = build ([&] (std::uint8_t* f) { return Frames::buildData (f, block.data()); });
    EXPECT_EQ (frame.size(), 4689u);
    EXPECT_EQ (Bytes (frame.begin(), frame.begin() + 6), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01 }));
    EXPECT_EQ (frame.back(), 0xF7);
    return Bytes (frame.begin() + 6, frame.end() - 1);
}
} // namespace

TEST (Frames, BuildersGiveTheLiteralFrames)
{
    struct Case
    {
        const char* what;
        std::function<int (std::uint8_t*)> builder;
        Bytes expected;
    };
    const Case cases[] = {
        { "probe through output 3", [] (auto* f) { return Frames::buildProbe (f, 3); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x03, 0x01, 0xF7 } },
        { "host ack", [] (auto* f) { return Frames::buildAck (f); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 } },
        { "read the block at 20000h", [] (auto* f) { return Frames::buildAddress (f, 0x20000, 1); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x01, 0xF7 } },
        { "program from 0", [] (auto* f) { return Frames::buildAddress (f, 0, 0); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7 } },
        { "byte address 1 is word 0", [] (auto* f) { return Frames::buildAddress (f, 1, 0); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7 } },
        { "highest word address", [] (auto* f) { return Frames::buildAddress (f, 0x1FFFFFFE, 0); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x7F, 0x7F, 0x7F, 0x7F, 0x00, 0xF7 } },
        { "RAM load", [] (auto* f) { return Frames::buildRamLoad (f); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7 } },
        { "erase the sector at 40000h", [] (auto* f) { return Frames::buildEraseSector (f, 0x40000 / 2); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x08, 0x00, 0x00, 0xF7 } },
        { "one bit in each address group", [] (auto* f) { return Frames::buildEraseSector (f, 0x204081); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x01, 0x01, 0x01, 0x01, 0xF7 } },
        { "flash test", [] (auto* f) { return Frames::buildRunTest (f, 0); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x00, 0x00, 0xF7 } },
        { "test argument in two groups", [] (auto* f) { return Frames::buildRunTest (f, 0x1234); },
          { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x24, 0x34, 0xF7 } },
    };
    for (const auto& c : cases)
        EXPECT_EQ (build (c.builder), c.expected) << c.what;
}

TEST (Frames, WordAddressDropsTheLowBit)
{
    EXPECT_EQ (Frames::wordAddress (0), 0);
    EXPECT_EQ (Frames::wordAddress (1), 0);
    EXPECT_EQ (Frames::wordAddress (0x20000), 0x10000);
    EXPECT_EQ (Frames::wordAddress (0x9E0001), 0x4F0000);
}

TEST (Frames, PackingAllOnes)
{
    std::array<std::uint8_t, Frames::blockSize> block;
    block.fill (0xFF);
    const auto payload = packed (block);

    ASSERT_EQ (payload.size(), 4682u);
    for (std::size_t i = 0; i < 585 * 8; ++i)
        ASSERT_EQ (payload[i], 0x7F) << "at " << i;
    EXPECT_EQ (payload[4680], 0x7F);
    EXPECT_EQ (payload[4681], 0x01);
}

TEST (Frames, PackingAllZeros)
{
    std::array<std::uint8_t, Frames::blockSize> block {};
    EXPECT_EQ (packed (block), Bytes (4682, 0x00));
}

TEST (Frames, PackingPutsTheFirstByteOfAGroupInItsHighestBit)
{
    std::array<std::uint8_t, Frames::blockSize> block {};
    const std::array<std::uint8_t, 7> first { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x86 };
    std::copy (first.begin(), first.end(), block.begin());
    block[7] = 0xC0;       // second group, first byte
    block[4095] = 0xFE;    // the lone last byte

    const auto payload = packed (block);
    EXPECT_EQ (Bytes (payload.begin(), payload.begin() + 16),
               (Bytes { 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x41,
                        0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40 }));
    EXPECT_EQ (payload[4680], 0x7E);
    EXPECT_EQ (payload[4681], 0x01);
}

TEST (Frames, UnpackingDecodesEachFrameFromItsOwnStart)
{
    struct Case
    {
        const char* what;
        Bytes packedBytes;
        Bytes decoded;
    };
    const Case cases[] = {
        { "one full group", { 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x41 },
          { 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x86 } },
        { "a short last group", { 0x7F, 0x00, 0x02 }, { 0xFF, 0x00 } },
        { "a lone ninth byte carries nothing", { 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x7F, 0x01 },
          { 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96 } },
        { "two groups", { 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x00, 0x08, 0x09, 0x01 },
          { 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x89 } },
    };
    for (const auto& c : cases)
    {
        std::array<std::uint8_t, 32> block {};
        block[0] = 0xAA;
        int fill = 1; // appended after what the block already holds
        ASSERT_TRUE (Frames::unpackPayload (c.packedBytes.data(), (int) c.packedBytes.size(), block.data(), 32, fill)) << c.what;
        EXPECT_EQ (fill, 1 + (int) c.decoded.size()) << c.what;
        EXPECT_EQ (Bytes (block.begin() + 1, block.begin() + fill), c.decoded) << c.what;
        EXPECT_EQ (block[0], 0xAA) << c.what;
    }
}

TEST (Frames, UnpackedSizes)
{
    EXPECT_EQ (Frames::unpackedSize (0), 0);
    EXPECT_EQ (Frames::unpackedSize (1), 0);
    EXPECT_EQ (Frames::unpackedSize (2), 1);
    EXPECT_EQ (Frames::unpackedSize (8), 7);
    EXPECT_EQ (Frames::unpackedSize (9), 7);
    EXPECT_EQ (Frames::unpackedSize (16), 14);
    EXPECT_EQ (Frames::unpackedSize (4682), 4096);
}

TEST (Frames, UnpackingNeverWritesPastTheCapacity)
{
    const Bytes groups (16, 0x7F); // 14 bytes of FFh
    std::array<std::uint8_t, 24> block;
    block.fill (0x55);
    int fill = 6;
    EXPECT_FALSE (Frames::unpackPayload (groups.data(), (int) groups.size(), block.data(), 19, fill));
    EXPECT_EQ (fill, 6);
    for (auto b : block)
        EXPECT_EQ (b, 0x55);

    EXPECT_TRUE (Frames::unpackPayload (groups.data(), (int) groups.size(), block.data(), 20, fill));
    EXPECT_EQ (fill, 20);
    EXPECT_EQ (block[20], 0x55);
}

TEST (Frames, AcceptanceOfIncomingMessages)
{
    struct Case
    {
        const char* what;
        Bytes message;
        bool accepted;
        int command;
    };
    const Case cases[] = {
        { "ack, status 0", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 }, true, 0x00 },
        { "ack with extra bytes", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x02, 0x11, 0xF7 }, true, 0x00 },
        { "probe reply without speed", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x02, 0xF7 }, true, 0x09 },
        { "probe reply with speed", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x02, 0x01, 0xF7 }, true, 0x09 },
        { "shortest data frame", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x00, 0x01, 0x02, 0xF7 }, true, 0x01 },
        { "data frame one byte short", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x00, 0x01, 0xF7 }, false, 0 },
        { "command 07", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x07, 0x00, 0xF7 }, false, 0 },
        { "a host command (probe)", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x03, 0x01, 0xF7 }, false, 0 },
        { "five bytes between F0 and F7", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0xF7 }, false, 0 },
        { "other protocol byte", { 0xF0, 0x00, 0x20, 0x54, 0x7E, 0x00, 0x00, 0xF7 }, false, 0 },
        { "other manufacturer", { 0xF0, 0x00, 0x21, 0x54, 0x7D, 0x00, 0x00, 0xF7 }, false, 0 },
        { "no F7", { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0x00 }, false, 0 },
        { "not SysEx", { 0x90, 0x40, 0x7F }, false, 0 },
        { "clock", { 0xF8 }, false, 0 },
    };
    for (const auto& c : cases)
    {
        const auto frame = Frames::classify (c.message.data(), (int) c.message.size());
        ASSERT_EQ (frame.has_value(), c.accepted) << c.what;
        if (frame)
        {
            EXPECT_EQ ((int) frame->command, c.command) << c.what;
            EXPECT_EQ (frame->body, c.message.data() + 1) << c.what;
            EXPECT_EQ (frame->bodySize, (int) c.message.size() - 2) << c.what;
        }
    }
}

TEST (Frames, CheckBytes)
{
    struct Case
    {
        const char* what;
        std::function<void (std::array<std::uint8_t, Frames::checkedBlockSize>&)> fillData;
        std::array<std::uint8_t, 4> check;
    };
    const Case cases[] = {
        { "zeros", [] (auto&) {}, { 0x00, 0x00, 0x00, 0x00 } },
        // b0 = 01h, rotated left by 1: sum A = 2.
        { "first even byte", [] (auto& b) { b[0] = 0x01; }, { 0x00, 0x00, 0x02, 0x00 } },
        // b1 = 01h, rotated right by 1: sum B = 80h.
        { "first odd byte", [] (auto& b) { b[1] = 0x01; }, { 0x80, 0x00, 0x00, 0x00 } },
        // b14 and b15 go in unrotated; b13 = 03h rotated right by 7 is 06h.
        { "last bytes of a group", [] (auto& b) { b[16 + 14] = 0x34; b[16 + 15] = 0x12; b[16 + 13] = 0x03; },
          { 0x18, 0x00, 0x34, 0x00 } },
        // All FFh: each sum is 256 x 8 x FFh = 7F800h; only its low 16 bits (F800h) are compared.
        { "sums above 16 bits", [] (auto& b) { std::fill (b.begin(), b.begin() + 4096, std::uint8_t { 0xFF }); },
          { 0x00, 0xF8, 0x00, 0xF8 } },
    };
    for (const auto& c : cases)
    {
        std::array<std::uint8_t, Frames::checkedBlockSize> block {};
        c.fillData (block);
        std::copy (c.check.begin(), c.check.end(), block.begin() + 4096);
        EXPECT_TRUE (Frames::blockCheckOk (block.data())) << c.what;
        EXPECT_EQ (Frames::checkBytes (block.data()), c.check) << c.what;

        for (int i = 0; i < 4; ++i)
        {
            auto wrong = block;
            wrong[(std::size_t) (4096 + i)] ^= 0x01;
            EXPECT_FALSE (Frames::blockCheckOk (wrong.data())) << c.what << ", check byte " << i;
        }
    }
}

TEST (Frames, ElapsedTimeLines)
{
    EXPECT_EQ (formatElapsedTime (0), "00:00:00.000\n");
    EXPECT_EQ (formatElapsedTime (4567), "00:00:04.567\n");
    EXPECT_EQ (formatElapsedTime (3723004), "01:02:03.004\n");
    EXPECT_EQ (formatElapsedTime (90061001), "25:01:01.001\n");
}
