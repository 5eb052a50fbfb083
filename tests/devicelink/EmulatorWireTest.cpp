// The emulator's own codec and content rules, against literal bytes of the wire description.

#if TALVEK_HAVE_EMULATOR

#include "EmulatorTestHost.h"
#include "emulator/Instrument.h"
#include "emulator/Wire.h"

#include <gtest/gtest.h>

using namespace talvek::emu;
namespace w = talvek::emu::wire;
using emutest::Bytes;

TEST (EmulatorWire, ConcreteHostFramesParse)
{
    struct Case
    {
        Bytes frame;
        std::uint8_t command;
        Bytes payload;
    };
    const Case cases[] = {
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x03, 0x01, 0xF7 }, 0x08, { 0x03, 0x01 } },
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 }, 0x00, { 0x00 } },
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x01, 0xF7 }, 0x02, { 0x00, 0x04, 0x00, 0x00, 0x01 } },
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7 }, 0x02, { 0, 0, 0, 0, 0 } },
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7 }, 0x03, {} },
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x08, 0x00, 0x00, 0xF7 }, 0x04, { 0x00, 0x08, 0x00, 0x00 } },
        { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x00, 0x00, 0xF7 }, 0x05, { 0x00, 0x00 } },
    };
    for (const auto& c : cases)
    {
        const auto parsed = w::parse (c.frame);
        ASSERT_TRUE (parsed.has_value());
        EXPECT_EQ (parsed->command, c.command);
        EXPECT_EQ (parsed->payload, c.payload);
        EXPECT_EQ (w::hostFrameLength (c.command), c.frame.size());
    }
    // Word addresses of the read at 20000h and the erase at 40000h.
    const std::uint8_t read[] = { 0x00, 0x04, 0x00, 0x00 };
    const std::uint8_t erase[] = { 0x00, 0x08, 0x00, 0x00 };
    EXPECT_EQ (w::decodeWordAddress (read) * 2, 0x20000u);
    EXPECT_EQ (w::decodeWordAddress (erase) * 2, 0x40000u);
    EXPECT_EQ (w::encodeWordAddress (0x10000), (std::array<std::uint8_t, 4> { 0x00, 0x04, 0x00, 0x00 }));
    EXPECT_EQ (w::encodeWordAddress ((1u << 28) - 1), (std::array<std::uint8_t, 4> { 0x7F, 0x7F, 0x7F, 0x7F }));

    EXPECT_FALSE (w::parse ({ 0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7 }).has_value());
    EXPECT_EQ (w::hostFrameLength (0x07), 0u);
    EXPECT_EQ (w::hostFrameLength (0x01), 4689u);
}

TEST (EmulatorWire, DeviceFramesAreLiteral)
{
    EXPECT_EQ (w::ack (0), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 }));
    EXPECT_EQ (w::ack (2), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x02, 0xF7 }));
    EXPECT_EQ (w::probeReply (3, 0x01), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x03, 0x01, 0xF7 }));
    EXPECT_EQ (w::probeReply (2, std::nullopt), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x02, 0xF7 }));
    const std::uint8_t data[] = { 0x80, 0x01 };
    EXPECT_EQ (w::readFrame (1, data, 2), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x01, 0x01, 0x00, 0x01, 0x02, 0xF7 }));
}

TEST (EmulatorWire, PackingOfAllFFAndAll00)
{
    const Bytes ff (4096, 0xFF);
    const Bytes packedFF = w::pack (ff.data(), ff.size());
    ASSERT_EQ (packedFF.size(), 4682u);
    for (std::size_t i = 0; i < 585 * 8; ++i)
        ASSERT_EQ (packedFF[i], 0x7F) << i;
    EXPECT_EQ (packedFF[4680], 0x7F);
    EXPECT_EQ (packedFF[4681], 0x01);

    const Bytes zero (4096, 0x00);
    EXPECT_EQ (w::pack (zero.data(), zero.size()), Bytes (4682, 0x00));

    // The emulator's packing agrees with the test host's, byte for byte, on a busy block.
    const Bytes block = emutest::pattern (4096, 7);
    Bytes frame = emutest::dataFrame (block);
    ASSERT_EQ (frame.size(), 4689u);
    EXPECT_EQ (Bytes (frame.begin() + 6, frame.end() - 1), w::pack (block.data(), block.size()));
    EXPECT_EQ (w::unpack (frame.data() + 6, 4682), block);
}

TEST (EmulatorWire, UnpackingRestartsPerFrameAndDropsASingleByteGroup)
{
    struct Case
    {
        Bytes packed;
        Bytes expected;
    };
    const Case cases[] = {
        { { 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x41 }, { 0x81, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87 } },
        { { 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x00, 0x7F }, { 1, 2, 3, 4, 5, 6, 7 } }, // ninth byte: nothing
        { { 0x7F, 0x01 }, { 0xFF } },
        { { 0x10, 0x20, 0x03 }, { 0x90, 0xA0 } },
    };
    for (const auto& c : cases)
        EXPECT_EQ (w::unpack (c.packed.data(), c.packed.size()), c.expected);
    EXPECT_EQ (w::unpackedSize (16), 14u);
    EXPECT_EQ (w::unpackedSize (9), 7u);
    EXPECT_EQ (w::unpackedSize (4686), 4100u);
}

