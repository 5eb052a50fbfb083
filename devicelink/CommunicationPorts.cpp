// Port discovery, the probe windows, pairing and the link mode.

#include "devicelink/Communication.h"

namespace
{
constexpr int probeWindowMs = 1000;
constexpr int lastScanAttempt = 100;   // windows 0..100: 101 in all
constexpr int maxProbePort = 0x7F;     // the probe carries the output index in one data byte
} // namespace

bool Communication::isExcludedPort (const juce::String& name)
{
    return name.startsWithIgnoreCase ("Creative Sound Blaster");
}

void Communication::retire (std::unique_ptr<MidiInPort> port)
{
    if (port != nullptr)
        retiredInputs.push_back (std::move (port));
}

void Communication::retire (std::unique_ptr<MidiOutPort> port)
{
    if (port != nullptr)
        retiredOutputs.push_back (std::move (port));
}

void Communication::destroyRetiredPorts()
{
    // Only the outermost entry point on the message thread may let go of the lock; elsewhere
    // the ports wait for the end of that entry point.
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    if (entryDepth != 1 || mm == nullptr || ! mm->isThisTheMessageThread())
        return;

    std::vector<std::unique_ptr<MidiInPort>> inputs;
    std::vector<std::unique_ptr<MidiOutPort>> outputs;
    inputs.swap (retiredInputs);
    outputs.swap (retiredOutputs);
    if (inputs.empty() && outputs.empty())
        return;

    // Nothing is selected, open or probing now, so a callback that gets in meanwhile finds
    // nothing to act on.
    const juce::ScopedUnlock unlocked (lock);
    inputs.clear();
    outputs.clear();
}

void Communication::rescan()
{
    EntryLock guard (*this);
    scanAttempts = 0;
    useFrameworkOutputs = false;
    scanPorts();
}

void Communication::dropSelectedPair()
{
    selectedInput = nullptr;
    selectedOutput = nullptr;
    retire (std::move (selectedInputOwner));
    retire (std::move (selectedOutputOwner));
}

void Communication::scanPorts()
{
    deviceFound = false;
    probing = false;

    inputList = ports->getInputs();
    outputList = ports->getOutputs();
    inputCount = static_cast<int> (inputList.size());
    outputCount = static_cast<int> (outputList.size());

    // A connection that existed is dropped here; so is whatever a window left open.
    dropSelectedPair();
    for (auto& p : openInputs)
        retire (std::move (p));
    for (auto& p : openOutputs)
        retire (std::move (p));
    openInputs.clear();
    openOutputs.clear();
    // Closed before anything opens again: a raw MIDI node has one input and one output, and an
    // old reader left running on a shared connection would take the new window's replies.
    destroyRetiredPorts();
    openOutputs.resize (static_cast<std::size_t> (outputCount));

    post (MessageCode::LinkState, 0);
    post (MessageCode::ScanStarted);

    // In the first window after rescan no input is open, so its probes cannot be answered.
    if (scanAttempts != 0)
        openProbeInputs();

    probing = true;
    if (useFrameworkOutputs)
        sendFrameworkProbes();
    else
        sendRawProbes();

    startTimer (probeWindowMs);
}

void Communication::openProbeInputs()
{
    openInputs.resize (static_cast<std::size_t> (inputCount));
    for (int i = 0; i < inputCount; ++i)
    {
        const auto& info = inputList[static_cast<std::size_t> (i)];
        if (isExcludedPort (info.name))
            continue;
        // Opened and started once. (Closing a freshly opened input again at once, as some
        // drivers were once treated, would mean joining its reader under the lock.)
        if (auto in = ports->openInput (info, *this))
        {
            in->start();
            openInputs[static_cast<std::size_t> (i)] = std::move (in);
        }
    }
}

void Communication::sendFrameworkProbes()
{
    for (int i = 0; i < outputCount; ++i)
    {
        const auto& info = outputList[static_cast<std::size_t> (i)];
        // An index above 127 cannot be carried by the probe, so a reply could not name it.
        if (i > maxProbePort || isExcludedPort (info.name))
            continue;

        auto out = ports->openOutput (info);
        if (out == nullptr)
            continue;
        if (out->getName().isEmpty())
        {
            retire (std::move (out));
            continue;
        }

        const int size = Frames::buildProbe (frameBuffer.data(), i);
        out->sendMessage (frameBuffer.data(), size);

        // Outputs probed in the first window are not kept: no reply can come back to pair them.
        if (scanAttempts != 0)
            openOutputs[static_cast<std::size_t> (i)] = std::move (out);
        else
            retire (std::move (out));
    }
}

void Communication::sendRawProbes()
{
    const int count = rawOutputs.getNumDevices();
    for (int d = 0; d < count && d <= maxProbePort; ++d)
    {
        // A device whose name cannot be read is still probed; an excluded one is not even opened.
        juce::String name;
        if (rawOutputs.getName (d, name) && isExcludedPort (name))
            continue;

        auto device = rawOutputs.open (d);
        if (device == nullptr)
            continue;

        const int size = Frames::buildProbe (frameBuffer.data(), d);
        RawMidiOutputs::sendLongMessage (*device, frameBuffer.data(), size);
        retire (std::move (device)); // the raw path keeps nothing open
    }
}

bool Communication::isProbeInput (const MidiInPort* port) const
{
    if (port == nullptr)
        return false;
    for (const auto& p : openInputs)
        if (p.get() == port)
            return true;
    return false;
}

void Communication::onProbeReply (MidiInPort* source, const std::uint8_t* payload, int size)
{
    // A reply counts only while a window is open, and only through an input of this window: an
    // input retired at the end of the last one may still be delivering.
    if (! probing || ! isProbeInput (source))
        return;

    const int port = payload[Frames::bodyFirstPayload];
    MidiOutPort* candidate = nullptr;
    if (port < outputCount)
    {
        candidate = openOutputs[static_cast<std::size_t> (port)].get();
        fsMode = size >= Frames::bodyFirstPayload + 2 && payload[Frames::bodyFirstPayload + 1] == 0x01;
    }

    if (candidate == nullptr)
        return;

    if (! deviceFound)
    {
        selectedInput = source;
        selectedOutput = candidate;
        deviceFound = true;
    }
    else
    {
        post (MessageCode::MultipleDevices);
    }
}

void Communication::endProbeWindow()
{
    stopTimer();
    closeUnusedPorts();

    if (deviceFound)
    {
        logText (fsMode ? "Device found, link mode FS.\n" : "Device found, link mode HS.\n");
        post (MessageCode::DeviceConnected, fsMode ? 1 : 0);
        post (MessageCode::LinkState, 1);
    }
    else if (scanAttempts < lastScanAttempt)
    {
        ++scanAttempts;
        scanPorts();
    }
    else
    {
        post (MessageCode::DeviceNotFound);
    }
}

void Communication::closeUnusedPorts()
{
    probing = false;

    for (auto& p : openInputs)
    {
        if (p == nullptr)
            continue;
        if (p.get() == selectedInput)
            selectedInputOwner = std::move (p);
        else
            retire (std::move (p));
    }
    openInputs.clear();

    for (auto& p : openOutputs)
    {
        if (p == nullptr)
            continue;
        if (p.get() == selectedOutput)
            selectedOutputOwner = std::move (p);
        else
            retire (std::move (p));
    }
    openOutputs.clear();
}
