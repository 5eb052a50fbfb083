// The transaction engine against an in-memory instrument: write streaming, read streaming with
// host acknowledgements, the watchdog and read retries, device status values, bad read blocks.
// The test plays the device (replies are built with the emulator's own codec, not the tool's)
// and the timer (each watchdog tick is a call of timerCallback).

#include "devicelink/Communication.h"
#include "emulator/Wire.h"
#include "support/CommunicationTestAccess.h"
#include "support/FakeMidiPorts.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using Bytes = std::vector<std::uint8_t>;
using Access = CommunicationTestAccess;
namespace wire = talvek::emu::wire;

namespace
{
Bytes ack (std::uint8_t status) { return { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, status, 0xF7 }; }
const Bytes hostAck { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 };

Bytes pattern (std::size_t n, int seed = 1)
{
    Bytes b (n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = (std::uint8_t) ((i * 131 + (std::size_t) seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

// The 4096 bytes a Data frame carries.
Bytes dataOf (const Bytes& frame)
{
    EXPECT_EQ (frame.size(), 4689u);
    EXPECT_EQ (frame[5], 0x01);
    return wire::unpack (frame.data() + 6, frame.size() - 7);
}

bool isReadRequest (const Bytes& frame) { return frame.size() == 12 && frame[5] == 0x02 && frame[10] == 0x01; }

class TransferTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        outputDir = makeTestFolder ("talvek-transfer");
    }

    void TearDown() override
    {
        link.reset();
        outputDir.deleteRecursively();
    }

    // A paired instrument after the usual three probe windows.
    void connect (bool fs)
    {
        state->inputNames = { "TALVEK In" };
        state->outputNames = { "TALVEK Out" };
        state->onSend = [this, fs] (int, const Bytes& frame)
        {
            if (frame.size() == 9 && frame[5] == 0x08)
                state->queue (0, { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, frame[6], (std::uint8_t) (fs ? 1 : 0), 0xF7 });
        };
        link = std::make_unique<Communication> (std::make_unique<FakeMidiPorts> (state));
        Access::useManualTimer (*link);
        link->listener = &messages;
        link->log = &log.printer;
        link->rescan();
        for (int w = 0; w < 3; ++w)
        {
            state->deliverPending();
            link->timerCallback();
        }
        ASSERT_TRUE (link->isConnected());
        ASSERT_EQ (link->isFsMode(), fs);
        state->onSend = nullptr;
        pumpMessages();
        messages.messages.clear();
        state->clearSent();
        log.view.clear();
    }

    std::vector<Bytes> sent()
    {
        std::vector<Bytes> frames;
        for (auto& s : state->allSent())
            frames.push_back (s.bytes);
        return frames;
    }

    int countSent (const Bytes& frame)
    {
        int n = 0;
        for (auto& f : sent())
            n += f == frame ? 1 : 0;
        return n;
    }

    void reply (const Bytes& bytes) { state->deliver (0, bytes); }
    void tick (int n = 1)
    {
        for (int i = 0; i < n; ++i)
            link->timerCallback();
    }

    // A read into a new file; the sector table gives the flash end.
    juce::File startRead (int page, int offset, int length, std::vector<FlashSector> sectors = { { 0, 0x20000 }, { 0x20000, 0x20000 } })
    {
        Access::setSectors (*link, std::move (sectors));
        auto file = outputDir.getNonexistentChildFile ("read", ".bin", false);
        Access::startRead (*link, page, offset, length, std::make_unique<juce::FileOutputStream> (file));
        return file;
    }

    // One whole block from the device in one frame, with check bytes in FS mode.
    Bytes blockFrame (const Bytes& data, bool fs, std::uint8_t flag = 0)
    {
        Bytes block = data;
        if (fs)
        {
            const auto check = wire::checkBytes (data.data());
            block.insert (block.end(), check.begin(), check.end());
        }
        return wire::readFrame (flag, block.data(), block.size());
    }

    static Bytes fileBytes (const juce::File& file)
    {
        juce::MemoryBlock m;
        file.loadFileAsData (m);
        return Bytes ((const std::uint8_t*) m.getData(), (const std::uint8_t*) m.getData() + m.getSize());
    }

    std::shared_ptr<FakeMidiPorts::State> state = std::make_shared<FakeMidiPorts::State>();
    MessageCollector messages;
    LogCapture log;
    std::unique_ptr<Communication> link;
    juce::File outputDir;
};
} // namespace

// ---- Write streaming ----------------------------------------------------------------------

TEST_F (TransferTest, ProgramsFiveThousandBytesAsTwoBlocks)
{
    connect (true);
    const auto data = pattern (5000);
    Access::startProgram (*link, data.data(), 0x20000, 5000);

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
    pumpMessages();
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::Progress, 2, 0, 1 },
                                                         { MessageCode::Progress, 2, 4096, 5000 },
                                                         { MessageCode::Progress, 2, 8192, 5000 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));
    const auto text = log.text();
    EXPECT_TRUE (text.startsWith ("Program finished, time:00:00:")) << text;
    EXPECT_TRUE (text.contains ("\nTotal time:")) << text;
    EXPECT_TRUE (text.endsWith ("\nProgram OK.\n")) << text;
    EXPECT_EQ (Access::timerPeriod (*link), 0);

