// The transfer engine against a device played by the test: read streaming with host acknowledgements, ranges,
// time-outs and retries, late copies and bad blocks.

#include "support/TransferTestSupport.h"

#include <functional>

using namespace transfertest;

namespace
{
class TransferReadTest : public TransferTestBase
{
};
} // namespace

// ---- Read streaming -----------------------------------------------------------------------

TEST_F (TransferReadTest, ABlockInThreeFramesIsAcknowledgedTwice)
{
    connect (false);
    const auto data = pattern (4096, 5);
    startRead (0, 0x1000, 4096);

    ASSERT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x00, 0x10, 0x00, 0x01, 0xF7 } }));
    EXPECT_EQ (host->timerPeriod, 80);

    reply (wire::readFrame (0, data.data(), 1400));
    reply (wire::readFrame (0, data.data() + 1400, 1400));
    reply (wire::readFrame (5, data.data() + 2800, 1296));
    tick (2); // the line stays quiet after the last block

    EXPECT_EQ (countSent (hostAck), 2);
    EXPECT_EQ (sent().size(), 3u);
    EXPECT_EQ (host->readData, data);
    EXPECT_EQ (messages().messages, (std::vector<Posted> { { MessageCode::Progress, 3, 0, 1 },
                                                         { MessageCode::OperationState, 0, 0, 0 },
                                                         { MessageCode::Progress, 3, 0, 4096 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::Progress, 0, 0, 0 },
                                                         { MessageCode::JobFinished, 0, 0, 0 } }));
    const auto text = log.text();
    EXPECT_TRUE (text.startsWith ("Reading...\nRead finished, read time:00:00:")) << text;
    EXPECT_TRUE (text.endsWith ("\nRead OK.\n")) << text;
    EXPECT_EQ (host->timerPeriod, 0);

    // A frame marked as the last one is not acknowledged, even when the block is not complete.
    host->frames.clear();
    startRead (0, 0, 4096);
    reply (wire::readFrame (1, data.data(), 1400));
    EXPECT_EQ (countSent (hostAck), 0);
}

TEST_F (TransferReadTest, ReadRanges)
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
    startRead (0, 0x100, 10, { { 0, 0x4000 } });
    serve (0);
    EXPECT_EQ (host->readData, Bytes (flash.begin() + 0x100, flash.begin() + 0x10A));

    // Length 0: from the offset to the end of the flash.
    host->frames.clear();
    startRead (0, 0x1000, 0, { { 0, 0x2000 }, { 0x2000, 0x2000 } });
    serve (0);
    EXPECT_EQ (host->readData, Bytes (flash.begin() + 0x1000, flash.end()));
    EXPECT_EQ (sent().size(), 3u);

    // Page 1: the read asks for word address 10000h.
    host->frames.clear();
    startRead (1, 0, 4096, { { 0, 0x20000 }, { 0x20000, 0x20000 } });
    EXPECT_EQ (sent(), (std::vector<Bytes> { { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x02, 0x00, 0x04, 0x00, 0x00, 0x01, 0xF7 } }));

    // A range that starts past the end of the flash is empty, and complete at once.
    host->frames.clear();
    messages().messages.clear();
    const int closedBefore = host->closes;
    startRead (1, 0, 4096, { { 0, 0x4000 } });
    EXPECT_TRUE (sent().empty());
    EXPECT_EQ (host->closes, closedBefore + 1); // the file is made, and left empty
    EXPECT_EQ ((int) host->readData.size(), 0);
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
}

TEST_F (TransferReadTest, ElevenTimeOutsOnOneReadBlock)
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
    EXPECT_EQ (log.text(), "Reading...\nTime out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n");
    EXPECT_EQ (countSent (request), 11);
    EXPECT_TRUE (messages().has ({ MessageCode::OperationState, 1, 0, 0 }));
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (engine->getOperation(), TransferOperation::none);
    EXPECT_EQ (host->timerPeriod, 0);

    // The block turning up late changes nothing.
    const auto data = pattern (4096);
    reply (blockFrame (data, true));
    EXPECT_EQ (messages().count (MessageCode::JobFinished), 1);
}

TEST_F (TransferReadTest, TimeOutsRestartForEachBlock)
{
    connect (false);
    const auto data = pattern (8192);
    startRead (0, 0, 8192);
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
    tick (2);

    EXPECT_TRUE (log.text().startsWith ("Reading...\nTime out, retry...1,2,3\nTime out, retry...1\nRead finished")) << log.text();
    EXPECT_EQ (host->readData, data);
}

// A block answered late is answered once for each time it was asked for: the device takes
// requests in turn, and one waiting for host Acks between frames drops a block when the next
// request arrives. Whatever the frame style, no late copy reaches the file, none is mixed into
// a block, and none is taken as the next block.
TEST_F (TransferReadTest, LateCopiesOfABlockAreDrained)
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
        startRead (0, 0, 8192);

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
        EXPECT_EQ ((int) host->readData.size(), 0);

        tick (2); // quiet: asked for once more, and only that answer counts
        ASSERT_EQ (sent().size(), 3u);
        wholeAnswer (0);
        wholeAnswer (1);
        tick (2);

        std::vector<int> requested;
        for (const auto& f : sent())
            if (isReadRequest (f))
                requested.push_back ((int) wire::decodeWordAddress (f.data() + 6) * 2);
        EXPECT_EQ (requested, (std::vector<int> { 0, 0, 0, 4096 }));
        EXPECT_EQ (countSent (hostAck), c.flag == 0 ? 2 * ((int) framesOf (0).size() - 1) : 0);
        EXPECT_EQ (host->readData, data);
        EXPECT_TRUE (log.text().startsWith ("Reading...\nTime out, retry...1\nRead finished")) << log.text();
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    }
}

