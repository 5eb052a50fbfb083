// Link patterns that once defeated the engine, in simulated time: answers held back while the
// instrument queues the next ones, an oversized noise frame before a slow answer, Acks with
// status 3 during a read, and doubled Acks on a fast link. Each read is the flash or fails; no
// Data block leaves before the instrument has acknowledged the one before it.

#include "support/SimulatedLink.h"

#include "devicelink/BuiltInData.h"

#include <gtest/gtest.h>

namespace
{
namespace emu = talvek::emu;
using simlink::Bytes;
using simlink::Cable;
using simlink::SimulatedLink;

// Every block different, so that a block taken in another's place shows.
Bytes content (int blocks, std::uint32_t seed = 0x13579BDFu)
{
    Bytes data (std::size_t (blocks) * 4096);
    for (auto& b : data)
    {
        seed = seed * 1664525u + 1013904223u;
        b = std::uint8_t (seed >> 24);
    }
    return data;
}

bool uploadDriver (SimulatedLink& link)
{
    const auto driver = BuiltInData::detectionDrivers()[2]; // the emulated chip's
    link.engine.startDriverUpload (driver.data, driver.size);
    return link.run() == std::make_pair (0, 0);
}

struct ReadOutcome
{
    std::optional<std::pair<int, int>> result;
    bool exact = false;
    std::string log;
    int mostRequestsOwed = 0;
};

ReadOutcome readOver (const Cable& cable, const Bytes& data)
{
    SimulatedLink link (cable);
    link.programmer.norFlash().store (0, data.data(), data.size());
    ReadOutcome out;
    if (! uploadDriver (link))
    {
        out.log = link.log;
        return out;
    }
    link.engine.startRead (0, static_cast<int> (data.size()));
    out.result = link.run();
    out.exact = link.readData == data;
    out.log = link.log;
    out.mostRequestsOwed = link.mostRequestsOwed;
    return out;
}

emu::Fault fault (const char* spec)
{
    std::string error;
    const auto parsed = emu::parseFault (spec, &error);
    EXPECT_TRUE (parsed.has_value()) << spec << ": " << error;
    return parsed.value_or (emu::Fault {});
}
} // namespace

// Answers to reads 3..40 held back while the instrument takes the re-requests and queues their
// answers behind the held one. In acked mode the held answer then waits for an Ack the host
// does not send while it drains: a quiet line is no proof that nothing is owed.
TEST (LinkPatterns, HeldAnswersCompleteTheReadByteExact)
{
    struct Case
    {
        const char* what;
        double bytesPerSecond;
        emu::LinkMode mode;
        int frameBytes;
        emu::ReadFlagStyle flags;
        double holdMs;
        int blocks;
    };
    const Case cases[] = {
        { "USB, FS, acked 600-byte frames", 100000, emu::LinkMode::FS, 600, emu::ReadFlagStyle::WaitForAck, 700, 64 },
        { "USB, FS, acked blocks", 100000, emu::LinkMode::FS, 0, emu::ReadFlagStyle::WaitForAck, 700, 64 },
        { "USB, HS, acked 600-byte frames", 100000, emu::LinkMode::HS, 600, emu::ReadFlagStyle::WaitForAck, 700, 64 },
        { "USB, FS, streamed 1600-byte frames", 100000, emu::LinkMode::FS, 1600, emu::ReadFlagStyle::Stream, 700, 64 },
        { "fast USB, FS, acked 600-byte frames", 800000, emu::LinkMode::FS, 600, emu::ReadFlagStyle::WaitForAck, 700, 64 },
        { "DIN, FS, acked 600-byte frames", 3125, emu::LinkMode::FS, 600, emu::ReadFlagStyle::WaitForAck, 1000, 48 },
        { "DIN, HS, acked 600-byte frames", 3125, emu::LinkMode::HS, 600, emu::ReadFlagStyle::WaitForAck, 1000, 48 },
    };
    for (const bool stamps : { false, true })
    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::string (c.what) + (stamps ? ", byte stamps" : ""));
        const auto data = content (c.blocks);
        Cable cable;
        cable.byteStamps = stamps;
        cable.bytesPerSecond = c.bytesPerSecond;
        cable.mode = c.mode;
        cable.readFrameBytes = c.frameBytes;
        cable.flags = c.flags;
        cable.held = Cable::HeldAnswers { 3, 40, c.holdMs };
        const auto out = readOver (cable, data);
        ASSERT_TRUE (out.result.has_value()) << "the read never ended\n" << out.log;
        EXPECT_EQ (*out.result, std::make_pair (0, 0)) << out.log;
        EXPECT_TRUE (out.exact) << out.log;
    }
}