    // A late copy of the last Ack sends nothing more and reports nothing more.
    messages.messages.clear();
    reply (ack (0));
    pumpMessages();
    EXPECT_EQ (sent().size(), 3u);
    EXPECT_TRUE (messages.messages.empty());
    EXPECT_FALSE (log.text().endsWith ("Program OK.\nProgram OK.\n"));
}

TEST_F (TransferTest, WholeBlocksAndEmptyTransfers)
{
    connect (false);

    const auto block = pattern (4096, 3);
    Access::startProgram (*link, block.data(), 0, 4096);
    EXPECT_EQ (sent().size(), 2u);
    reply (ack (0));
    pumpMessages();
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::Progress, 2, 0, 1 },
                                                         { MessageCode::Progress, 2, 4096, 4096 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));

    // Nothing to send: complete at once, without a block of stale bytes.
    state->clearSent();
    messages.messages.clear();
    Access::startProgram (*link, block.data(), 0, 0);
    pumpMessages();
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::Progress, 2, 0, 1 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));

    // A driver goes into RAM after a RamLoad frame.
    state->clearSent();
    messages.messages.clear();
    log.view.clear();
    Access::startRamLoad (*link, block.data(), 4096);
    ASSERT_EQ (sent().size(), 2u);
    EXPECT_EQ (sent()[0], (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7 }));
    EXPECT_EQ (dataOf (sent()[1]), block);
    reply (ack (0));
    EXPECT_EQ (log.text(), "Send driver OK!\n");
    EXPECT_TRUE (messages.has ({ MessageCode::JobFinished, 0, 0, 0 }));
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
        Access::startProgram (*link, data.data(), 0, (int) data.size());
        reply (ack (0));
        reply (ack (c.status));
        pumpMessages();

        EXPECT_EQ (log.text(), c.logText) << (int) c.status;
        EXPECT_EQ (messages.messages.back(), c.report) << (int) c.status;
        EXPECT_EQ (messages.count (MessageCode::JobFinished), 1);
        EXPECT_EQ (messages.has ({ MessageCode::OperationState, 1, 0, 0 }), c.status == 2);
        EXPECT_EQ (Access::timerPeriod (*link), 0);

        // The device goes on as if nothing happened: no further block goes out.
        const auto before = sent().size();
        reply (ack (0));
        EXPECT_EQ (sent().size(), before) << (int) c.status;
        link.reset();
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
        { "driver upload", 1, [&] { Access::startRamLoad (*link, data.data(), (int) data.size()); }, 0, "Send driver OK!" },
        { "erase", 1, [&] { Access::setSectors (*link, { { 0, 0x20000 }, { 0x20000, 0x20000 }, { 0x40000, 0x20000 } });
                            Access::startErase (*link, 0, 0, 3); }, 1, "Erase finished" },
        { "program", 0x7F, [&] { Access::startProgram (*link, data.data(), 0, (int) data.size()); }, 2, "Program OK." },
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
        pumpMessages();

        const auto text = log.text();
        EXPECT_TRUE (text.endsWith ("The device refused the operation (status " + juce::String (c.status) + ").\n")) << text;
        EXPECT_FALSE (text.contains (c.success)) << text;
        EXPECT_TRUE (messages.has ({ MessageCode::OperationState, 1, 0, 0 }));
        EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::FlashFailed, 0 }));
        EXPECT_EQ (Access::timerPeriod (*link), 0);

        // The device going on as if nothing happened changes nothing.
        const auto frames = sent().size();
        const auto posted = messages.messages.size();
        reply (ack (0));
        reply (ack (c.status));
        pumpMessages();
        EXPECT_EQ (sent().size(), frames);
        EXPECT_EQ (messages.messages.size(), posted);
        link.reset();
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
        Access::startFlashTest (*link);
        EXPECT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x05, 0x00, 0x00, 0xF7 } }));
        reply (ack (c.status));
        pumpMessages();
        EXPECT_EQ (log.text(), c.logText);
        EXPECT_EQ (messages.messages, c.reports);
        link.reset();
    }
}

