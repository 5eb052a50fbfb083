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

void Communication::rescan()
{
    scanAttempts = 0;
    useFrameworkOutputs = false;
    deniedReported = false;
    loggedOpenFailures.clear();
    scanPorts();
}

void Communication::countOpen (bool opened, const juce::String& portName)
{
    ++windowOpens;
    if (opened)
        return;

    const auto error = ports->getLastOpenError();
    if (error.permissionDenied)
        ++windowDenied;
    // Every window opens the ports again: the reason is worth one line, not a hundred.
    const auto what = error.path.isNotEmpty() ? error.path : portName;
    const auto line = error.reason.isNotEmpty() ? "Can't open " + what + ": " + error.reason + "\n"
                                                : "Can't open " + what + ".\n";
    if (loggedOpenFailures.insert (line).second)
        logText (line.toRawUTF8());
}

void Communication::dropSelectedPair()
{
    selectedInput = {};
    selectedOutput.reset();
}

Communication::OpenInput Communication::openInput (const MidiPortInfo& info)
{
    OpenInput in;
    in.tag = std::make_unique<InputTag> (*this, nextPortId++);
    in.port = ports->openInput (info, *in.tag);
    countOpen (in.port != nullptr, info.name);
    if (in.port == nullptr)
        return {};
    in.port->start();
    return in;
}

void Communication::scanPorts()
{
    deviceFound = false;
    probing = false;
    windowOpens = 0;
    windowDenied = 0;

    inputList = ports->getInputs();
    outputList = ports->getOutputs();
    inputCount = static_cast<int> (inputList.size());
    outputCount = static_cast<int> (outputList.size());

    // A connection that existed is dropped here; so is whatever a window left open. Closed
    // before anything opens again: a raw MIDI node has one input and one output, and an old
    // reader left running on a shared connection would take the new window's replies.
    dropSelectedPair();
    openInputs.clear();
    openOutputs.clear();
    candidateOutput = -1;
    candidateInput = 0;
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

    // Said at once: the user would otherwise wait for every window to pass in vain.
    if (everyOpenDenied() && ! deniedReported)
    {
        deniedReported = true;
        post (MessageCode::PortsDenied);
    }

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
        // Opened and started once, for the whole window.
        openInputs[static_cast<std::size_t> (i)] = openInput (info);
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
        countOpen (out != nullptr, info.name);
        if (out == nullptr)
            continue;
        if (out->getName().isEmpty())
            continue;

        const int size = Frames::buildProbe (probeFrame.data(), i);
        out->sendMessage (probeFrame.data(), size);

        // Outputs probed in the first window are not kept: no reply can come back to pair them.
        if (scanAttempts != 0)
            openOutputs[static_cast<std::size_t> (i)] = std::move (out);
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
        countOpen (device != nullptr, name);
        if (device == nullptr)
            continue;

        const int size = Frames::buildProbe (probeFrame.data(), d);
        RawMidiOutputs::sendLongMessage (*device, probeFrame.data(), size);
        // The raw path keeps nothing open: the device closes here, once its probe is written.
    }
}

void Communication::onProbeReply (int portId, const std::uint8_t* payload, int size)
{
    // A reply counts only while a window is open, and only through an input of this window: an
    // input closed at the end of the last one may still have frames in the inbox.
    if (! probing || portId == 0)
        return;
    bool fromThisWindow = false;
    for (const auto& in : openInputs)
        fromThisWindow = fromThisWindow || in.id() == portId;
    if (! fromThisWindow)
        return;

    const int port = payload[Frames::bodyFirstPayload];
    if (port >= outputCount)
        return;
    if (openOutputs[static_cast<std::size_t> (port)] == nullptr)
        return;

    if (! deviceFound)
    {
        candidateInput = portId;
        candidateOutput = port;
        deviceFound = true;
        // The link mode is the chosen instrument's own: a second one may answer in another.
        engine.setFsMode (size >= Frames::bodyFirstPayload + 2 && payload[Frames::bodyFirstPayload + 1] == 0x01);
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
        engine.newLink();
        logText (engine.isFsMode() ? "Device found, link mode FS.\n" : "Device found, link mode HS.\n");
        post (MessageCode::DeviceConnected, engine.isFsMode() ? 1 : 0);
        post (MessageCode::LinkState, 1);
    }
    else if (scanAttempts < lastScanAttempt)
    {
        ++scanAttempts;
        scanPorts();
    }
    else
    {
        post (everyOpenDenied() ? MessageCode::PortsDenied : MessageCode::DeviceNotFound);
    }
}

void Communication::closeUnusedPorts()
{
    probing = false;

    for (auto& in : openInputs)
        if (deviceFound && in.port != nullptr && in.id() == candidateInput)
            selectedInput = std::move (in);
    openInputs.clear();

    if (deviceFound && candidateOutput >= 0 && candidateOutput < static_cast<int> (openOutputs.size()))
        selectedOutput = std::move (openOutputs[static_cast<std::size_t> (candidateOutput)]);
    openOutputs.clear();

    if (selectedInput.port == nullptr || selectedOutput == nullptr)
    {
        deviceFound = false;
        dropSelectedPair();
    }
}
