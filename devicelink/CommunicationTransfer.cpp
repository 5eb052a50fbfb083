// Reply matching, write and read streaming, the watchdog and the end of each operation.

#include "devicelink/Communication.h"
#include "devicelink/TickCount.h"
#include "messages/LogPrinter.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace
{
constexpr int readWatchdogMs = 80;
constexpr int watchdogCeiling = 50;

// A drain ends after this many read-watchdog ticks in a row without a frame (at least one
// whole tick period of silence: longer than a block frame takes on a USB link), and gives up
// on a device that will not fall silent after as many ticks as the watchdog counts at most.
constexpr int drainQuietTicks = 2;
constexpr int drainLimitTicks = watchdogCeiling;

constexpr std::uint32_t black = 0xFF000000;
constexpr std::uint32_t red = 0xFFFF0000;
constexpr std::uint32_t green = 0xFF008000;

// Frames after which the device owes an answer: a block (Ack), a read request or a host Ack
// (read frames), an erase or a test (Ack).
bool asksForReply (const std::uint8_t* frame, int size)
{
    if (size < Frames::ramLoadFrameSize)
        return false;
    switch (frame[Frames::header.size()])
    {
        case Frames::Ack:
        case Frames::Data:
        case Frames::EraseSector:
        case Frames::RunTest:
            return true;
        case Frames::Address:
            return size == Frames::addressFrameSize && frame[Frames::addressFrameSize - 2] == 1;
        default:
            return false;
    }
}
} // namespace

// ===== Reply matching ======================================================================

void Communication::handleIncomingMidiMessage (MidiInPort* source, const juce::MidiMessage& message)
{
    const auto frame = Frames::classify (message.getRawData(), message.getRawDataSize());
    if (! frame)
        return;

    EntryLock guard (*this);
    if (frame->command == Frames::ProbeReply)
    {
        onProbeReply (source, frame->body, frame->bodySize);
        useFrameworkOutputs = true;
        return;
    }

    // Transaction replies count only from the paired input; an input retired a moment ago may
    // still be delivering.
    if (source == nullptr || source != selectedInput)
        return;
    if (frame->command == Frames::Ack)
        onAck (frame->body[Frames::bodyFirstPayload]);
    else if (frame->command == Frames::Data)
        onReadFrame (frame->body, frame->bodySize);
}

void Communication::timerCallback()
{
    EntryLock guard (*this);
    if (timerPeriod == 0)
        return; // a tick already on its way when the timer was stopped

    if (probing)
    {
        endProbeWindow();
        return;
    }

    if (readDraining)
    {
        onDrainTick();
        return;
    }

    // The watchdog: silence while the device owes a reply. A timer left running after a driver
    // upload or a flash test (the next job's start sets its period) watches nothing.
    if (! awaitingReply)
        return;
    if (watchdogTicks < watchdogCeiling && ++watchdogTicks > watchdogLimit)
        onStatus (3);
}

// ===== Sending =============================================================================

bool Communication::sendFrame (const std::uint8_t* frame, int size)
{
    if (asksForReply (frame, size))
        awaitingReply = true; // unsent for want of an output, it is still owed: the watchdog ends it

    if (selectedOutput == nullptr)
    {
        warnNoOutput();
        return false;
    }
    return selectedOutput->sendMessage (frame, size);
}

void Communication::warnNoOutput()
{
    // Shown on the message thread without a modal loop (a modal loop inside the engine would
    // run it again from within itself), and never more than one at a time.
    static std::atomic<bool> boxOpen { false };
    if (boxOpen.exchange (true))
        return;

    juce::MessageManager::callAsync ([]
    {
        if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() == nullptr)
        {
            // No screen to show it on (a headless run): the text still goes somewhere.
            juce::Logger::writeToLog ("No out device");
            boxOpen = false;
            return;
        }
        juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, {}, "No out device", {},
                                                nullptr, juce::ModalCallbackFunction::create ([] (int) { boxOpen = false; }));
    });
}

void Communication::post (int code, int p1, int p2, int p3)
{
    postCustomMessage (listener, code, p1, p2, p3);
}

void Communication::postProgress (int phase, int a, int b)
{
    post (MessageCode::Progress, phase, a, b);
}