TEST_F (TransferReadTest, ALineThatNeverFallsQuietEndsTheRead)
{
    connect (true);
    const auto data = pattern (4096);
    startRead (0, 0, 4096);
    tick (9);
    for (int i = 0; i < 100 && engine->getOperation() == TransferOperation::read; ++i)
    {
        reply (blockFrame (data, true));
        tick();
    }

    EXPECT_EQ (log.text(), "Reading...\nTime out, retry...1The device has no response.\n");
    EXPECT_EQ (sent().size(), 2u);
    EXPECT_TRUE (messages().has ({ MessageCode::OperationState, 1, 0, 0 }));
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (messages().count (MessageCode::JobFinished), 1);
    EXPECT_EQ (host->timerPeriod, 0);
}

TEST_F (TransferReadTest, OversizeReadFramesAreBadBlocks)
{
    for (const bool fs : { false, true })
    {
        connect (fs);
        const auto data = pattern (4096, 11);
        startRead (0, 0, 4096);

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
        tick (2);
        EXPECT_EQ (host->readData, data);
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    }
}

TEST_F (TransferReadTest, ACorruptedFsBlockIsAskedForAgain)
{
    connect (true);
    const auto data = pattern (4096, 13);
    startRead (0, 0x2000, 4096);

    auto corrupted = data;
    corrupted[1234] ^= 0x10;
    auto frame = blockFrame (data, true);
    const auto bad = wire::readFrame (0, [&] { auto b = corrupted; auto c = wire::checkBytes (data.data()); b.insert (b.end(), c.begin(), c.end()); return b; }().data(), 4100);
    reply (bad);
    EXPECT_EQ (sent().size(), 2u);
    EXPECT_EQ (sent()[1], sent()[0]);
    reply (frame);
    tick (2);

    EXPECT_EQ (host->readData, data);
    EXPECT_TRUE (log.text().startsWith ("Reading...\n.Read finished"));
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
}

TEST_F (TransferReadTest, ALinkThatAlwaysCorruptsEndsAsNoResponse)
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
        for (int copy = 0; copy < 20 && engine->getOperation() == TransferOperation::read; ++copy)
        {
            reply (c.badCopy (data));
            tick (2); // a drain, where a bad copy asks for one
        }
    
        EXPECT_EQ (log.text(), "Reading...\n...........The device has no response.\n") << c.what;
        EXPECT_EQ (sent().size(), 11u) << c.what; // the first request and ten more
        EXPECT_TRUE (messages().has ({ MessageCode::OperationState, 1, 0, 0 })) << c.what;
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 })) << c.what;
        EXPECT_EQ (host->timerPeriod, 0) << c.what;
    }
}


// A read whose data the destination did not take is no read, whichever block was lost.
TEST_F (TransferReadTest, DataThatWasNotKeptFailsTheRead)
{
    for (const bool failClose : { false, true })
    {
        SCOPED_TRACE (failClose ? "lost at the close" : "lost at a write");
        connect (false);
        host->failWrites = ! failClose;
        host->failClose = failClose;
        const auto data = pattern (8192, 3);
        startRead (0, 0, 8192);
        reply (blockFrame (Bytes (data.begin(), data.begin() + 4096), false));
        reply (blockFrame (Bytes (data.begin() + 4096, data.end()), false));
        tick (2);

        EXPECT_TRUE (log.text().endsWith ("Can't create file to save.\n")) << log.text();
        EXPECT_FALSE (log.text().contains ("Read OK."));
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::ReadFileNotMade, 0 }));
        EXPECT_EQ (host->timerPeriod, 0);
    }
}

// A device that answers a read request with Acks of status 0 and never with data: the Acks
// are no answer, so the read times out, retries and ends.
TEST_F (TransferReadTest, AcksInsteadOfDataDoNotKeepAReadAlive)
{
    connect (true);
    startRead (0, 0, 4096);
    for (int i = 0; i < 9 * 11 + 5 && engine->getOperation() == TransferOperation::read; ++i)
    {
        reply (ack (0));
        tick();
    }
    EXPECT_EQ (log.text(), "Reading...\nTime out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n");
    EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (messages().count (MessageCode::JobFinished), 1);
}

// Frames carry no request id: a doubled frame taken for the next block puts every later block
// one behind, which shows only as one frame too many at the end. Such a read is no read.
TEST_F (TransferReadTest, AFrameAfterTheLastBlockFailsTheRead)
{
    for (const bool fs : { false, true })
    {
        SCOPED_TRACE (fs ? "FS" : "HS");
        connect (fs);
        const auto data = pattern (8192, 17);
        const auto first = Bytes (data.begin(), data.begin() + 4096);
        startRead (0, 0, 8192);
        reply (blockFrame (first, fs));
        reply (blockFrame (first, fs)); // a copy, taken for the second block
        reply (blockFrame (Bytes (data.begin() + 4096, data.end()), fs));
        tick (2);

        EXPECT_TRUE (log.text().endsWith ("The device sent more data than was asked for.\n")) << log.text();
        EXPECT_FALSE (log.text().contains ("Read OK."));
        EXPECT_TRUE (messages().has ({ MessageCode::OperationState, 1, 0, 0 }));
        EXPECT_EQ (messages().messages.back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
        EXPECT_EQ (host->timerPeriod, 0);
    }
}
