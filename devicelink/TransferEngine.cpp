#include "devicelink/TransferEngine.h"

#include "devicelink/Clock.h"
#include "devicelink/TickCount.h"
#include "messages/CustomMessage.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

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

DeviceStatus deviceStatusOf (int statusByte)
{
    switch (statusByte)
    {
        case 0: return DeviceStatus::ok;
        case 2: return DeviceStatus::flashTimedOut;
        case 3: return DeviceStatus::noResponse;
        default: return DeviceStatus::refused;
    }
}

const char* logLineFor (DeviceStatus status)
{
    switch (status)
    {
        case DeviceStatus::ok: return "";
        case DeviceStatus::flashTimedOut: return "Timer out when operating the flash.\n";
        case DeviceStatus::noResponse: return "The device has no response.\n";
        case DeviceStatus::refused: return "The device refused the operation (status %d).\n";
    }
    return "";
}

std::int64_t TransferHost::microseconds()
{
    return Clock::real().nowUs();
}

TransferEngine::TransferEngine (TransferHost& hostIn) : host (hostIn) {}

int TransferEngine::readLength (std::int64_t flashEnd, int page, int offset, int length)
{
    // Clipped in absolute byte addresses, so that a read on a page other than 0 is clipped
    // where that page really ends.
    const std::int64_t start = std::int64_t (page) * FlashLayout::pageSize + offset;
    std::int64_t total = length;
    if (length == 0 || start + length > flashEnd)
        total = flashEnd - start;
    return static_cast<int> (std::clamp<std::int64_t> (total, 0, FlashLayout::maxFlashBytes));
}

// ===== Host helpers ========================================================================

void TransferEngine::send (const std::uint8_t* frame, int size)
{
    // Unsent for want of an output, a reply is still owed: the watchdog ends the operation.
    if (asksForReply (frame, size))
    {
        awaitingReply = true;
        askedAtUs = host.microseconds();
        heldAck.reset();
        askedCommand = frame[Frames::header.size()];
    }
    const auto result = host.sendFrame (frame, size);
    if (result == TransferHost::SendResult::noOutput && ! noOutputReported)
    {
        noOutputReported = true;
        host.post (MessageCode::NoOutputDevice);
    }
    // Ended at the next tick rather than here, in the middle of the step that sent it.
    if (result == TransferHost::SendResult::failed)
        outputFailed = true;
}

void TransferEngine::startTimer (int milliseconds)
{
    timerMs = milliseconds;
    host.setTimer (milliseconds);
}

std::int64_t TransferEngine::arrival (std::int64_t arrivedUs)
{
    return arrivedUs == arrivedNow ? host.microseconds() : arrivedUs;
}

void TransferEngine::noteFrameTime (std::int64_t us)
{
    rules.frameTime (us);
}

int TransferEngine::watchdogLimitTicks() const
{
    // A read also waits twice as long as the slowest answer it has had: a link that holds
    // answers back once does so again, and a block asked again behind a held answer only
    // costs a drain.
    const int limit = rules.watchdogTicks (timerMs);
    if (operation != TransferOperation::read)
        return limit;
    return std::max (limit, rules.ticksForTwice (ledger.slowestAnswerUs(), timerMs));
}

int TransferEngine::quietTicks() const
{
    return rules.quietTicks (timerMs);
}

void TransferEngine::printf (const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start (args, format);
    std::vsnprintf (text, sizeof (text), format, args);
    va_end (args);
    host.print (text);
}

void TransferEngine::printElapsed (const char* label, std::int64_t milliseconds)
{
    printf ("%s%s", label, formatElapsedTime (milliseconds).c_str());
}

void TransferEngine::postProgress (int progressPhase, int a, int b)
{
    host.post (MessageCode::Progress, progressPhase, a, b);
}

// ===== The one ending ======================================================================