void Communication::printElapsed (const char* label, std::int64_t milliseconds)
{
    if (log != nullptr)
        log->printA ("%s%s", label, formatElapsedTime (milliseconds).c_str());
}

// ===== Write streaming =====================================================================

void Communication::startTransfer (const std::uint8_t* data, int address, int lengthToSend, bool toFlash)
{
    if (selectedOutput == nullptr)
    {
        // Nothing is posted: the operation's watchdog ends it as a device without response.
        awaitingReply = true;
        warnNoOutput();
        return;
    }

    transferPos = 0;
    postProgress (ProgressPhase::Write, 0, 1);
    transferData = data;
    transferTotal = lengthToSend;

    if (lengthToSend <= 0 || data == nullptr)
    {
        // Nothing to move: complete at once instead of sending a block of stale bytes.
        transferActive = false;
        postProgress (ProgressPhase::None, 0, 0);
        onStatus (0);
        return;
    }

    const int size = toFlash ? Frames::buildAddress (frameBuffer.data(), address, 0)
                             : Frames::buildRamLoad (frameBuffer.data());
    sendFrame (frameBuffer.data(), size);

    loadNextBlock();
    transferActive = true;
    sendBlock();
}

void Communication::loadNextBlock()
{
    const int n = std::min (blockSize, transferTotal - transferPos);
    std::memcpy (blockBuffer.data(), transferData + transferPos, static_cast<std::size_t> (n));
    // The device takes whole blocks (the protocol carries no transfer length), so the tail of a
    // short last block is written too: FFh leaves erased flash as it is.
    std::fill (blockBuffer.begin() + n, blockBuffer.begin() + blockSize, std::uint8_t { 0xFF });
}

void Communication::sendBlock()
{
    sendFrame (frameBuffer.data(), Frames::buildData (frameBuffer.data(), blockBuffer.data()));
    watchdogTicks = 0;
}

void Communication::onAck (int status)
{
    watchdogTicks = 0;
    // An Ack that nothing waits for is a late copy (a duplicate, or one after the operation
    // ended, by a refusal for instance): taken, it would report a finished job once more or
    // start the next step of a failed one.
    if (! awaitingReply)
        return;
    if (status != 0 || ! transferActive)
    {
        onStatus (status);
        return;
    }

    transferPos += blockSize;
    postProgress (ProgressPhase::Write, transferPos, transferTotal);
    if (transferPos >= transferTotal)
    {
        transferActive = false;
        postProgress (ProgressPhase::None, 0, 0);
        onStatus (0);
        return;
    }
    loadNextBlock();
    sendBlock();
}

// ===== Read streaming ======================================================================

void Communication::startRead()
{
    // The range is clamped to the flash in absolute byte addresses, so that a read on a page
    // other than 0 is clamped where that page really ends.
    const std::int64_t start = static_cast<std::int64_t> (page) * pageSize + flashOffset;
    std::int64_t total = length;
    if (length == 0 || start + length > flashEnd())
        total = flashEnd() - start;
    transferTotal = static_cast<int> (std::max<std::int64_t> (0, total));

    transferPos = 0;
    postProgress (ProgressPhase::Read, 0, 1);
    baseAddress = static_cast<int> (start);
    post (MessageCode::OperationState, 0);
    operation = opRead;
    if (log != nullptr)
        log->printA ("Reading...\n");
    retryCount = 0;
    badBlockCount = 0;
    readDraining = false;
    lateRepliesPossible = false;
    startTimer (readWatchdogMs);
    readActive = true;

    if (transferTotal == 0)
    {
        finishRead(); // nothing to read: an empty file, at once
        return;
    }
    requestReadBlock (baseAddress + transferPos);
}

void Communication::requestReadBlock (int byteAddress)
{
    blockFill = 0;
    sendFrame (frameBuffer.data(), Frames::buildAddress (frameBuffer.data(), byteAddress, 1));
}

