// Read streaming: block requests, host acknowledgements, check bytes, retries and the drain.
#include "devicelink/TransferEngine.h"

#include "devicelink/TickCount.h"

#include "messages/CustomMessage.h"

#include <algorithm>

// ===== Read streaming ======================================================================

void TransferEngine::startRead (int byteAddress, int length)
{
    startTick = elapsedMs();
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
    ledger.reset (fsMode ? fsBlockSize : blockSize);
    takenAnswer = 0;
    lastReadFrameUs = 0;
    readStartedUs = host.microseconds();
    readDataOpen = true;
    startTimer (readWatchdogMs);
    phase = Phase::reading;

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
    takenAnswer = 0;
    send (frameBuffer.data(), Frames::buildAddress (frameBuffer.data(), readBase + transferPos, 1));
    ledger.requestSent (askedAtUs);
}

void TransferEngine::sendHostAck()
{
    send (frameBuffer.data(), Frames::buildAck (frameBuffer.data()));
    ledger.hostAckSent();
}

void TransferEngine::onReadFrame (const std::uint8_t* body, int size, std::int64_t arrivedUs)
{
    lastFrameInUs = std::max (lastFrameInUs, arrival (arrivedUs));
    if (phase == Phase::settling)
    {
        settleQuiet = 0;
        settleLastFrameUs = std::max (settleLastFrameUs, lastFrameInUs);
        return;
    }
    // Frames of a read that has ended (completed, failed or never started) are late copies,
    // and so is one that was in before the read's first request went out.
    const auto at = arrival (arrivedUs);
    if (! readOpen() || size < Frames::bodyFirstPayload + 1 || at < readStartedUs)
        return;
    watchdogTicks = 0;

    if (phase == Phase::trailing)
    {
        finish (Ending::extraReply);
        return;
    }

    const int expected = fsMode ? fsBlockSize : blockSize;
    const int flag = body[Frames::bodyFirstPayload];
    const bool waitsForAck = flag != 1;
    const std::uint8_t* packed = body + Frames::bodyFirstPayload + 1;
    const int packedCount = size - Frames::bodyFirstPayload - 1;
    const int bytes = Frames::unpackedSize (packedCount);

    // Longer than a block before any other frame of an answer: noise, or a bad copy. Whether it
    // answered a request is unknown, so it answers none, and the count is uncertain.
    if ((! ledger.answerArriving() || ledger.isStalled()) && bytes > expected)
    {
        ledger.badFrame();
        if (phase == Phase::draining)
            drainQuiet = 0;
        else
            onBadReadBlock (true);
        return;
    }

    const auto a = ledger.frame (bytes, waitsForAck, at);
    if (phase == Phase::draining)
    {
        drainQuiet = 0;
        if (drainDriving && ledger.isStalled())
            sendHostAck();
        return;
    }

    if (a.begins)
    {
        // Only the answer to the one request still owed is taken; one that others are owed
        // behind, or that nothing was owed for, may be a late copy.
        if (ledger.owedAnswers() > 0 || a.unasked)
        {
            // It answers the oldest request owed at the latest, which bounds how slow this
            // link is: the watchdog and the drain's quiet time must cover that.
            noteFrameTime (ledger.slowestAnswerUs());
            startDrain();
            return;
        }
        takenAnswer = a.answer;
        blockFill = 0;
        const auto line = host.lineActivity();
        if (line.known && line.lastBeganUs >= askedAtUs)
            rules.replyBegan (line.lastBeganUs - askedAtUs);
    }
    else if (a.answer != takenAnswer)
        return; // the rest of an answer given up (a request went out meanwhile): never mixed in
    if (a.overflow)
    {
        onBadReadBlock (true);
        return;
    }
    // A frame answers the request or host Ack before it, or follows the frame before it in a
    // streamed block: either way this is one frame's time on the link.
    noteFrameTime (at - std::max (askedAtUs, lastReadFrameUs));
    lastReadFrameUs = at;

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
    if (waitsForAck)
        sendHostAck();
}

bool TransferEngine::takeReadBlock()
{
    takenAnswer = 0;
    if (fsMode && ! Frames::blockCheckOk (blockBuffer.data()))
    {
        // The whole copy is in, and the device sends nothing after a block's last frame: the
        // block can be asked for again at once, unless something else may still come.
        onBadReadBlock (ledger.owedAnswers() > 0 || ledger.uncertain());
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
    transferPos += blockSize;
    // The next block is asked for only when nothing more can come for this one.
    if (ledger.owedAnswers() > 0 || ledger.uncertain())
    {
        ledger.settled();
        startDrain();
        return true;
    }
    requestNextBlockOrTrail();
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
    // Nothing is owed to the watchdog while draining: silence is what the drain waits for.
    phase = Phase::draining;
    awaitingReply = false;
    drainQuiet = 0;
    drainTicks = 0;
    drainDriving = false;
    blockFill = 0;
    takenAnswer = 0;
}

void TransferEngine::onDrainTick()
{
    // A device that never falls silent for long enough cannot be read from.
    if (++drainTicks > std::max (watchdogCeiling, 4 * quietTicks()))
    {
        finish (Ending::noResponse);
        return;
    }
    // Quiet means no frame for twice the longest frame time the link has shown, late answers
    // included (at least two ticks): a device answers its requests in turn, so another answer
    // still owed would have begun within that time of the last.
    if (++drainQuiet < quietTicks())
        return;

    // An answer that waits for an Ack holds back the ones behind it: the line is quiet, yet
    // they are owed. It is Acked through so that they can come.
    if (ledger.owedAnswers() > 0 && ledger.isStalled())
    {
        drainDriving = true;
        drainQuiet = 0;
        sendHostAck();
        awaitingReply = false;
        return;
    }
    // Whatever else is owed has been lost.
    ledger.presumeLost();
    endDrain();
}

void TransferEngine::endDrain()
{
    // Nothing more is owed, or it has had its time: the next answer is to the next request.
    drainDriving = false;
    phase = Phase::reading;
    watchdogTicks = 0;
    requestNextBlockOrTrail();
}

void TransferEngine::requestNextBlockOrTrail()
{
    if (transferPos < transferTotal)
        requestReadBlock();
    else
    {
        phase = Phase::trailing;
        trailingQuiet = 0;
        awaitingReply = false;
        // Seen byte by byte, the line is looked at often: the read ends a few ms after it fell
        // quiet. Whatever follows ends the read, so the period needs no restoring.
        if (host.lineActivity().known)
            startTimer (quietCheckMs);
    }
}

void TransferEngine::onTrailingTick()
{
    // One frame more than was asked for would begin within a reply time of the last frame:
    // where the port sees the bytes, that is what is waited for, not for a block's time twice.
    ++trailingQuiet;
    const auto line = host.lineActivity();
    const bool quiet = line.known ? rules.lineQuiet (host.microseconds(), line.arriving, line.lastBeganUs,
                                                     std::max (lastReadFrameUs, askedAtUs))
                                  : trailingQuiet >= quietTicks();
    if (quiet)
        finishRead();
}

void TransferEngine::finishRead()
{
    readDataOpen = false;
    const bool kept = host.closeReadData() && ! readWriteFailed;
    phase = Phase::idle;
    awaitingReply = false;
    postProgress (ProgressPhase::None, 0, 0);
    finish (kept ? Ending::completed : Ending::readNotKept);
}
