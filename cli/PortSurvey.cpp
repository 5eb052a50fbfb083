#include "cli/PortSurvey.h"

#include "cli/MessageWait.h"

#include "devicelink/Communication.h"
#include "workflow/LinkEvent.h"

namespace cli
{
namespace
{
class OnePort final : public MidiPortSystem
{
public:
    OnePort (std::unique_ptr<MidiPortSystem> innerIn, juce::String identifierIn)
        : inner (std::move (innerIn)), identifier (std::move (identifierIn))
    {
    }

    std::vector<MidiPortInfo> getInputs() override { return keep (inner->getInputs()); }
    std::vector<MidiPortInfo> getOutputs() override { return keep (inner->getOutputs()); }
    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        return inner->openInput (port, callback);
    }
    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override { return inner->openOutput (port); }
    MidiPortOpenError getLastOpenError() const override { return inner->getLastOpenError(); }

private:
    std::vector<MidiPortInfo> keep (std::vector<MidiPortInfo> ports) const
    {
        std::erase_if (ports, [this] (const MidiPortInfo& p) { return p.identifier != identifier; });
        return ports;
    }

    std::unique_ptr<MidiPortSystem> inner;
    const juce::String identifier;
};

// One port's probe: its own device link, which reports here.
class Probe final : public juce::MessageListener
{
public:
    Probe (const PortSystemFactory& makePorts, const MidiPortInfo& port)
        : link (onePort (makePorts(), port.identifier))
    {
        answer.port = port;
        link.listener = this;
        link.rescan();
    }

    ~Probe() override { link.listener = nullptr; }

    void handleMessage (const juce::Message& message) override
    {
        const auto e = decodeLinkMessage (message);
        if (! e.has_value())
            return;
        if (e->kind == LinkEvent::Kind::connected)
        {
            answer.answered = true;
            answer.fsMode = e->fsMode;
        }
        answer.several = answer.several || e->kind == LinkEvent::Kind::severalInstruments;
        answer.denied = answer.denied || e->kind == LinkEvent::Kind::portsDenied;
    }

    PortAnswer answer;

private:
    Communication link;
};
} // namespace

std::unique_ptr<MidiPortSystem> onePort (std::unique_ptr<MidiPortSystem> inner, const juce::String& identifier)
{
    return std::make_unique<OnePort> (std::move (inner), identifier);
}

std::vector<MidiPortInfo> listPorts (const PortSystemFactory& makePorts)
{
    auto ports = makePorts();
    return ports != nullptr ? ports->getOutputs() : std::vector<MidiPortInfo> {};
}

std::vector<PortAnswer> surveyPorts (const PortSystemFactory& makePorts, int timeoutMs, const std::function<bool()>& stop)
{
    std::vector<std::unique_ptr<Probe>> probes;
    for (const auto& port : listPorts (makePorts))
        probes.push_back (std::make_unique<Probe> (makePorts, port));

    const auto settled = [&probes]
    {
        for (const auto& p : probes)
            if (! p->answer.answered && ! p->answer.denied)
                return false;
        return true;
    };

    if (! probes.empty())
        dispatchUntil (settled, timeoutMs, stop);
    // A second instrument on a port that has answered shows up in the same window.
    dispatchUntil ([] { return false; }, 20, stop);

    std::vector<PortAnswer> answers;
    for (const auto& p : probes)
        answers.push_back (p->answer);
    return answers;
}
} // namespace cli
