// The inbox from the input threads, the timer, and the transfer engine's host.
#include "devicelink/Communication.h"

#include "devicelink/FileJobs.h"
#include "devicelink/JobPaths.h"
#include "devicelink/SafeFiles.h"
#include "messages/LogPrinter.h"

namespace
{
constexpr std::uint32_t black = 0xFF000000;
constexpr std::uint32_t red = 0xFFFF0000;
constexpr std::uint32_t green = 0xFF008000;
} // namespace

Communication::Communication (std::unique_ptr<MidiPortSystem> portsIn, Clock& clockIn)
    : clock (clockIn),
      timer (clockIn.makeTimer ([this] { timerCallback(); })),
      incomingArrived (clockIn.makeTrigger ([this] { processIncoming(); })),
      ports (portsIn != nullptr ? std::move (portsIn) : createPlatformMidiPorts()),
      rawOutputs (*ports)
{
}

Communication::~Communication()
{
    stopTimer();
    listener = nullptr;
    // Inputs first: once they are gone no thread can reach the inbox any more.
    selectedInput = {};
    openInputs.clear();
    incomingArrived.reset();
    selectedOutput.reset();
    openOutputs.clear();
    readFile.reset();
}

// ===== The inbox ===========================================================================

bool Communication::Inbox::push (int portId, std::int64_t arrivedUs, const std::uint8_t* body, int size)
{
    const std::lock_guard<std::mutex> guard (lock);
    if (frames.size() >= maxFrames)
    {
        ++dropped;
        return false;
    }
    IncomingFrame frame;
    frame.portId = portId;
    frame.arrivedUs = arrivedUs;
    if (! spare.empty())
    {
        frame.body = std::move (spare.back());
        spare.pop_back();
    }
    frame.body.assign (body, body + size);
    frames.push_back (std::move (frame));
    return true;
}

void Communication::Inbox::takeAll (std::vector<IncomingFrame>& into)
{
    const std::lock_guard<std::mutex> guard (lock);
    // The buffers of the last batch come back for reuse, so a steady stream allocates nothing.
    for (auto& f : into)
        if (spare.size() < 8)
            spare.push_back (std::move (f.body));
    into.clear();
    into.swap (frames);
}

int Communication::Inbox::takeDropped()
{
    const std::lock_guard<std::mutex> guard (lock);
    return std::exchange (dropped, 0);
}

// On the input's own thread: classify and hand over, nothing else.
void Communication::InputTag::handleIncomingMidiMessage (MidiInPort*, const juce::MidiMessage& message)
{
    const auto frame = Frames::classify (message.getRawData(), message.getRawDataSize());
    if (! frame)
        return;
    if (owner.inbox.push (id, owner.microseconds(), frame->body, frame->bodySize))
        owner.incomingArrived->trigger();
}

void Communication::InputTag::lineActivity (MidiInPort*, bool frameArriving)
{
    const auto now = owner.microseconds();
    const std::lock_guard<std::mutex> guard (owner.lineLock);
    owner.lineState.portId = id;
    owner.lineState.arriving = frameArriving;
    if (frameArriving)
        owner.lineState.beganUs = now;
}

TransferHost::LineActivity Communication::lineActivity()
{
    const std::lock_guard<std::mutex> guard (lineLock);
    // Only the paired input speaks for the line; one that reports nothing keeps today's rule.
    if (lineState.portId == 0 || lineState.portId != selectedInput.id())
        return {};
    return { true, lineState.arriving, lineState.beganUs };
}

void Communication::processIncoming()
{
    inbox.takeAll (incoming);
    for (const auto& frame : incoming)
        dispatch (frame);
    if (const int dropped = inbox.takeDropped(); dropped > 0 && log != nullptr)
        log->printA ("%d incoming frames were lost.\n", dropped);
}

void Communication::dispatch (const IncomingFrame& frame)
{
    const auto* body = frame.body.data();
    const int size = static_cast<int> (frame.body.size());
    const int command = body[Frames::bodyCommand];

    if (command == Frames::ProbeReply)
    {
        onProbeReply (frame.portId, body, size);
        useFrameworkOutputs = true;
        return;
    }

    // Transaction replies count only from the paired input; an input retired a moment ago may
    // still have frames in the inbox.
    if (frame.portId == 0 || frame.portId != selectedInput.id())
        return;
    if (command == Frames::Ack)
        engine.onAck (body[Frames::bodyFirstPayload], frame.arrivedUs);
    else if (command == Frames::Data)
        engine.onReadFrame (body, size, frame.arrivedUs);
}