void Communication::onReadFrame (const std::uint8_t* payload, int size)
{
    // Frames of a read that has ended (completed, failed or never started) are late copies.
    if (! readActive)
        return;
    watchdogTicks = 0;

    if (readDraining)
    {
        drainQuiet = 0;
        return;
    }
    if (lateRepliesPossible)
    {
        // The block was asked for again after a time-out, and frames carry no request id: this
        // frame may answer any of those requests, and taking it could mix copies in one block
        // or take a late copy as the next block.
        startDrain();
        return;
    }

    const int expected = fsMode ? fsBlockSize : blockSize;
    const int flag = payload[Frames::bodyFirstPayload];
    const std::uint8_t* packed = payload + Frames::bodyFirstPayload + 1;
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
        onReadBlock();
        return;
    }
    if (flag != 1)
        sendFrame (frameBuffer.data(), Frames::buildAck (frameBuffer.data()));
}

bool Communication::onReadBlock()
{
    if (fsMode && ! Frames::blockCheckOk (blockBuffer.data()))
    {
        // The whole copy is in, and the device sends nothing after a block's last frame: the
        // block can be asked for again at once.
        onBadReadBlock (false);
        return false;
    }

    // The retries belong to one block.
    if (retryCount != 0 && log != nullptr)
        log->printA ("\n");
    retryCount = 0;
    badBlockCount = 0;

    postProgress (ProgressPhase::Read, transferPos, transferTotal);
    if (transferPos + blockSize < transferTotal)
    {
        if (readFile != nullptr)
            readFile->write (blockBuffer.data(), blockSize);
        transferPos += blockSize;
        requestReadBlock (baseAddress + transferPos);
    }
    else
    {
        if (readFile != nullptr)
            readFile->write (blockBuffer.data(), static_cast<std::size_t> (transferTotal - transferPos));
        finishRead();
    }
    return true;
}

void Communication::onBadReadBlock (bool drainFirst)
{
    if (log != nullptr)
        log->printA (".");
    // Bad copies count against the block's retries with its time-outs, so a link that always
    // corrupts ends as a device without response instead of asking for ever.
    if (retryCount + badBlockCount >= maxReadRetries)
    {
        abandonRead();
        return;
    }
    ++badBlockCount;
    if (drainFirst)
        startDrain();
    else
        requestReadBlock (baseAddress + transferPos);
}

void Communication::startDrain()
{
    // Nothing is owed while draining: silence is what the drain waits for.
    readDraining = true;
    awaitingReply = false;
    drainQuiet = 0;
    drainTicks = 0;
    blockFill = 0;
}

void Communication::onDrainTick()
{
    if (++drainTicks > drainLimitTicks)
    {
        abandonRead(); // a device that never falls silent cannot be read from
        return;
    }
    if (++drainQuiet < drainQuietTicks)
        return;

    // Every earlier request has been answered or dropped by now: the next answer is to this one.
    readDraining = false;
    lateRepliesPossible = false;
    watchdogTicks = 0;
    requestReadBlock (baseAddress + transferPos);
}

void Communication::finishRead()
{
    bool written = true;
    if (readFile != nullptr)
    {
        readFile->flush();
        written = ! readFile->getStatus().failed();
        readFile.reset();
    }
    endOperation();

    postProgress (ProgressPhase::None, 0, 0);
    if (! written)
    {
        // A file that could not take the data is no read at all.
        if (log != nullptr)
            log->printA ("Can't create file to save.\n");
        stopTimer();
        post (MessageCode::JobFinished, 1, FailureReason::ReadFileNotMade);
        return;
    }
    printElapsed ("Read finished, read time:", getTickCount() - startTick);
    if (log != nullptr)
        log->printA ("Read OK.\n");
    postProgress (ProgressPhase::None, 0, 0);
    stopTimer();
    post (MessageCode::JobFinished, 0, 0);
}

void Communication::abandonRead()
{
    if (log != nullptr)
        log->printA ("The device has no response.\n");
    post (MessageCode::OperationState, 1);
    post (MessageCode::JobFinished, 1, FailureReason::NoResponse); // ends the job's script
    stopTimer();
    operation = opNone;
    endOperation();
}

// ===== Erase stepping ======================================================================

