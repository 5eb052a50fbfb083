#pragma once

#include "devicelink/MidiPorts.h"

#include <functional>
#include <memory>
#include <vector>

namespace cli
{
using PortSystemFactory = std::function<std::unique_ptr<MidiPortSystem>()>;

// The ports of `inner` whose identifier is `identifier`: the device link then probes and
// talks to that one port only.
std::unique_ptr<MidiPortSystem> onePort (std::unique_ptr<MidiPortSystem> inner, const juce::String& identifier);

// What one port answered in the survey.
struct PortAnswer
{
    MidiPortInfo port;
    bool answered = false;   // an instrument replied to the probe
    bool several = false;    // more than one replied on this port
    bool fsMode = false;
    bool denied = false;     // the port could not be opened for want of permission
};

// Probes every output port of the system on its own, all at once, with the device link's own
// probe windows, for `timeoutMs`; then closes them all. Runs the message loop meanwhile.
// `stop` is polled; when it returns true the survey ends early with what it has.
std::vector<PortAnswer> surveyPorts (const PortSystemFactory& makePorts, int timeoutMs,
                                     const std::function<bool()>& stop);

// The output ports of a fresh system, in its order.
std::vector<MidiPortInfo> listPorts (const PortSystemFactory& makePorts);
} // namespace cli