// ===== The timer ===========================================================================

void Communication::timerCallback()
{
    // A frame that arrived before the tick counts before it: the tick must not call silence
    // what is only waiting in the inbox.
    processIncoming();
    if (timerPeriod == 0)
        return;

    if (probing)
        endProbeWindow();
    else
        engine.tick();
}

void Communication::startTimer (int milliseconds)
{
    timerPeriod = milliseconds;
    timer->start (milliseconds);
}

void Communication::stopTimer()
{
    timerPeriod = 0;
    timer->stop();
}

// ===== TransferHost ========================================================================

TransferHost::SendResult Communication::sendFrame (const std::uint8_t* frame, int size)
{
    if (selectedOutput == nullptr)
        return SendResult::noOutput;
    return selectedOutput->sendMessage (frame, size) ? SendResult::queued : SendResult::failed;
}

void Communication::post (int code, int p1, int p2, int p3)
{
    if (listener != nullptr)
        clock.post (*listener, new CCustomMessage (code, p1, p2, p3));
}

void Communication::print (const char* text, Emphasis emphasis)
{
    if (log == nullptr)
        return;
    if (emphasis == Emphasis::none)
    {
        log->printA ("%s", text);
        return;
    }
    log->setBold (true);
    log->setTextColour (emphasis == Emphasis::success ? green : red);
    log->printA ("%s", text);
    log->setBold (false);
    log->setTextColour (black);
}

bool Communication::writeReadData (const std::uint8_t* data, int size)
{
    if (readFile == nullptr)
        return false;
    if (! readFile->write (data, static_cast<std::size_t> (size)))
        return false;
    readFileBytes += size;
    return true;
}

bool Communication::closeReadData()
{
    if (readFile == nullptr)
        return false;
    readFile->flush();
    readFile.reset();
    // Checked on the disk as well: the file must hold every byte read, whatever took them.
    return readFileTarget.getSize() == readFileBytes;
}

void Communication::setTimer (int milliseconds)
{
    if (milliseconds > 0)
        startTimer (milliseconds);
    else
        stopTimer();
}

// ===== State ===============================================================================

bool Communication::isConnected() const
{
    return selectedInput.port != nullptr && selectedOutput != nullptr && ! probing;
}

bool Communication::isFsMode() const
{
    return engine.isFsMode();
}

juce::String Communication::getSelectedOutputName() const
{
    return selectedOutput != nullptr ? selectedOutput->getName() : juce::String();
}

void Communication::logText (const char* text) const
{
    if (log != nullptr)
        log->printA ("%s", text);
}

bool Communication::refuseLongPath (const juce::String& path)
{
    return FileJobs::refuseLongPath (path, log);
}

// ===== File jobs: no device, reported like the others ======================================

void Communication::compareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath)
{
    // The bytes compared against must be the ones the journal names, like those written: the
    // checked copy in memory, not the file as it may be now.
    if (pinnedContent.count (writtenPath) != 0)
    {
        if (! loadFileBuffer (writtenPath))
        {
            post (MessageCode::JobFinished, 1, FailureReason::SourceNotOpened);
            return;
        }
        const auto result = FileJobs::compareBytes (fileBuffer.data(), fileBuffer.size(), offset, readBackPath, log);
        fileBuffer.clear();
        post (MessageCode::JobFinished, result.ok ? 0 : 1, result.ok ? 0 : result.reason);
        return;
    }
    const auto result = FileJobs::compareFiles (writtenPath, offset, readBackPath, log);
    post (MessageCode::JobFinished, result.ok ? 0 : 1, result.ok ? 0 : result.reason);
}

void Communication::readVersionInfo (const juce::String& path)
{
    // A path too long to use gives the "error" record, which the receiver reports.
    FileJobs::refuseLongPath (path, log);
    auto record = FileJobs::readVersionRecord (path);
    if (listener != nullptr)
        clock.post (*listener, new CCustomMessage (MessageCode::VersionInfo, 0, 0, 0, std::move (record)));
}

void Communication::backupLock (const juce::String& path, int mode)
{
    const auto result = FileJobs::backupLock (path, mode, log);
    post (MessageCode::JobFinished, result.ok ? 0 : 1, result.ok ? 0 : result.reason);
}
