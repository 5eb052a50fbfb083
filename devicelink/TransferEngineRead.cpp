// Read streaming: block requests, host acknowledgements, check bytes, retries and the drain.
#include "devicelink/TransferEngine.h"

#include "devicelink/TickCount.h"

#include "messages/CustomMessage.h"

#include <algorithm>

// ===== Read streaming ======================================================================

void TransferEngine::startRead (int byteAddress, int length)
{
    startTick = getTickCount();
    transferTotal = std::max (0, length);
    transferPos = 0;
    postProgress (ProgressPhase::Read, 0, 1);
    readBase = byteAddress;
    host.post (MessageCode::OperationState, 0);
    operation = TransferOperation::read;
    noOutputReported = false;
    outputFailed = false;
    host.print ("Reading...\n");
    retryCount = 0;
    badBlockCount = 0;
    readWriteFailed = false;
    readDraining = false;
    readTrailing = false;
    lateRepliesPossible = false;
    readDataOpen = true;
    startTimer (readWatchdogMs);
    readActive = true;

    if (transferTotal == 0)
    {
        finishRead(); // nothing to read: an empty file, at once
        return;
    }
    requestReadBlock();
}

void TransferEngine::requestReadBlock()
{
    blockFill = 0;
    send (frameBuffer.data(), Frames::buildAddress (frameBuffer.data(), readBase + transferPos, 1));
    if (! lateRepliesPossible)
        blockAskedAtUs = askedAtUs;
}

void TransferEngine::onReadFrame (const std::uint8_t* body, int size, std::int64_t arrivedUs)
{
    if (settling)
    {
        settleQuiet = 0;
        return;
    }
    // Frames of a read that has ended (completed, failed or never started) are late copies,
    // and so is one that was in before the request it would answer went out.
    const auto at = arrival (arrivedUs);
    if (! readActive || size < Frames::bodyFirstPayload + 1 || at < askedAtUs)
        return;
    watchdogTicks = 0;

    if (readTrailing)
    {
        finish (Ending::extraReply);
        return;
    }
    if (readDraining)
    {
        drainQuiet = 0;
        return;
    }
    if (lateRepliesPossible)
    {
        // The block was asked for again after a time-out, and frames carry no request id: this
        // frame may answer any of those requests, and taking it could mix copies in one block
        // or take a late copy as the next block. It answers the first request at the latest,
        // which bounds how slow this link is: the drain's quiet time must cover that.
        noteFrameTime (at - blockAskedAtUs);
        startDrain();
        return;
    }
    // A frame answers the request or host Ack before it, or follows the frame before it in a
    // streamed block: either way this is one frame's time on the link.
    noteFrameTime (at - std::max (askedAtUs, lastReadFrameUs));
    lastReadFrameUs = at;

    const int expected = fsMode ? fsBlockSize : blockSize;
    const int flag = body[Frames::bodyFirstPayload];
    const std::uint8_t* packed = body + Frames::bodyFirstPayload + 1;
    const int packedCount = size - Frames::bodyFirstPayload - 1;

    // More bytes than the block holds: a bad copy of the block, never written past its end.
    // Its remaining frames may still be on their way, so they are drained before asking again.
    if (! Frames::unpackPayload (packed, packedCount, blockBuffer.data(), expected, blockFill))
    {
        onBadReadBlock (true);
        return;
    }

    if (blockFill == expected)
    {
        takeReadBlock();
        return;
    }
    if (flag != 1)
        send (frameBuffer.data(), Frames::buildAck (frameBuffer.data()));
}

bool TransferEngine::takeReadBlock()
{
    if (fsMode && ! Frames::blockCheckOk (blockBuffer.data()))
    {
        // The whole copy is in, and the device sends nothing after a block's last frame: the
        // block can be asked for again at once.
        onBadReadBlock (false);
        return false;
    }

    // The retries belong to one block.
    if (retryCount != 0)
        host.print ("\n");
    retryCount = 0;
    badBlockCount = 0;

    postProgress (ProgressPhase::Read, transferPos, transferTotal);
    const int n = std::min (blockSize, transferTotal - transferPos);
    if (! host.writeReadData (blockBuffer.data(), n))
        readWriteFailed = true;
    if (transferPos + blockSize < transferTotal)
    {
        transferPos += blockSize;
        requestReadBlock();
    }
    else
    {
        readTrailing = true;
        trailingQuiet = 0;
        awaitingReply = false;
    }
    return true;
}

void TransferEngine::onBadReadBlock (bool drainFirst)
{
    host.print (".");
    // Bad copies count against the block's retries with its time-outs, so a link that always
    // corrupts ends as a device without response instead of asking for ever.
    if (retryCount + badBlockCount >= maxReadRetries)
    {
        finish (Ending::noResponse);
        return;
    }
    ++badBlockCount;
    if (drainFirst)
        startDrain();
    else
        requestReadBlock();
}

void TransferEngine::startDrain()
{
    // Nothing is owed while draining: silence is what the drain waits for.
    readDraining = true;
    awaitingReply = false;
    drainQuiet = 0;
    drainTicks = 0;
    blockFill = 0;
}

void TransferEngine::onDrainTick()
{
    // Quiet means no frame for twice the longest frame time the link has shown (at least two
    // ticks): a device answers its requests in turn, so another answer still owed would have
    // arrived within one frame time of the last. A device that never falls silent for that
    // long cannot be read from.
    if (++drainTicks > std::max (watchdogCeiling, 4 * quietTicks()))
    {
        finish (Ending::noResponse);
        return;
    }
    if (++drainQuiet < quietTicks())
        return;

    // Every earlier request has been answered or dropped by now: the next answer is to this one.
    readDraining = false;
    lateRepliesPossible = false;
    watchdogTicks = 0;
    requestReadBlock();
}

void TransferEngine::onTrailingTick()
{
    if (++trailingQuiet >= quietTicks())
        finishRead();
}

void TransferEngine::finishRead()
{
    readDataOpen = false;
    const bool kept = host.closeReadData() && ! readWriteFailed;
    readActive = false;
    awaitingReply = false;
    postProgress (ProgressPhase::None, 0, 0);
    finish (kept ? Ending::completed : Ending::readNotKept);
}