TEST_F (TransferTest, EraseStepsThroughTheSectorsOfAPage)
{
    connect (true);
    Access::setSectors (*link, { { 0, 0x20000 }, { 0x20000, 0x20000 }, { 0x40000, 0x20000 }, { 0x60000, 0x20000 } });
    Access::startErase (*link, 1, 1, 3);
    reply (ack (0));
    reply (ack (0));
    pumpMessages();

    // Word address: sector start / 2 + page x 10000h.
    EXPECT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x08, 0x00, 0x00, 0xF7 },
                                             { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x04, 0x00, 0x0C, 0x00, 0x00, 0xF7 } }));
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::Progress, 1, 0, 2 },
                                                         { MessageCode::Progress, 1, 1, 2 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));
    EXPECT_TRUE (log.text().startsWith ("Erase finished, time:00:00:"));
    EXPECT_EQ (Access::timerPeriod (*link), 0);
}

// ---- Read streaming -----------------------------------------------------------------------

TEST_F (TransferTest, ABlockInThreeFramesIsAcknowledgedTwice)
{
    connect (false);
    const auto data = pattern (4096, 5);
    const auto file = startRead (0, 0x1000, 4096);

    ASSERT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x00, 0x10, 0x00, 0x01, 0xF7 } }));
    EXPECT_EQ (Access::timerPeriod (*link), 80);

    reply (wire::readFrame (0, data.data(), 1400));
    reply (wire::readFrame (0, data.data() + 1400, 1400));
    reply (wire::readFrame (5, data.data() + 2800, 1296));
    pumpMessages();

    EXPECT_EQ (countSent (hostAck), 2);
    EXPECT_EQ (sent().size(), 3u);
    EXPECT_EQ (fileBytes (file), data);
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::Progress, 3, 0, 1 },
                                                         { MessageCode::OperationState, 0, 0, 0 },
                                                         { MessageCode::Progress, 3, 0, 4096 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));
    const auto text = log.text();
    EXPECT_TRUE (text.startsWith ("Reading...\nRead finished, read time:00:00:")) << text;
    EXPECT_TRUE (text.endsWith ("\nRead OK.\n")) << text;
    EXPECT_EQ (Access::timerPeriod (*link), 0);

    // A frame marked as the last one is not acknowledged, even when the block is not complete.
    state->clearSent();
    startRead (0, 0, 4096);
    reply (wire::readFrame (1, data.data(), 1400));
    EXPECT_EQ (countSent (hostAck), 0);
}

TEST_F (TransferTest, ReadRanges)
{
    connect (false);
    const auto flash = pattern (0x4000, 9);
    auto serve = [&] (int firstByte)
    {
        // Answers each read request with the flash content at its address.
        for (std::size_t handled = 0; handled < sent().size(); ++handled)
        {
            const auto frame = sent()[handled];
            if (! isReadRequest (frame))
                continue;
            const auto address = (int) (wire::decodeWordAddress (frame.data() + 6) * 2) - firstByte;
            reply (wire::readFrame (0, flash.data() + address, 4096));
        }
    };

    // Ten bytes: one block read, ten bytes written.
    auto file = startRead (0, 0x100, 10, { { 0, 0x4000 } });
    serve (0);
    EXPECT_EQ (fileBytes (file), Bytes (flash.begin() + 0x100, flash.begin() + 0x10A));

    // Length 0: from the offset to the end of the flash.
    state->clearSent();
    file = startRead (0, 0x1000, 0, { { 0, 0x2000 }, { 0x2000, 0x2000 } });
    serve (0);
    EXPECT_EQ (fileBytes (file), Bytes (flash.begin() + 0x1000, flash.end()));
    EXPECT_EQ (sent().size(), 3u);

    // Page 1: the read asks for word address 10000h.
    state->clearSent();
    startRead (1, 0, 4096, { { 0, 0x20000 }, { 0x20000, 0x20000 } });
    EXPECT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x01, 0xF7 } }));

    // A range that starts past the end of the flash is empty, and complete at once.
    state->clearSent();
    messages.messages.clear();
    file = startRead (1, 0, 4096, { { 0, 0x4000 } });
    pumpMessages();
    EXPECT_TRUE (sent().empty());
    EXPECT_TRUE (file.existsAsFile());
    EXPECT_EQ (file.getSize(), 0);
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
}

