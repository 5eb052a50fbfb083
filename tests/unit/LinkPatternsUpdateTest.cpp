// The link patterns the device link once lost to, now through the clicked update: answers to
// the update's reads held back, and doubled Acks on a fast link. In simulated time, with the
// emulated instrument's flash timing.
#include "SimulatedBench.h"
#include "support/FaultRecord.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

using namespace workflowtest;

namespace
{
using testsupport::readBeforeFirstHold;

// The answers to the update's reads `first`..`last` (re-requests included: each is a read the
// instrument answers) each held back `ms`. The instrument is busy while it holds one: a
// re-request is taken afterwards and its answer follows the held one.
void holdReadAnswers (simsession::SimulatedInstrument& instrument, int first, int last, int ms)
{
    for (int n = first; n <= last; ++n)
    {
        const auto spec = "delay@read-block:" + std::to_string (n) + ",ms=" + std::to_string (ms);
        std::string error;
        const auto fault = emu::parseFault (spec, &error);
        ASSERT_TRUE (fault.has_value()) << error;
        instrument.injectFault (*fault);
    }
}

std::size_t delaysFired (const emu::Record& record)
{
    return testsupport::faultsFired (record, "delay@").size();
}
} // namespace

// The answers to reads 3..40 of the update each held back: the first backup read and what
// follows it take them, and the update still ends with the file in place and the instrument's
// own area as it was.
TEST (LinkPatternsUpdate, LateAnswersInAckedReadModeStillGiveTheRightFlash)
{
    struct Case
    {
        const char* what;
        double bytesPerSecond;
        int holdMs;
        int frameBytes; // packed bytes per read frame; 0: one frame per block
        int limitMs;    // simulated
    };
    const Case cases[] = {
        { "USB, acked blocks, 700 ms", 100000, 700, 0, 600000 },
        { "USB, acked 600-byte frames, 700 ms", 100000, 700, 600, 600000 },
        { "DIN, acked blocks, 1 s", 3125, 1000, 0, 3600000 },
        { "DIN, acked 600-byte frames, 1 s", 3125, 1000, 600, 3600000 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto config = instantInstrument();
        config.mode = emu::LinkMode::FS;
        config.readFlags = emu::ReadFlagStyle::WaitForAck;
        config.readFramePackedSize = c.frameBytes;
        config.timing = emu::Timing::realistic();
        config.timing.linkBytesPerSecond = c.bytesPerSecond;
        SimBench bench (config);
        ASSERT_TRUE (bench.waitUntilReady (600000)) << bench.status() << "\n" << bench.log.all();
        const auto ownArea = bench.flash (0x40000, 0x20000);
        const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
        bench.choose (file);
        ASSERT_TRUE (bench.view.executeEnabled) << bench.status() << "\n" << bench.log.all();

        bench.instrument->clearRecord();
        holdReadAnswers (*bench.instrument, 3, 40, c.holdMs);
        const auto startUs = bench.clock.nowUs();
        bench.execute (true);
        ASSERT_TRUE (bench.runUntil ([&] { return ! bench.w().isUpdating(); }, c.limitMs)) << bench.log.all();
        bench.settle();
        const auto record = bench.instrument->record();
        std::printf ("[ sim time ] %s: %.1f s, %llu read requests, %zu answers held\n", c.what,
                     double (bench.clock.nowUs() - startUs) / 1e6, (unsigned long long) record.readBlocks,
                     delaysFired (record));

        EXPECT_EQ (bench.status(), "Update completed successfully.") << bench.log.all();
        EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (file));
        EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
        EXPECT_EQ (delaysFired (record), 38u) << "every held answer was asked for";
        const auto before = readBeforeFirstHold (record);
        ASSERT_TRUE (before.has_value());
        EXPECT_TRUE (*before >= 0x40000 && *before < 0x60000)
            << "the holds begin in the backup of the instrument's own area, not at " << std::hex << *before;
        EXPECT_EQ (bench.instrument->dataFramesAhead(), 0);
        // As in a plain update: only the zero block at F000h goes over unerased bytes, clearing bits.
        EXPECT_EQ (record.mismatchedBytes(), 0u);
        for (const auto& v : record.violations)
            EXPECT_EQ (v.blockAddress, 0xF000u) << "programmed over unerased bytes at " << std::hex << v.blockAddress;
    }
}