void TransferEngine::finish (Ending ending, int detail, bool operationFailed)
{
    const auto op = operation;
    const bool readWasOpen = readDataOpen;

    // Nothing is owed any more: a late Ack or read frame from now on finds nothing to continue.
    lastEndedUnanswered = ending == Ending::noResponse;
    operation = TransferOperation::none;
    awaitingReply = false;
    phase = Phase::idle;
    if (readWasOpen)
    {
        readDataOpen = false;
        host.closeReadData(); // a read that ends here keeps only what it had written
    }

    // The driver upload and the flash test leave the watchdog running: the flash test that
    // follows an upload runs under its period.
    const bool keepTimer = (op == TransferOperation::driverUpload || op == TransferOperation::flashTest)
                           && (ending == Ending::completed || ending == Ending::flashTestFailed);
    if (! keepTimer)
        startTimer (0);

    switch (ending)
    {
        case Ending::completed:
            switch (op)
            {
                case TransferOperation::driverUpload:
                    host.print ("Send driver OK!\n");
                    break;
                case TransferOperation::flashTest:
                    host.print ("OK.\n", TransferHost::Emphasis::success);
                    break;
                case TransferOperation::erase:
                    printElapsed ("Erase finished, time:", elapsedMs() - phaseTick);
                    break;
                case TransferOperation::program:
                {
                    const auto now = elapsedMs();
                    printElapsed ("Program finished, time:", now - phaseTick);
                    printElapsed ("Total time:", now - startTick);
                    host.print ("Program OK.\n");
                    break;
                }
                case TransferOperation::read:
                    printElapsed ("Read finished, read time:", elapsedMs() - startTick);
                    host.print ("Read OK.\n");
                    postProgress (ProgressPhase::None, 0, 0);
                    break;
                case TransferOperation::none:
                    break;
            }
            host.post (MessageCode::JobFinished, 0, 0);
            return;

        case Ending::flashTestFailed:
            host.post (MessageCode::OperationState, 1, 0);
            host.print ("Fail.\n", TransferHost::Emphasis::failure);
            host.post (MessageCode::JobFinished, 1, 0);
            return;

        case Ending::flashTimedOut:
            host.print (logLineFor (DeviceStatus::flashTimedOut));
            host.post (MessageCode::OperationState, 1);
            host.post (MessageCode::JobFinished, 1, FailureReason::FlashFailed);
            return;

        case Ending::noResponse:
            // The watchdog's silence and the device's own status 3 read the same.
            host.print (logLineFor (DeviceStatus::noResponse));
            if (op == TransferOperation::read)
                host.post (MessageCode::OperationState, 1);
            host.post (MessageCode::JobFinished, 1, FailureReason::NoResponse);
            return;

        case Ending::refused:
            printf (logLineFor (DeviceStatus::refused), detail);
            host.post (MessageCode::OperationState, 1);
            host.post (MessageCode::JobFinished, 1, FailureReason::FlashFailed);
            return;

        case Ending::extraReply:
            host.print ("The device sent more data than was asked for.\n");
            host.post (MessageCode::OperationState, 1);
            host.post (MessageCode::JobFinished, 1, FailureReason::NoResponse);
            return;

        case Ending::readNotKept:
            // A file that could not take the data is no read at all.
            host.print ("Can't create file to save.\n");
            host.post (MessageCode::JobFinished, 1, FailureReason::ReadFileNotMade);
            return;

        case Ending::notStarted:
            if (operationFailed)
                host.post (MessageCode::OperationState, 1);
            host.post (MessageCode::JobFinished, 1, detail);
            return;
    }
}

void TransferEngine::refuseStart (int reason, bool operationFailed)
{
    finish (Ending::notStarted, reason, operationFailed);
}

// ===== Starts ==============================================================================

void TransferEngine::startDriverUpload (const std::uint8_t* image, int size, bool settleFirst)
{
    operation = TransferOperation::driverUpload;
    noOutputReported = false;
    outputFailed = false;
    uploadImage = image;
    uploadSize = size;
    awaitingReply = false;
    if (settleFirst)
        startSettling();
    else
        sendDriverImage();
}

void TransferEngine::sendDriverImage()
{
    if (phase == Phase::settling)
        phase = Phase::idle;
    startTransfer (uploadImage, 0, uploadSize, false);
    watchdogTicks = 0;
    if (operation != TransferOperation::none)
        startTimer (watchdogMs);
}

