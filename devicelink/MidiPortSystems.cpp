#include "devicelink/MidiPorts.h"
#include "devicelink/OutputWriter.h"

#include <juce_audio_devices/juce_audio_devices.h>

namespace
{
// --- The framework's MIDI devices ---------------------------------------------------------

class JuceInPort final : public MidiInPort, private juce::MidiInputCallback
{
public:
    JuceInPort (const MidiPortInfo& port, MidiInPortCallback& callbackIn)
        : callback (callbackIn), input (juce::MidiInput::openDevice (port.identifier, this))
    {
    }

    bool isOpen() const { return input != nullptr; }
    juce::String getName() const override { return input->getName(); }
    void start() override { input->start(); }
    void stop() override { input->stop(); }
    ~JuceInPort() override { input.reset(); }

private:
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
    {
        callback.handleIncomingMidiMessage (this, message);
    }

    MidiInPortCallback& callback;
    std::unique_ptr<juce::MidiInput> input;
};

class JuceOutPort final : public MidiOutPort
{
public:
    explicit JuceOutPort (std::unique_ptr<juce::MidiOutput> outputIn) : output (std::move (outputIn)) {}

    juce::String getName() const override { return output->getName(); }

    bool sendMessage (const std::uint8_t* data, int size) override
    {
        // The framework reports no result of a send.
        output->sendMessageNow (juce::MidiMessage (data, size, 0.0));
        return true;
    }

private:
    std::unique_ptr<juce::MidiOutput> output;
};

class JuceMidiPorts final : public MidiPortSystem
{
public:
    std::vector<MidiPortInfo> getInputs() override { return convert (juce::MidiInput::getAvailableDevices()); }
    std::vector<MidiPortInfo> getOutputs() override { return convert (juce::MidiOutput::getAvailableDevices()); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        auto in = std::make_unique<JuceInPort> (port, callback);
        return in->isOpen() ? std::move (in) : nullptr;
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        if (auto out = juce::MidiOutput::openDevice (port.identifier))
            return std::make_unique<JuceOutPort> (std::move (out));
        return nullptr;
    }

private:
    static std::vector<MidiPortInfo> convert (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        std::vector<MidiPortInfo> result;
        for (const auto& d : devices)
            result.push_back ({ d.name, d.identifier });
        return result;
    }
};

// --- Several systems as one list ----------------------------------------------------------
// Identifiers get the system's index in front, so that an open goes to the system that listed it.

class CompositeMidiPorts final : public MidiPortSystem
{
public:
    explicit CompositeMidiPorts (std::vector<std::unique_ptr<MidiPortSystem>> systemsIn)
        : systems (std::move (systemsIn))
    {
    }

    std::vector<MidiPortInfo> getInputs() override { return list (true); }
    std::vector<MidiPortInfo> getOutputs() override { return list (false); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        MidiPortInfo inner;
        lastOpened = find (port, inner);
        return lastOpened != nullptr ? lastOpened->openInput (inner, callback) : nullptr;
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        MidiPortInfo inner;
        lastOpened = find (port, inner);
        return lastOpened != nullptr ? lastOpened->openOutput (inner) : nullptr;
    }

    MidiPortOpenError getLastOpenError() const override
    {
        return lastOpened != nullptr ? lastOpened->getLastOpenError() : MidiPortOpenError {};
    }

private:
    std::vector<MidiPortInfo> list (bool inputs)
    {
        std::vector<MidiPortInfo> result;
        for (std::size_t k = 0; k < systems.size(); ++k)
            for (auto& p : inputs ? systems[k]->getInputs() : systems[k]->getOutputs())
                result.push_back ({ p.name, juce::String (k) + ":" + p.identifier });
        return result;
    }

    MidiPortSystem* find (const MidiPortInfo& port, MidiPortInfo& inner)
    {
        const int colon = port.identifier.indexOfChar (':');
        if (colon <= 0)
            return nullptr;
        const int k = port.identifier.substring (0, colon).getIntValue();
        if (k < 0 || k >= static_cast<int> (systems.size()))
            return nullptr;
        inner = { port.name, port.identifier.substring (colon + 1) };
        return systems[static_cast<std::size_t> (k)].get();
    }

    std::vector<std::unique_ptr<MidiPortSystem>> systems;
    MidiPortSystem* lastOpened = nullptr; // the system asked by the last open
};
} // namespace

std::unique_ptr<MidiPortSystem> createJuceMidiPorts()
{
    return withQueuedOutputs (std::make_unique<JuceMidiPorts>());
}

std::unique_ptr<MidiPortSystem> createCompositeMidiPorts (std::vector<std::unique_ptr<MidiPortSystem>> systems)
{
    std::erase (systems, nullptr);
    return std::make_unique<CompositeMidiPorts> (std::move (systems));
}

std::unique_ptr<MidiPortSystem> createPlatformMidiPorts()
{
    std::vector<std::unique_ptr<MidiPortSystem>> systems;
   #if JUCE_LINUX
    // Raw nodes only: AlsaRawMidiPorts.cpp says why the sequencer ports are not listed too.
    systems.push_back (createAlsaRawMidiPorts());
   #else
    systems.push_back (createJuceMidiPorts());
   #endif
    systems.push_back (createSocketMidiPorts());
    return createCompositeMidiPorts (std::move (systems));
}

// --- The raw probe path -------------------------------------------------------------------

int RawMidiOutputs::getNumDevices()
{
    list = ports.getOutputs();
    return static_cast<int> (list.size());
}

std::unique_ptr<MidiOutPort> RawMidiOutputs::open (int deviceNumber)
{
    if (deviceNumber < 0 || deviceNumber >= static_cast<int> (list.size()))
        return nullptr;
    return ports.openOutput (list[static_cast<std::size_t> (deviceNumber)]);
}

bool RawMidiOutputs::getName (int deviceNumber, juce::String& name) const
{
    if (deviceNumber < 0 || deviceNumber >= static_cast<int> (list.size()))
        return false;
    name = list[static_cast<std::size_t> (deviceNumber)].name;
    return true;
}

bool RawMidiOutputs::sendLongMessage (MidiOutPort& device, const std::uint8_t* data, int size)
{
    return device.sendMessage (data, size);
}