TEST_F (TransferTest, ElevenTimeOutsOnOneReadBlock)
{
    connect (true);
    startRead (0, 0, 8192);
    const auto request = sent().front();

    tick (8);
    EXPECT_EQ (sent().size(), 1u);
    tick();
    EXPECT_EQ (log.text(), "Reading...\nTime out, retry...1");
    EXPECT_EQ (sent().size(), 2u);

    tick (9 * 10);
    pumpMessages();
    EXPECT_EQ (log.text(), "Reading...\nTime out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n");
    EXPECT_EQ (countSent (request), 11);
    EXPECT_TRUE (messages.has ({ MessageCode::OperationState, 1, 0, 0 }));
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (Access::operation (*link), Communication::opNone);
    EXPECT_EQ (Access::timerPeriod (*link), 0);

    // The block turning up late changes nothing.
    const auto data = pattern (4096);
    reply (blockFrame (data, true));
    pumpMessages();
    EXPECT_EQ (messages.count (MessageCode::JobFinished), 1);
}

TEST_F (TransferTest, TimeOutsRestartForEachBlock)
{
    connect (false);
    const auto data = pattern (8192);
    const auto file = startRead (0, 0, 8192);
    const auto first = Bytes (data.begin(), data.begin() + 4096);
    const auto second = Bytes (data.begin() + 4096, data.end());

    // After time-outs a copy may be late: the first one starts a drain, and the block is taken
    // from the answer to the request sent once the line is quiet.
    tick (9 * 3);
    reply (blockFrame (first, false));
    tick (2);
    reply (blockFrame (first, false));
    tick (9);
    reply (blockFrame (second, false));
    tick (2);
    reply (blockFrame (second, false));
    pumpMessages();

    EXPECT_TRUE (log.text().startsWith ("Reading...\nTime out, retry...1,2,3\nTime out, retry...1\nRead finished")) << log.text();
    EXPECT_EQ (fileBytes (file), data);
}