void TransferEngine::startFlashTest (int argument, bool settleFirst)
{
    operation = TransferOperation::flashTest;
    noOutputReported = false;
    outputFailed = false;
    testArgument = argument;
    awaitingReply = false;
    if (settleFirst)
        startSettling();
    else
        sendRunTest();
}

void TransferEngine::startSettling()
{
    phase = Phase::settling;
    settleQuiet = 0;
    settleTicks = 0;
    settleSinceUs = host.microseconds();
    // The line has been quiet since the last frame either way, in this wait or before it.
    settleLastFrameUs = std::max (lastFrameInUs, askedAtUs);
    // After an operation that never got its reply, that reply may come at any time: the
    // frame rule's longer wait stays.
    settleByBytes = host.lineActivity().known && ! lastEndedUnanswered;
    startTimer (settleByBytes ? quietCheckMs : readWatchdogMs);
}

void TransferEngine::sendRunTest()
{
    if (phase == Phase::settling)
        phase = Phase::idle;
    send (frameBuffer.data(), Frames::buildRunTest (frameBuffer.data(), testArgument));
    watchdogTicks = 0;
    // Started here whatever ran before: the timer may have been stopped or given another
    // period meanwhile (a probe window), and without it the test would wait for ever for a
    // verdict that never comes.
    startTimer (watchdogMs);
}

void TransferEngine::onSettleTick()
{
    if (settleByBytes)
    {
        const auto now = host.microseconds();
        const auto limitUs = std::int64_t (std::max (watchdogCeiling, 4 * rules.quietTicks (readWatchdogMs))) * readWatchdogMs * 1000;
        if (now - settleSinceUs > limitUs)
        {
            finish (Ending::noResponse);
            return;
        }
        const auto line = host.lineActivity();
        if (! line.known)
        {
            // Another port meanwhile: counted from frames, from the start.
            settleByBytes = false;
            startTimer (readWatchdogMs);
            return;
        }
        // A copy right behind the last Ack is what an erase waits out; a later one is caught by
        // the erase's own timing (LinkRules::isEraseAckCopy).
        const bool quiet = operation == TransferOperation::erase
                               ? rules.lineQuiet (now, line.arriving, line.lastBeganUs, settleLastFrameUs)
                               : rules.settled (now, line.arriving, line.lastBeganUs, settleLastFrameUs);
        if (! quiet)
            return;
    }
    else
    {
        if (++settleTicks > std::max (watchdogCeiling, 4 * quietTicks()))
        {
            finish (Ending::noResponse); // a device that never falls silent cannot be worked with
            return;
        }
        if (++settleQuiet < quietTicks())
            return;
    }
    if (operation == TransferOperation::driverUpload)
        sendDriverImage();
    else if (operation == TransferOperation::erase)
        beginErase();
    else
        sendRunTest();
}

void TransferEngine::startErase (int page, std::vector<FlashSector> table, int first, int end)
{
    sectors = std::move (table);
    erasePage = page;
    firstSector = first;
    endSector = end;
    currentSector = first;
    operation = TransferOperation::erase;
    noOutputReported = false;
    outputFailed = false;
    startTick = phaseTick = elapsedMs();
    awaitingReply = false;
    // A copy of the Ack before (a program's last block, another erase's last sector) taken for
    // this erase's answer would send the next step while the instrument still erases.
    if (first < end)
        startSettling();
    else
        beginErase();
}

void TransferEngine::beginErase()
{
    if (phase == Phase::settling)
        phase = Phase::idle;
    if (! eraseNextSector())
    {
        finish (Ending::completed); // nothing to erase
        return;
    }
    startTimer (watchdogMs);
}

void TransferEngine::startProgram (const std::uint8_t* data, int byteAddress, int length)
{
    operation = TransferOperation::program;
    noOutputReported = false;
    outputFailed = false;
    phaseTick = elapsedMs();
    startTimer (watchdogMs);
    startTransfer (data, byteAddress, length, true);
}

// ===== Write streaming =====================================================================