bool Communication::eraseNextSector()
{
    if (currentSector >= endSector || currentSector < 0 || currentSector >= static_cast<int> (sectors.size()))
    {
        postProgress (ProgressPhase::None, 0, 0);
        return false;
    }

    postProgress (ProgressPhase::Erase, currentSector - firstSector, endSector - firstSector);
    const auto& sector = sectors[static_cast<std::size_t> (currentSector)];
    const int word = sector.start / 2 + page * (pageSize / 2);
    sendFrame (frameBuffer.data(), Frames::buildEraseSector (frameBuffer.data(), word));
    ++currentSector;
    watchdogTicks = 0;
    return true;
}

// ===== End of an operation =================================================================

void Communication::onRefused (int status)
{
    if (log != nullptr)
        log->printA ("The device refused the operation (status %d).\n", status);
    post (MessageCode::OperationState, 1);
    post (MessageCode::JobFinished, 1, FailureReason::FlashFailed);
    stopTimer();
    readFile.reset(); // a read that ends here leaves only what it had written
    endOperation();
}

void Communication::endOperation()
{
    awaitingReply = false;
    transferActive = false;
    readActive = false;
    readDraining = false;
    lateRepliesPossible = false;
}

void Communication::onStatus (int status)
{
    // Whatever brings a status here ends the block stream: a late Ack after a failure or after
    // an early completion must not send the next block of a finished transfer.
    transferActive = false;

    if (status == 2)
    {
        if (log != nullptr)
            log->printA ("Timer out when operating the flash.\n");
        post (MessageCode::OperationState, 1);
        // The job ends here: without a JobFinished the script would wait for ever.
        post (MessageCode::JobFinished, 1, FailureReason::FlashFailed);
        stopTimer();
        endOperation();
        return;
    }

    if (status == 3)
    {
        watchdogTicks = 0;
        if (operation == opRead)
        {
            if (! readActive)
                return; // the read has ended already
            if (retryCount + badBlockCount < maxReadRetries)
            {
                ++retryCount;
                if (log != nullptr)
                {
                    if (retryCount == 1)
                        log->printA ("Time out, retry...1");
                    else
                        log->printA (",%d", retryCount);
                }
                // The block may only be late: its answer can still come after this request's.
                lateRepliesPossible = true;
                requestReadBlock (baseAddress + transferPos);
                return;
            }
            abandonRead();
            return;
        }

        if (log != nullptr)
            log->printA ("The device has no response.\n");
        post (MessageCode::JobFinished, 1, FailureReason::NoResponse);
        stopTimer();
        operation = opNone;
        endOperation();
        return;
    }

    // Any other status ends a driver, erase, program or read step that the device was still
    // owing as a refusal (no driver in RAM, not a sector start, past the flash end). Taking it
    // as the step's completion would report a failure as success. The flash test keeps its
    // own verdict below.
    if (status != 0 && operation != opFlashTest && operation != opNone)
    {
        onRefused (status);
        return;
    }

    switch (operation)
    {
        case opDriverUpload:
            endOperation();
            if (log != nullptr)
                log->printA ("Send driver OK!\n");
            post (MessageCode::JobFinished, 0, 0);
            break;

        case opFlashTest:
            endOperation();
            if (status != 0)
            {
                post (MessageCode::OperationState, 1, 0);
                if (log != nullptr)
                {
                    log->setBold (true);
                    log->setTextColour (red);
                    log->printA ("Fail.\n");
                    log->setBold (false);
                    log->setTextColour (black);
                }
                post (MessageCode::JobFinished, 1, 0);
            }
            else
            {
                if (log != nullptr)
                {
                    log->setBold (true);
                    log->setTextColour (green);
                    log->printA ("OK.\n");
                    log->setBold (false);
                    log->setTextColour (black);
                }
                post (MessageCode::JobFinished, 0, 0);
            }
            break;

        case opErase:
            if (eraseNextSector())
                break;
            endOperation();
            post (MessageCode::JobFinished, 0, 0);
            stopTimer();
            printElapsed ("Erase finished, time:", getTickCount() - phaseTick);
            break;

        case opProgram:
        {
            endOperation();
            const auto now = getTickCount();
            printElapsed ("Program finished, time:", now - phaseTick);
            printElapsed ("Total time:", now - startTick);
            if (log != nullptr)
                log->printA ("Program OK.\n");
            post (MessageCode::JobFinished, 0, 0);
            stopTimer();
            break;
        }

        case opRead:
        case opNone:
        default:
            break;
    }
}