// A block answered late is answered once for each time it was asked for: the device takes
// requests in turn, and one waiting for host Acks between frames drops a block when the next
// request arrives. Whatever the frame style, no late copy reaches the file, none is mixed into
// a block, and none is taken as the next block.
TEST_F (TransferTest, LateCopiesOfABlockAreDrained)
{
    struct Case
    {
        const char* what;
        bool fs;
        std::size_t frameBytes; // data bytes per frame; 0: the whole block in one frame
        std::uint8_t flag;      // 0: the device sends the next frame after the host's Ack
    };
    const Case cases[] = {
        { "FS, a block per frame", true, 0, 0 },
        { "HS, four equal frames with Acks between", false, 1024, 0 },
        { "HS, three frames streamed", false, 1400, 1 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        connect (c.fs);
        const auto data = pattern (8192, 21);
        const auto file = startRead (0, 0, 8192);

        auto framesOf = [&] (int blockIndex)
        {
            Bytes block (data.begin() + blockIndex * 4096, data.begin() + (blockIndex + 1) * 4096);
            if (c.fs)
            {
                const auto check = wire::checkBytes (block.data());
                block.insert (block.end(), check.begin(), check.end());
            }
            const std::size_t per = c.frameBytes == 0 ? block.size() : c.frameBytes;
            std::vector<Bytes> frames;
            for (std::size_t at = 0; at < block.size(); at += per)
                frames.push_back (wire::readFrame (c.flag, block.data() + at, std::min (per, block.size() - at)));
            return frames;
        };
        // What the device sends for a request that the next request cuts short.
        auto cutAnswer = [&] (int blockIndex)
        {
            const auto frames = framesOf (blockIndex);
            if (c.flag == 0)
                reply (frames.front());
            else
                for (const auto& f : frames)
                    reply (f);
        };
        auto wholeAnswer = [&] (int blockIndex)
        {
            for (const auto& f : framesOf (blockIndex))
                reply (f);
        };

        tick (9); // block 0 is late: asked for again
        ASSERT_EQ (sent().size(), 2u);
        cutAnswer (0); // the late answer to the first request
        cutAnswer (0); // the answer to the second, right behind it
        EXPECT_EQ (countSent (hostAck), 0);
        EXPECT_EQ (sent().size(), 2u);
        EXPECT_EQ (file.getSize(), 0);

        tick (2); // quiet: asked for once more, and only that answer counts
        ASSERT_EQ (sent().size(), 3u);
        wholeAnswer (0);
        wholeAnswer (1);
        pumpMessages();

        std::vector<int> requested;
        for (const auto& f : sent())
            if (isReadRequest (f))
                requested.push_back ((int) wire::decodeWordAddress (f.data() + 6) * 2);
        EXPECT_EQ (requested, (std::vector<int> { 0, 0, 0, 4096 }));
        EXPECT_EQ (countSent (hostAck), c.flag == 0 ? 2 * ((int) framesOf (0).size() - 1) : 0);
        EXPECT_EQ (fileBytes (file), data);
        EXPECT_TRUE (log.text().startsWith ("Reading...\nTime out, retry...1\nRead finished")) << log.text();
        EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
        link.reset();
    }
}

TEST_F (TransferTest, ALineThatNeverFallsQuietEndsTheRead)
{
    connect (true);
    const auto data = pattern (4096);
    startRead (0, 0, 4096);
    tick (9);
    for (int i = 0; i < 100 && Access::operation (*link) == Communication::opRead; ++i)
    {
        reply (blockFrame (data, true));
        tick();
    }
    pumpMessages();

    EXPECT_EQ (log.text(), "Reading...\nTime out, retry...1The device has no response.\n");
    EXPECT_EQ (sent().size(), 2u);
    EXPECT_TRUE (messages.has ({ MessageCode::OperationState, 1, 0, 0 }));
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (messages.count (MessageCode::JobFinished), 1);
    EXPECT_EQ (Access::timerPeriod (*link), 0);
}

TEST_F (TransferTest, OversizeReadFramesAreBadBlocks)
{
    for (const bool fs : { false, true })
    {
        connect (fs);
        const auto data = pattern (4096, 11);
        const auto file = startRead (0, 0, 4096);

        // Seven bytes more than the block holds, in the second frame.
        const auto extra = pattern (fs ? 4100 + 7 - 2000 : 4096 + 7 - 2000, 2);
        reply (wire::readFrame (0, data.data(), 2000));
        reply (wire::readFrame (0, extra.data(), extra.size()));
        EXPECT_EQ (log.text(), "Reading...\n.");
        // The rest of the bad copy may still be coming: the line is drained first.
        ASSERT_EQ (sent().size(), 2u); // request, host Ack
        reply (wire::readFrame (0, data.data(), 700));
        tick();
        reply (wire::readFrame (0, data.data(), 700));
        tick (2);
        ASSERT_EQ (sent().size(), 3u); // the same request again
        EXPECT_EQ (sent()[2], sent()[0]);

        reply (blockFrame (data, fs));
        pumpMessages();
        EXPECT_EQ (fileBytes (file), data);
        EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
        link.reset();
    }
}

TEST_F (TransferTest, ACorruptedFsBlockIsAskedForAgain)
{
    connect (true);
    const auto data = pattern (4096, 13);
    const auto file = startRead (0, 0x2000, 4096);

    auto corrupted = data;
    corrupted[1234] ^= 0x10;
    auto frame = blockFrame (data, true);
    const auto bad = wire::readFrame (0, [&] { auto b = corrupted; auto c = wire::checkBytes (data.data()); b.insert (b.end(), c.begin(), c.end()); return b; }().data(), 4100);
    reply (bad);
    EXPECT_EQ (sent().size(), 2u);
    EXPECT_EQ (sent()[1], sent()[0]);
    reply (frame);
    pumpMessages();

    EXPECT_EQ (fileBytes (file), data);
    EXPECT_TRUE (log.text().startsWith ("Reading...\n.Read finished"));
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
}

TEST_F (TransferTest, ALinkThatAlwaysCorruptsEndsAsNoResponse)
{
    struct Case
    {
        const char* what;
        bool fs;
        std::function<Bytes (const Bytes&)> badCopy;
    };
    const Case cases[] = {
        { "wrong check bytes", true, [] (const Bytes& d) { auto b = d; b.insert (b.end(), { 1, 2, 3, 4 }); return wire::readFrame (0, b.data(), b.size()); } },
        { "oversize", false, [] (const Bytes& d) { auto b = d; b.insert (b.end(), 7, 0x00); return wire::readFrame (0, b.data(), b.size()); } },
    };
    for (const auto& c : cases)
    {
        connect (c.fs);
        const auto data = pattern (4096);
        startRead (0, 0, 4096);
        for (int copy = 0; copy < 20 && Access::operation (*link) == Communication::opRead; ++copy)
        {
            reply (c.badCopy (data));
            tick (2); // a drain, where a bad copy asks for one
        }
        pumpMessages();

        EXPECT_EQ (log.text(), "Reading...\n...........The device has no response.\n") << c.what;
        EXPECT_EQ (sent().size(), 11u) << c.what; // the first request and ten more
        EXPECT_TRUE (messages.has ({ MessageCode::OperationState, 1, 0, 0 })) << c.what;
        EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 })) << c.what;
        EXPECT_EQ (Access::timerPeriod (*link), 0) << c.what;
        link.reset();
    }
}

