// The transfer engine against a device played by the test: write streaming, device statuses, the flash test,
// erase stepping and the watchdog.

#include "support/TransferTestSupport.h"

#include <cstring>
#include <functional>

using namespace transfertest;

namespace
{
class TransferTest : public TransferTestBase
{
};
} // namespace

// ---- Write streaming ----------------------------------------------------------------------

TEST_F (TransferTest, ProgramsFiveThousandBytesAsTwoBlocks)
{
    connect (true);
    const auto data = pattern (5000);
    engine->startProgram (data.data(), 0x20000, 5000);

    auto frames = sent();
    ASSERT_EQ (frames.size(), 2u);
    EXPECT_EQ (frames[0], (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0xF7 }));
    EXPECT_EQ (dataOf (frames[1]), Bytes (data.begin(), data.begin() + 4096));

    reply (ack (0));
    frames = sent();
    ASSERT_EQ (frames.size(), 3u);
    // The short last block: its own 904 bytes, then FFh (erased flash stays as it is).
    Bytes last (data.begin() + 4096, data.end());
    last.resize (4096, 0xFF);
    EXPECT_EQ (dataOf (frames[2]), last);

    reply (ack (0));
    EXPECT_EQ (messages().messages, (std::vector<Posted> { { MessageCode::Progress, 2, 0, 1 },
                                                         { MessageCode::Progress, 2, 4096, 5000 },
                                                         { MessageCode::Progress, 2, 8192, 5000 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));
    const auto text = log.text();
    EXPECT_TRUE (text.startsWith ("Program finished, time:00:00:")) << text;
    EXPECT_TRUE (text.contains ("\nTotal time:")) << text;
    EXPECT_TRUE (text.endsWith ("\nProgram OK.\n")) << text;
    EXPECT_EQ (host->timerPeriod, 0);

    // A late copy of the last Ack sends nothing more and reports nothing more.
    messages().messages.clear();
    reply (ack (0));
    EXPECT_EQ (sent().size(), 3u);
    EXPECT_TRUE (messages().messages.empty());
    EXPECT_FALSE (log.text().endsWith ("Program OK.\nProgram OK.\n"));
}

TEST_F (TransferTest, WholeBlocksAndEmptyTransfers)
{
    connect (false);

    const auto block = pattern (4096, 3);
    engine->startProgram (block.data(), 0, 4096);
    EXPECT_EQ (sent().size(), 2u);
    reply (ack (0));
    EXPECT_EQ (messages().messages, (std::vector<Posted> { { MessageCode::Progress, 2, 0, 1 },
                                                         { MessageCode::Progress, 2, 4096, 4096 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));

    // Nothing to send: complete at once, without a block of stale bytes.
    host->frames.clear();
    messages().messages.clear();
    engine->startProgram (block.data(), 0, 0);
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (messages().messages, (std::vector<Posted> { { MessageCode::Progress, 2, 0, 1 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));

    // A driver goes into RAM after a RamLoad frame.
    host->frames.clear();
    messages().messages.clear();
    log.clear();
    engine->startDriverUpload (block.data(), 4096);
    ASSERT_EQ (sent().size(), 2u);
    EXPECT_EQ (sent()[0], (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7 }));
    EXPECT_EQ (dataOf (sent()[1]), block);
    reply (ack (0));
    EXPECT_EQ (log.text(), "Send driver OK!\n");
    EXPECT_TRUE (messages().has ({ MessageCode::JobFinished, 0, 0, 0 }));
}

TEST_F (TransferTest, DeviceStatusTwoAndThreeEndAProgramTransfer)
{
    struct Case
    {
        std::uint8_t status;
        const char* logText;
        Posted report;
    };
    for (const Case c : { Case { 2, "Timer out when operating the flash.\n", { MessageCode::JobFinished, 1, FailureReason::FlashFailed, 0 } },
                          Case { 3, "The device has no response.\n", { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 } } })
    {
        connect (true);
        const auto data = pattern (3 * 4096);
        engine->startProgram (data.data(), 0, (int) data.size());
        reply (ack (0));
        reply (ack (c.status));
    
        EXPECT_EQ (log.text(), c.logText) << (int) c.status;
        EXPECT_EQ (messages().messages.back(), c.report) << (int) c.status;
        EXPECT_EQ (messages().count (MessageCode::JobFinished), 1);
        EXPECT_EQ (messages().has ({ MessageCode::OperationState, 1, 0, 0 }), c.status == 2);
        EXPECT_EQ (host->timerPeriod, 0);

        // The device goes on as if nothing happened: no further block goes out.
        const auto before = sent().size();
        reply (ack (0));
        EXPECT_EQ (sent().size(), before) << (int) c.status;
    }
}

// A status other than 0, 2 and 3 is the device refusing the step (no driver in RAM, an erase
// not at a sector start, a block past the end): the operation ends as a failure, never with
// its completion step.
TEST_F (TransferTest, ARefusalEndsTheOperationAsAFailure)
{
    const auto data = pattern (3 * 4096);
    struct Case
    {
        const char* what;
        std::uint8_t status;
        std::function<void()> start;
        int acksBefore; // steps the device accepts before it refuses one
        const char* success; // the completion step's text, which must not appear
    };
    const Case cases[] = {
        { "driver upload", 1, [&] { engine->startDriverUpload (data.data(), (int) data.size()); }, 0, "Send driver OK!" },
        { "erase", 1, [&] { engine->startErase (0, { { 0, 0x20000 }, { 0x20000, 0x20000 }, { 0x40000, 0x20000 } }, 0, 3); untilSent(); }, 1, "Erase finished" },
        { "program", 0x7F, [&] { engine->startProgram (data.data(), 0, (int) data.size()); }, 2, "Program OK." },
        { "read", 1, [&] { startRead (0, 0, 8192); }, 0, "Read OK." },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        connect (true);
        c.start();
        for (int i = 0; i < c.acksBefore; ++i)
            reply (ack (0));
        reply (ack (c.status));
    
        const auto text = log.text();
        EXPECT_TRUE (text.endsWith ("The device refused the operation (status " + juce::String (c.status) + ").\n")) << text;
        EXPECT_FALSE (text.contains (c.success)) << text;
        EXPECT_TRUE (messages().has ({ MessageCode::OperationState, 1, 0, 0 }));
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::FlashFailed, 0 }));
        EXPECT_EQ (host->timerPeriod, 0);

        // The device going on as if nothing happened changes nothing.
        const auto frames = sent().size();
        const auto posted = messages().messages.size();
        reply (ack (0));
        reply (ack (c.status));
            EXPECT_EQ (sent().size(), frames);
        EXPECT_EQ (messages().messages.size(), posted);
    }
}

TEST_F (TransferTest, FlashTestVerdicts)
{
    struct Case
    {
        std::uint8_t status;
        const char* logText;
        std::vector<Posted> reports;
    };
    for (const Case& c : { Case { 0, "OK.\n", { { MessageCode::JobFinished, 0, 0, 0 } } },
                           Case { 1, "Fail.\n", { { MessageCode::OperationState, 1, 0, 0 }, { MessageCode::JobFinished, 1, 0, 0 } } } })
    {
        connect (true);
        engine->startFlashTest (0);
        EXPECT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x00, 0x00, 0xF7 } }));
        reply (ack (c.status));
            EXPECT_EQ (log.text(), c.logText);
        EXPECT_EQ (messages().messages, c.reports);
    }
}

