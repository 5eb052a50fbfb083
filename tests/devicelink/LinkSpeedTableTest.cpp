// Reads over every kind of cable, in simulated time: link speed x link mode x read frame style
// x a fault on the cable. The bytes read are the flash, or the read ends as a failure; never
// other bytes with success.

#include "support/SimulatedLink.h"

#include "devicelink/BuiltInData.h"

#include <gtest/gtest.h>


namespace
{
namespace emu = talvek::emu;
using simlink::Bytes;
using simlink::Cable;
using simlink::SimulatedLink;

struct Speed
{
    const char* name;
    double bytesPerSecond;
};

struct Style
{
    const char* name;
    int frameBytes;
    emu::ReadFlagStyle flags;
};

struct CableFault
{
    const char* name;
    const char* spec;     // empty: none
    bool mustSucceed;     // a fault the read can always recover from
};

constexpr Speed speeds[] = {
    { "instant", 0 },
    { "USB-like", 100000 },
    { "DIN", 3125 },
};

constexpr Style styles[] = {
    { "acked blocks", 0, emu::ReadFlagStyle::WaitForAck },
    { "streamed blocks", 0, emu::ReadFlagStyle::Stream },
    { "acked 600-byte frames", 600, emu::ReadFlagStyle::WaitForAck },
    { "streamed 1600-byte frames", 1600, emu::ReadFlagStyle::Stream },
};

constexpr CableFault faults[] = {
    { "none", "", true },
    { "held back 1 s", "delay@read-block:3,ms=1000", true },
    { "held back 5 s", "delay@read-block:3,ms=5000", true },
    { "held back twice", "delay@read-block:3,ms=1500,count=2", true },
    { "dropped", "drop-reply@read-block:3", true },
    { "doubled once", "duplicate-read@read-block:3", false },
    { "every frame doubled", "duplicate-read@read-block:1,count=0", false },
};

// Eight blocks, each different, so that a block taken in another's place shows.
Bytes flashContent()
{
    Bytes content (8 * 4096);
    std::uint32_t x = 0x2468ACE1u;
    for (auto& b : content)
    {
        x = x * 1664525u + 1013904223u;
        b = std::uint8_t (x >> 24);
    }
    return content;
}

struct Outcome
{
    std::optional<std::pair<int, int>> result;
    Bytes data;
    std::string log;
};

Outcome readOver (const Cable& cable, const Bytes& content)
{
    SimulatedLink link (cable);
    link.programmer.norFlash().store (0, content.data(), content.size());

    // The read needs the chip's driver in the instrument's RAM; its upload is also where the
    // engine first sees how fast the cable is.
    const auto driver = BuiltInData::detectionDrivers()[2]; // the S29GL512_S one
    link.engine.startDriverUpload (driver.data, driver.size);
    const auto uploaded = link.run();
    EXPECT_EQ (uploaded, std::make_pair (0, 0)) << link.log;

    Outcome out;
    link.engine.startRead (0, static_cast<int> (content.size()));
    out.result = link.run();
    out.data = link.readData;
    out.log = link.log;
    return out;
}
} // namespace

TEST (LinkSpeedTable, TheBytesReadAreTheFlashOrTheReadFails)
{
    const auto content = flashContent();
    for (const auto& speed : speeds)
        for (const auto mode : { emu::LinkMode::FS, emu::LinkMode::HS })
            for (const auto& style : styles)
                for (const auto& fault : faults)
                {
                    const std::string what = std::string (speed.name) + ", " + (mode == emu::LinkMode::FS ? "FS" : "HS")
                                             + ", " + style.name + ", fault: " + fault.name;
                    SCOPED_TRACE (what);
                    Cable cable;
                    cable.bytesPerSecond = speed.bytesPerSecond;
                    cable.mode = mode;
                    cable.readFrameBytes = style.frameBytes;
                    cable.flags = style.flags;
                    if (*fault.spec != 0)
                    {
                        std::string error;
                        const auto parsed = emu::parseFault (fault.spec, &error);
                        ASSERT_TRUE (parsed.has_value()) << error;
                        cable.faults.push_back (*parsed);
                    }

                    const auto out = readOver (cable, content);
                    ASSERT_TRUE (out.result.has_value()) << "the read never ended\n" << out.log;
                    // A clean cable never times out, however slow: a block that takes 1.5 s
                    // to arrive is no lost block.
                    if (*fault.spec == 0)
                    {
                        EXPECT_FALSE (juce::String (out.log).contains ("Time out")) << out.log;
                    }
                    if (out.result->first == 0)
                        EXPECT_TRUE (out.data == content) << "success with other bytes\n" << out.log;
                    else
                        EXPECT_FALSE (fault.mustSucceed) << "failed: " << out.log;
                }
}

// Programming over the same cables with Acks doubled or held back, then reading back as an
// update does: when every step reports success, the flash holds the data.
TEST (LinkSpeedTable, AProgramReportedDoneAndReadBackIsInTheFlash)
{
    const auto data = flashContent();
    const CableFault writeFaults[] = {
        { "none", "", true },
        { "one Ack doubled", "duplicate-ack@program-block:3", false },
        { "every Ack doubled", "duplicate-ack@frame:1,count=0", false },
        { "an Ack held back 5 s", "delay@program-block:3,ms=5000", false },
        { "an Ack dropped", "drop-reply@program-block:3", false },
        // A busy host or device makes a fast link look slow for a moment: its quick Acks
        // afterwards are the real ones.
        { "the first two blocks answered late", "delay@block:1,ms=40,count=2", true },
    };
    for (const auto& speed : speeds)
        for (const auto& fault : writeFaults)
        {
            const std::string what = std::string (speed.name) + ", fault: " + fault.name;
            SCOPED_TRACE (what);
            Cable cable;
            cable.bytesPerSecond = speed.bytesPerSecond;
            if (*fault.spec != 0)
                cable.faults.push_back (*emu::parseFault (fault.spec));
            SimulatedLink link (cable);
            link.programmer.norFlash().eraseAll();

            const auto driver = BuiltInData::detectionDrivers()[2];
            link.engine.startDriverUpload (driver.data, driver.size);
            const auto uploaded = link.run();
            ASSERT_TRUE (uploaded.has_value());
            if (uploaded->first != 0)
            {
                EXPECT_FALSE (fault.mustSucceed) << link.log;
                continue;
            }
            link.engine.startProgram (data.data(), 0, static_cast<int> (data.size()));
            const auto programmed = link.run();
            ASSERT_TRUE (programmed.has_value()) << "the program never ended\n" << link.log;
            // A doubled Ack must not let the host run ahead of the instrument's input.
            EXPECT_EQ (link.mostBlocksAhead, 0);
            if (programmed->first != 0)
            {
                EXPECT_FALSE (fault.mustSucceed) << link.log;
                continue;
            }
            link.engine.startRead (0, static_cast<int> (data.size()));
            const auto read = link.run();
            ASSERT_TRUE (read.has_value()) << "the read never ended\n" << link.log;
            if (read->first != 0)
            {
                EXPECT_FALSE (fault.mustSucceed) << link.log;
                continue;
            }
            // Reported done and read back equal: that must be what the flash holds.
            if (link.readData == data)
            {
                Bytes flash (data.size());
                link.programmer.norFlash().read (0, flash.data(), flash.size());
                EXPECT_TRUE (flash == data) << link.log;
            }
            else
            {
                EXPECT_FALSE (fault.mustSucceed) << "read back differs\n" << link.log;
            }
        }
}