// ---- The watchdog -------------------------------------------------------------------------

TEST_F (TransferTest, TheWatchdogWatchesOnlyWhileAReplyIsOwed)
{
    connect (true);
    const auto image = pattern (4096);
    Access::startRamLoad (*link, image.data(), 4096);
    reply (ack (0));
    ASSERT_EQ (Access::timerPeriod (*link), 500); // left running for the flash test that follows
    tick (30);
    pumpMessages();
    EXPECT_EQ (messages.count (MessageCode::JobFinished), 1);
    EXPECT_EQ (log.text(), "Send driver OK!\n");

    // The flash test that follows runs under that period.
    Access::startFlashTest (*link);
    tick (9);
    pumpMessages();
    EXPECT_TRUE (log.text().endsWith ("The device has no response.\n"));
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
}

TEST_F (TransferTest, NoOutputDeviceEndsByTheWatchdog)
{
    // Never connected: nothing is selected.
    link = std::make_unique<Communication> (std::make_unique<FakeMidiPorts> (state));
    Access::useManualTimer (*link);
    link->listener = &messages;
    link->log = &log.printer;

    const auto data = pattern (4096);
    Access::startProgram (*link, data.data(), 0, 4096);
    pumpMessages();
    EXPECT_TRUE (state->allSent().empty());
    EXPECT_TRUE (messages.messages.empty());
    tick (8);
    pumpMessages();
    EXPECT_TRUE (messages.messages.empty());
    tick();
    pumpMessages();
    EXPECT_EQ (log.text(), "The device has no response.\n");
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 } }));

    // Frames after the start go nowhere either; a read ends after its retries.
    messages.messages.clear();
    log.view.clear();
    startRead (0, 0, 4096);
    tick (9 * 11);
    pumpMessages();
    EXPECT_TRUE (state->allSent().empty());
    EXPECT_TRUE (log.text().endsWith (",10The device has no response.\n"));
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
}

TEST_F (TransferTest, AnAckWithNothingRunningChangesNothing)
{
    connect (true);
    reply (ack (0));
    tick (20);
    pumpMessages();
    EXPECT_TRUE (messages.messages.empty());
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (log.text(), "");
}

// Replies come from the instrument's own thread while the message thread ticks the watchdog:
// the shape of a real transfer, for ThreadSanitizer.
TEST_F (TransferTest, StreamsWhileTheWatchdogTicks)
{
    connect (true);
    std::atomic<bool> running { true };
    state->onSend = [this] (int, const Bytes& frame)
    {
        if (frame.size() == 4689)
            state->queue (0, ack (0));
    };
    std::thread instrument ([&]
    {
        while (running)
        {
            state->deliverPending();
            std::this_thread::yield();
        }
    });

    const auto data = pattern (40 * 4096);
    Access::startProgram (*link, data.data(), 0, (int) data.size());
    std::size_t seen = 0;
    for (int guard = 0; guard < 100000 && messages.count (MessageCode::JobFinished) == 0; ++guard)
    {
        // At most one tick per acknowledged block, so the watchdog never runs out.
        if (const auto n = state->allSent().size(); n > seen)
        {
            seen = n;
            tick();
        }
        pumpMessages (1);
    }
    running = false;
    instrument.join();

    EXPECT_EQ (messages.with (MessageCode::JobFinished), (std::vector<Posted> { { MessageCode::JobFinished, 0, 0, 0 } }));
    EXPECT_EQ (sent().size(), 41u);
}