TEST_F (TransferTest, EraseStepsThroughTheSectorsOfAPage)
{
    connect (true);
    engine->startErase (1, { { 0, 0x20000 }, { 0x20000, 0x20000 }, { 0x40000, 0x20000 }, { 0x60000, 0x20000 } }, 1, 3);
    untilSent();
    reply (ack (0));
    reply (ack (0));

    // Word address: sector start / 2 + page x 10000h.
    EXPECT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x08, 0x00, 0x00, 0xF7 },
                                             { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x0C, 0x00, 0x00, 0xF7 } }));
    EXPECT_EQ (messages().messages, (std::vector<Posted> { { MessageCode::Progress, 1, 0, 2 },
                                                         { MessageCode::Progress, 1, 1, 2 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));
    EXPECT_TRUE (log.text().startsWith ("Erase finished, time:00:00:"));
    EXPECT_EQ (host->timerPeriod, 0);
}

// ---- The watchdog -------------------------------------------------------------------------

TEST_F (TransferTest, TheWatchdogWatchesOnlyWhileAReplyIsOwed)
{
    connect (true);
    const auto image = pattern (4096);
    engine->startDriverUpload (image.data(), 4096);
    reply (ack (0));
    ASSERT_EQ (host->timerPeriod, 500); // left running for the flash test that follows
    tick (30);
    EXPECT_EQ (messages().count (MessageCode::JobFinished), 1);
    EXPECT_EQ (log.text(), "Send driver OK!\n");

    // The flash test that follows runs under that period.
    engine->startFlashTest (0);
    tick (9);
    EXPECT_TRUE (log.text().endsWith ("The device has no response.\n"));
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
}

TEST_F (TransferTest, NoOutputDeviceEndsByTheWatchdog)
{
    // Never connected: nothing is selected. The window is asked once to say so; nothing else
    // is reported until the watchdog ends the job.
    connect (true);
    host->hasOutput = false;
    const std::vector<Posted> noOutput { { MessageCode::NoOutputDevice, 0, 0, 0 } };

    const auto data = pattern (4096);
    engine->startProgram (data.data(), 0, 4096);
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (messages().messages, noOutput);
    tick (8);
    EXPECT_EQ (messages().messages, noOutput);
    tick();
    EXPECT_EQ (log.text(), "The device has no response.\n");
    EXPECT_EQ (messages().messages, (std::vector<Posted> { noOutput[0], { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 } }));

    // Frames after the start go nowhere either; a read ends after its retries.
    messages().messages.clear();
    log.clear();
    startRead (0, 0, 4096);
    tick (9 * 11);
    EXPECT_TRUE (sent().empty());
    EXPECT_TRUE (log.text().endsWith (",10The device has no response.\n"));
    EXPECT_EQ (messages().count (MessageCode::NoOutputDevice), 1);
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
}

TEST_F (TransferTest, AnAckWithNothingRunningChangesNothing)
{
    connect (true);
    reply (ack (0));
    tick (20);
    EXPECT_TRUE (messages().messages.empty());
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (log.text(), "");
}


// The timer is shared with the probe windows: one that was stopped after the driver upload
// (a rescan's window ended, say) must not leave the flash test without a watchdog.
TEST_F (TransferTest, AFlashTestAlwaysHasAWatchdog)
{
    connect (true);
    const auto image = pattern (4096);
    engine->startDriverUpload (image.data(), 4096);
    reply (ack (0));
    ASSERT_EQ (host->timerPeriod, 500);
    host->timerPeriod = 0; // stopped by someone else

    engine->startFlashTest (0);
    EXPECT_EQ (host->timerPeriod, 500);
    tick (9);
    EXPECT_TRUE (log.text().endsWith ("The device has no response.\n")) << log.text();
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
}

// An output that cannot take a frame (a stalled or unplugged device) ends the operation as a
// disconnect at the next tick, whatever was running: no watchdog wait, no read retries.
TEST_F (TransferTest, AnOutputThatFailsEndsTheOperationAtTheNextTick)
{
    const auto data = pattern (8192);
    const std::vector<std::pair<const char*, std::function<void()>>> starts {
        { "program", [&] { engine->startProgram (data.data(), 0, 8192); } },
        { "driver upload", [&] { engine->startDriverUpload (data.data(), 4096); } },
        { "flash test", [&] { engine->startFlashTest (0); } },
        { "read", [&] { startRead (0, 0, 8192); } },
    };
    for (const auto& [what, start] : starts)
    {
        SCOPED_TRACE (what);
        connect (false);
        host->failSends = true;
        start();
        EXPECT_EQ (messages().count (MessageCode::JobFinished), 0);
        tick();
        EXPECT_EQ (log.text(), juce::String (std::strcmp (what, "read") == 0 ? "Reading...\n" : "") + "The device has no response.\n");
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
        EXPECT_EQ (messages().count (MessageCode::JobFinished), 1);
        EXPECT_EQ (host->timerPeriod, 0);
    }
}

// A settled flash test sends its RunTest only once the line has been quiet for two read ticks;
// what arrives before (a late or doubled Ack of the upload) is no verdict.
TEST_F (TransferTest, ASettledFlashTestIgnoresRepliesBeforeItIsSent)
{
    connect (true);
    engine->startFlashTest (0, true);
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (host->timerPeriod, 80);
    tick();
    reply (ack (0)); // a copy of the upload's last Ack: starts the quiet time again
    tick();
    EXPECT_TRUE (sent().empty());
    tick();
    ASSERT_EQ (sent().size(), 1u);
    EXPECT_EQ (sent()[0], (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x00, 0x00, 0xF7 }));
    EXPECT_EQ (host->timerPeriod, 500);
    EXPECT_EQ (messages().count (MessageCode::JobFinished), 0);

    reply (ack (1));
    EXPECT_TRUE (log.text().endsWith ("Fail.\n")) << log.text();
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, 0, 0 }));
}