TEST (EmulatorWire, FsCheckBytesOfKnownBlocks)
{
    // All 01h: each group adds 2+4+...+128+1 = 255 to both sums, 256 groups: FF00h.
    const Bytes ones (4096, 0x01);
    EXPECT_EQ (w::checkBytes (ones.data()), (std::array<std::uint8_t, 4> { 0x00, 0xFF, 0x00, 0xFF }));
    // All FFh: 8 x 255 x 256 = 7F800h per sum; only the low 16 bits travel.
    const Bytes ff (4096, 0xFF);
    EXPECT_EQ (w::checkBytes (ff.data()), (std::array<std::uint8_t, 4> { 0x00, 0xF8, 0x00, 0xF8 }));
    // Only b1 of the first group set to 01h: rotr(1, 1) = 80h lands in sum B.
    Bytes one (4096, 0x00);
    one[1] = 0x01;
    EXPECT_EQ (w::checkBytes (one.data()), (std::array<std::uint8_t, 4> { 0x80, 0x00, 0x00, 0x00 }));
    one[1] = 0;
    one[12] = 0x81; // rotl(81h, 7) = C0h in sum A
    EXPECT_EQ (w::checkBytes (one.data()), (std::array<std::uint8_t, 4> { 0x00, 0x00, 0xC0, 0x00 }));
    // A busy block against the test host's independent formulation.
    for (std::uint32_t seed : { 1u, 2u, 3u })
    {
        const Bytes block = emutest::pattern (4096, seed);
        EXPECT_EQ (w::checkBytes (block.data()), emutest::fsCheck (block.data()));
    }
}

TEST (EmulatorWire, StreamParserSkipsRealTimeAndDropsBrokenFrames)
{
    w::StreamParser parser;
    std::vector<Bytes> frames;
    auto feed = [&] (const Bytes& bytes) {
        for (auto b : bytes)
            if (parser.feed (b))
                frames.push_back (parser.frame());
    };
    feed ({ 0x90, 0x40, 0x7F, 0xF0, 0x00, 0xF8, 0x20, 0x54, 0xFE, 0x7D, 0x03, 0xF7 }); // note-on before, clock inside
    feed ({ 0xF0, 0x00, 0x20, 0x90, 0xF0, 0x01, 0xF7 });                              // status byte aborts
    ASSERT_EQ (frames.size(), 2u);
    EXPECT_EQ (frames[0], (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7 }));
    EXPECT_EQ (frames[1], (Bytes { 0xF0, 0x01, 0xF7 }));
    EXPECT_EQ (parser.droppedFrames(), 1u);

    Bytes huge (w::maxFrame + 10, 0x11);
    huge.front() = 0xF0;
    huge.back() = 0xF7;
    feed (huge);
    EXPECT_EQ (frames.size(), 2u);
    EXPECT_EQ (parser.droppedFrames(), 2u);
}

TEST (EmulatorContent, DriverHeaderDecidesKindAndChipMatch)
{
    struct Case
    {
        Bytes image;
        FlashChip chip;
        DriverKind kind;
        bool valid;
        bool matches;
    };
    Bytes noTerminator = emutest::flashDriver ("S29GL256_S", 256);
    noTerminator.resize (20); // one geometry entry, no end, no names
    const Case cases[] = {
        { emutest::flashDriver ("S29GL256_S", 256), FlashChip::S29GL256_S, DriverKind::FlashDriver, true, true },
        { emutest::flashDriver ("S29GL256_S", 256), FlashChip::S29GL512_S, DriverKind::FlashDriver, true, false },
        { emutest::flashDriver ("S29GL512_S", 256), FlashChip::S29GL512_S, DriverKind::FlashDriver, true, false }, // geometry
        { emutest::flashDriver ("S29GL02GS_EST", 2048), FlashChip::S29GL02GS_EST, DriverKind::FlashDriver, true, true },
        { emutest::driverImage ("TALVEK-FLASHDRV0", "S29GL01G_S", 2048, 64), FlashChip::S29GL01G_S, DriverKind::FlashDriver, true, false },
        { emutest::specialDriver(), FlashChip::S29GL512_S, DriverKind::IoState, true, false },
        { emutest::driverImage ("SOMETHING-ELSE..", "S29GL512_S", 512), FlashChip::S29GL512_S, DriverKind::Unknown, true, false },
        { noTerminator, FlashChip::S29GL256_S, DriverKind::FlashDriver, false, false },
    };
    for (const auto& c : cases)
    {
        const DriverInfo d = parseDriver (c.image.data(), c.image.size(), c.chip);
        EXPECT_EQ (d.kind, c.kind);
        EXPECT_EQ (d.headerValid, c.valid);
        EXPECT_EQ (d.matchesChip, c.matches) << d.flashName << " on " << chipInfo (c.chip).name;
    }
    const DriverInfo d = parseDriver (emutest::specialDriver().data(), 4096, FlashChip::S29GL512_S);
    EXPECT_EQ (d.mcuName, "ZKT828");
    EXPECT_EQ (d.flashName, "S29GL512_S");
}