void TransferEngine::startTransfer (const std::uint8_t* data, int address, int length, bool toFlash)
{
    transferPos = 0;
    transferData = data;
    transferTotal = length;

    if (length <= 0 || data == nullptr)
    {
        // Nothing to move: complete at once instead of sending a block of stale bytes.
        postProgress (ProgressPhase::Write, 0, 1);
        phase = Phase::idle;
        postProgress (ProgressPhase::None, 0, 0);
        onStatus (DeviceStatus::ok, 0);
        return;
    }

    const int size = toFlash ? Frames::buildAddress (frameBuffer.data(), address, 0)
                             : Frames::buildRamLoad (frameBuffer.data());
    send (frameBuffer.data(), size);
    if (noOutputReported)
    {
        // Nothing is posted: the operation's watchdog ends it as a device without response.
        awaitingReply = true;
        return;
    }

    postProgress (ProgressPhase::Write, 0, 1);
    loadNextBlock();
    phase = Phase::writing;
    sendBlock();
}

void TransferEngine::loadNextBlock()
{
    const int n = std::min (blockSize, transferTotal - transferPos);
    std::memcpy (blockBuffer.data(), transferData + transferPos, static_cast<std::size_t> (n));
    // The device takes whole blocks (the protocol carries no transfer length), so the tail of a
    // short last block is written too: FFh leaves erased flash as it is.
    std::fill (blockBuffer.begin() + n, blockBuffer.begin() + blockSize, std::uint8_t { 0xFF });
}

void TransferEngine::sendBlock()
{
    send (frameBuffer.data(), Frames::buildData (frameBuffer.data(), blockBuffer.data()));
    watchdogTicks = 0;
}

void TransferEngine::onAck (int statusByte, std::int64_t arrivedUs)
{
    lastFrameInUs = std::max (lastFrameInUs, arrival (arrivedUs));
    if (phase == Phase::settling)
    {
        settleQuiet = 0;
        settleLastFrameUs = std::max (settleLastFrameUs, lastFrameInUs);
        return;
    }
    // An Ack that nothing waits for is a late copy (a duplicate, or one after the operation
    // ended, by a refusal for instance): taken, it would report a finished job once more or
    // start the next step of a failed one. One that was already in before the frame it would
    // answer went out is a copy of an earlier answer.
    const auto at = arrival (arrivedUs);
    if (! awaitingReply || at < askedAtUs)
        return;
    const auto status = deviceStatusOf (statusByte);
    // A block's or an erase's Ack sooner than that step can take is a copy of the Ack before.
    const bool erasing = askedCommand == Frames::EraseSector;
    if (arrivedUs != arrivedNow && (erasing || askedCommand == Frames::Data))
    {
        const auto since = at - askedAtUs;
        if (erasing ? rules.isEraseAckCopy (since) : rules.isAckCopy (since))
        {
            if (! heldAck.has_value())
                heldAck = HeldAck { statusByte, arrivedUs };
            return;
        }
        if (status == DeviceStatus::ok && erasing)
            rules.eraseAnswered (since);
        else if (status == DeviceStatus::ok)
            rules.blockAnswered (since);
    }
    // A read is answered with read frames. A plain Ack there answers nothing, so it must not
    // keep the watchdog from ending a read that gets no data.
    if (operation == TransferOperation::read && status == DeviceStatus::ok)
        return;
    // Status 3 during a read asks for the block again, but never stacks requests up: with the
    // most already owed it changes nothing, and the watchdog stays the judge.
    if (operation == TransferOperation::read && status == DeviceStatus::noResponse && ! ledger.canRequest())
        return;
    watchdogTicks = 0;
    if (status != DeviceStatus::ok || phase != Phase::writing)
    {
        onStatus (status, statusByte);
        return;
    }

    noteFrameTime (at - askedAtUs);
    transferPos += blockSize;
    postProgress (ProgressPhase::Write, transferPos, transferTotal);
    if (transferPos >= transferTotal)
    {
        phase = Phase::idle;
        postProgress (ProgressPhase::None, 0, 0);
        onStatus (DeviceStatus::ok, 0);
        return;
    }
    loadNextBlock();
    sendBlock();
}