// The same link, but an instrument that is busy while it holds an answer back (it takes the
// next frame only afterwards).
TEST (LinkPatterns, AnswersHeldByABusyInstrumentCompleteTheRead)
{
    for (const double rate : { 100000.0, 3125.0 })
        for (const int frameBytes : { 0, 600 })
        {
            SCOPED_TRACE (std::to_string (rate) + " B/s, frame bytes " + std::to_string (frameBytes));
            const auto data = content (rate < 10000 ? 24 : 48);
            Cable cable;
            cable.bytesPerSecond = rate;
            cable.readFrameBytes = frameBytes;
            cable.faults.push_back (fault (rate < 10000 ? "delay@read-block:3,ms=1000,count=38" : "delay@read-block:3,ms=700,count=38"));
            const auto out = readOver (cable, data);
            ASSERT_TRUE (out.result.has_value()) << "the read never ended\n" << out.log;
            EXPECT_EQ (*out.result, std::make_pair (0, 0)) << out.log;
            EXPECT_TRUE (out.exact) << out.log;
        }
}

// A frame longer than a block, then the block's real answer, only slow: the bad frame is no
// proof that the request was answered, so the slow answer must not be taken for the re-request
// and the re-request's answer for the next block. The read is right or fails, never one behind;
// and Acks with status 3 do not stack up re-requests.
TEST (LinkPatterns, BadFramesAndStatusThreeNeverShiftTheRead)
{
    struct Case
    {
        const char* what;
        std::vector<const char*> faults;
        bool mustSucceed;
    };
    const Case cases[] = {
        { "oversized noise, then a 240 ms answer", { "oversize-read@read-block:3", "delay@read-block:3,ms=240" }, true },
        { "oversized noise, then a 600 ms answer", { "oversize-read@read-block:3", "delay@read-block:3,ms=600" }, true },
        { "oversized noise before every answer", { "oversize-read@read-block:1,count=0" }, false },
        { "status 3 once", { "ack-status-3@read-block:3" }, true },
        { "status 3 three times, doubled", { "ack-status-3@read-block:3,count=3", "duplicate-ack@read-block:3,count=3" }, false },
        { "status 3 doubled and late", { "ack-status-3@read-block:3,count=4", "duplicate-ack@read-block:3,count=4,after=100" }, false },
        { "the last answer doubled", { "duplicate-read@read-block:6,count=0" }, false },
        { "the last answer doubled late", { "duplicate-read@read-block:6,count=0,after=30" }, false },
    };
    for (const bool stamps : { false, true })
    for (const double rate : { 0.0, 100000.0, 3125.0 })
        for (const auto mode : { emu::LinkMode::FS, emu::LinkMode::HS })
            for (const int frameBytes : { 0, 600 })
                for (const auto& c : cases)
                {
                    SCOPED_TRACE (std::string (c.what) + ", " + std::to_string (rate) + " B/s, "
                                  + (mode == emu::LinkMode::FS ? "FS" : "HS") + ", frame bytes " + std::to_string (frameBytes)
                                  + (stamps ? ", byte stamps" : ""));
                    const auto data = content (6);
                    Cable cable;
                    cable.byteStamps = stamps;
                    cable.bytesPerSecond = rate;
                    cable.mode = mode;
                    cable.readFrameBytes = frameBytes;
                    for (const auto* spec : c.faults)
                        cable.faults.push_back (fault (spec));
                    const auto out = readOver (cable, data);
                    ASSERT_TRUE (out.result.has_value()) << "the read never ended\n" << out.log;
                    if (out.result->first == 0)
                        EXPECT_TRUE (out.exact) << "success with other bytes\n" << out.log;
                    else
                        EXPECT_FALSE (c.mustSucceed) << out.log;
                    EXPECT_LE (out.mostRequestsOwed, 3) << out.log;
                }
}

// Every 7th Ack doubled: the copy must not pass for the next block's Ack, on links fast enough
// that a block crosses in a few milliseconds.
TEST (LinkPatterns, DoubledAcksNeverRunTheHostAhead)
{
    for (const double rate : { 800000.0, 100000.0 })
        for (const char* spec : { "duplicate-ack@frame:1,count=0,every=7", "duplicate-ack@frame:1,count=0" })
        {
            SCOPED_TRACE (std::to_string (rate) + " B/s, " + spec);
            const auto data = content (64);
            Cable cable;
            cable.bytesPerSecond = rate;
            cable.faults.push_back (fault (spec));
            SimulatedLink link (cable);
            link.programmer.norFlash().eraseAll();
            ASSERT_TRUE (uploadDriver (link)) << link.log;
            link.engine.startProgram (data.data(), 0, static_cast<int> (data.size()));
            const auto programmed = link.run();
            ASSERT_TRUE (programmed.has_value()) << link.log;
            EXPECT_EQ (*programmed, std::make_pair (0, 0)) << link.log;
            EXPECT_EQ (link.mostBlocksAhead, 0);
            Bytes flash (data.size());
            link.programmer.norFlash().read (0, flash.data(), flash.size());
            EXPECT_TRUE (flash == data);
        }
}