TEST (EmulatorContent, FaultSpecs)
{
    const auto f = parseFault ("delay@read-block:2,ms=900,count=11");
    ASSERT_TRUE (f.has_value());
    EXPECT_EQ (f->kind, FaultKind::DelayReply);
    EXPECT_EQ (f->point, FaultPoint::ReadBlock);
    EXPECT_EQ (f->n, 2u);
    EXPECT_EQ (f->delayMs, 900u);
    EXPECT_EQ (f->count, 11u);
    const auto p = parseFault ("power-loss@bytes:100000,partial=100");
    ASSERT_TRUE (p.has_value());
    EXPECT_EQ (p->point, FaultPoint::Bytes);
    EXPECT_EQ (p->partialBytes, 100u);
    EXPECT_EQ (describeFault (*parseFault (describeFault (*p))), describeFault (*p));
    const auto doubled = parseFault ("duplicate-ack@test:3,count=0,every=4,after=40");
    ASSERT_TRUE (doubled.has_value());
    EXPECT_EQ (doubled->point, FaultPoint::Test);
    EXPECT_EQ (doubled->every, 4u);
    EXPECT_EQ (doubled->afterMs, 40u);
    EXPECT_EQ (describeFault (*doubled), "duplicate-ack@test:3,count=0,every=4,after=40");
    EXPECT_EQ (parseFault ("refuse")->kind, FaultKind::Refuse);
    const auto plain = parseFault ("second-instrument");
    ASSERT_TRUE (plain.has_value());
    EXPECT_EQ (plain->point, FaultPoint::Frame);
    EXPECT_EQ (plain->n, 1u);

    for (const char* bad : { "", "melt@frame:1", "delay@frame", "delay@page:1", "delay@frame:0", "delay@frame:x",
                             "delay@frame:1,speed=3", "delay@frame:1,ms=", "duplicate-ack,every=0" })
    {
        std::string error;
        EXPECT_FALSE (parseFault (bad, &error).has_value()) << bad;
        EXPECT_FALSE (error.empty());
    }
}

TEST (EmulatorContent, GeneratedFlashAndUpdateFilesCarryIdentityAndMarkers)
{
    Identity id;
    const char* text = "ABCDEFGHIJKL";
    std::memcpy (id.id.data(), text, 12);
    id.tag = { 0x12, 0x34 };

    Instrument instrument ({ .chip = FlashChip::S29GL256_S });
    instrument.generateContent (id);
    EXPECT_EQ (instrument.readFlash (0, 1), Bytes { 0x02 });
    EXPECT_EQ (instrument.readFlash (markerAddress, 2), (Bytes { 'B', 'D' }));
    EXPECT_EQ (instrument.readFlash (identityAddress, 12), Bytes (text, text + 12));
    EXPECT_EQ (instrument.readFlash (tagAddress, 2), (Bytes { 0x12, 0x34 }));
    EXPECT_EQ (instrument.readFlash (paramAreaAddress, paramAreaSize), makeParamArea (id));
    EXPECT_NE (makeParamArea (id), makeParamArea (Identity::defaults()));
    EXPECT_EQ (instrument.readFlash (0x200000, 4), Bytes (4, 0xFF));
    EXPECT_LE (instrument.storedSectors(), 9u); // 1 MiB of code and the tag's sector

    for (std::size_t size : { std::size_t (0x40000), std::size_t (40 * 0x40000) })
    {
        const Bytes image = makeUpdateImage (id, size);
        ASSERT_EQ (image.size(), size);
        EXPECT_EQ (image[0], 0x02);
        EXPECT_EQ (image[markerAddress], 'B');
        EXPECT_EQ (image[markerAddress + 1], 'D');
        EXPECT_EQ (Bytes (image.begin() + identityAddress, image.begin() + identityAddress + 12), Bytes (text, text + 12));
        if (size > tagAddress)
        {
            EXPECT_EQ (image[tagAddress], 0x12);
            EXPECT_EQ (image[tagAddress + 1], 0x34);
        }
        // The update differs from what the instrument holds, so writing it shows.
        EXPECT_NE (Bytes (image.begin() + 0x20000, image.begin() + 0x21000), instrument.readFlash (0x20000, 0x1000));
    }
}

#endif