void TransferEngine::onStatus (DeviceStatus status, int statusByte)
{
    // Whatever brings a status here ends the block stream: a late Ack after a failure or after
    // an early completion must not send the next block of a finished transfer.
    if (phase == Phase::writing)
        phase = Phase::idle;

    switch (status)
    {
        case DeviceStatus::flashTimedOut:
            finish (Ending::flashTimedOut);
            return;
        case DeviceStatus::noResponse:
            onNoReply();
            return;
        case DeviceStatus::refused:
            // A step the device was still owing, refused: taking it as the step's completion
            // would report a failure as success. The flash test keeps its own verdict below.
            if (operation != TransferOperation::flashTest && operation != TransferOperation::none)
            {
                finish (Ending::refused, statusByte);
                return;
            }
            break;
        case DeviceStatus::ok:
            break;
    }

    switch (operation)
    {
        case TransferOperation::driverUpload:
        case TransferOperation::program:
            finish (Ending::completed);
            break;
        case TransferOperation::flashTest:
            finish (status == DeviceStatus::ok ? Ending::completed : Ending::flashTestFailed);
            break;
        case TransferOperation::erase:
            if (! eraseNextSector())
                finish (Ending::completed);
            break;
        case TransferOperation::read:
        case TransferOperation::none:
            break;
    }
}

// Silence past the watchdog's limit, or the device's own "no response".
void TransferEngine::onNoReply()
{
    watchdogTicks = 0;
    if (operation == TransferOperation::read)
    {
        if (! readOpen())
            return; // the read has ended already
        if (phase != Phase::reading)
            return; // a drain or the trailing wait counts its own silence
        if (retryCount + badBlockCount < maxReadRetries)
        {
            ++retryCount;
            if (retryCount == 1)
                host.print ("Time out, retry...1");
            else
                printf (",%d", retryCount);
            // The block may only be late: its answer can still come after this request's, and
            // the ledger keeps it owed.
            ledger.answerTimedOut();
            requestReadBlock();
            return;
        }
    }
    finish (Ending::noResponse);
}

void TransferEngine::tick()
{
    // An output that failed a write fails every later one: nothing more can be asked, and
    // waiting out the watchdog (or retrying a read ten times) would only delay the same end.
    if (outputFailed && operation != TransferOperation::none)
    {
        outputFailed = false;
        finish (Ending::noResponse);
        return;
    }
    if (phase == Phase::settling)
    {
        onSettleTick();
        return;
    }
    if (phase == Phase::draining)
    {
        onDrainTick();
        return;
    }
    if (phase == Phase::trailing)
    {
        onTrailingTick();
        return;
    }
    // A timer left running after a driver upload or a flash test watches nothing.
    if (! awaitingReply)
        return;
    // Nothing else answered the block: the Ack taken for a copy was its answer, and the link
    // only looked slow while the host or the device was busy. Timing starts again.
    const bool erasing = askedCommand == Frames::EraseSector;
    if (heldAck.has_value()
        && (erasing ? rules.heldEraseAckExpired (heldAck->arrivedUs, host.microseconds())
                    : rules.heldAckExpired (heldAck->arrivedUs, host.microseconds())))
    {
        const auto held = *heldAck;
        heldAck.reset();
        if (erasing)
            rules.forgetFastestErase();
        else
            rules.forgetFastestBlock();
        onAck (held.statusByte, held.arrivedUs);
        return;
    }
    const int limit = watchdogLimitTicks();
    if (watchdogTicks < std::max (watchdogCeiling, limit + 1) && ++watchdogTicks > limit)
        onNoReply();
}

// ===== Erase stepping ======================================================================

bool TransferEngine::eraseNextSector()
{
    if (currentSector >= endSector || currentSector < 0 || currentSector >= static_cast<int> (sectors.size()))
    {
        postProgress (ProgressPhase::None, 0, 0);
        return false;
    }

    postProgress (ProgressPhase::Erase, currentSector - firstSector, endSector - firstSector);
    const auto& sector = sectors[static_cast<std::size_t> (currentSector)];
    const int word = sector.start / 2 + erasePage * (FlashLayout::pageSize / 2);
    send (frameBuffer.data(), Frames::buildEraseSector (frameBuffer.data(), word));
    ++currentSector;
    watchdogTicks = 0;
    return true;
}
