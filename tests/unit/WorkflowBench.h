#pragma once

// A main component with its workflow, headless: modal dialogs are answered through the
// workflow's hooks, and the device link talks either to nothing or to an emulated instrument
// in this process over a socket.

#include "WorkflowTestSupport.h"

#include "devicelink/MidiPorts.h"
#include "emulator/Instrument.h"
#include "ui/MainComponent.h"
#include "workflow/IdentityState.h"
#include "workflow/WorkflowHooks.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace workflowtest
{
namespace emu = talvek::emu;

// A port system with no ports: the probe finds nothing and nothing is ever sent.
class NoMidiPorts : public MidiPortSystem
{
public:
    std::vector<MidiPortInfo> getInputs() override { return {}; }
    std::vector<MidiPortInfo> getOutputs() override { return {}; }
    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo&, MidiInPortCallback&) override { return nullptr; }
    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo&) override { return nullptr; }
};

// Records what each VersionInfo did to the identity read's phase.
class ObservedComponent : public MainComponent
{
public:
    struct Step
    {
        int code;
        int phaseBefore;
        int phaseAfter;
    };

    void handleMessage (const juce::Message& message) override
    {
        const auto* m = dynamic_cast<const CCustomMessage*> (&message);
        const int before = identityState().versionReadPhase;
        MainComponent::handleMessage (message);
        if (m != nullptr && m->code == MessageCode::VersionInfo)
            versionSteps.push_back ({ m->code, before, identityState().versionReadPhase });
    }

    std::vector<Step> versionSteps;
};

// The answers the dialogs give, and what they were asked.
struct DialogScript
{
    bool confirm = true;
    juce::File file;                // the chooser's answer; default File = cancelled
    juce::StringArray choosers;     // title + patterns of each file chooser shown
    juce::StringArray questions;    // title + text of each confirmation asked
    juce::StringArray messages;     // title + text of each message dialog
    juce::StringArray warnings;     // title + text of warnings
};

class Bench
{
public:
    // Without an instrument the component's link never finds a device.
    explicit Bench (std::optional<emu::Config> config = std::nullopt)
    {
        resetIdentityState();
        auto& hooks = workflowHooks();
        hooks.confirmUpdate = [this] (MainComponent&, const juce::String& title, const juce::String& text)
        {
            dialogs.questions.add (title + ": " + text);
            return dialogs.confirm;
        };
        hooks.chooseFile = [this] (MainComponent&, const juce::String& title, const juce::String& patterns)
        {
            dialogs.choosers.add (title + " " + patterns);
            return dialogs.file;
        };
        hooks.showMessage = [this] (MainComponent&, const juce::String& title, const juce::String& text)
        { dialogs.messages.add (title + ": " + text); };
        hooks.showWarning = [this] (const juce::String& title, const juce::String& text)
        { dialogs.warnings.add (title + ": " + text); };

        if (config.has_value())
        {
            instrument = std::make_unique<emu::Instrument> (*config);
            instrument->generateContent();
            socket = state.scratch().getChildFile ("instrument.sock").getFullPathName();
            state.scratch().createDirectory();
            std::string error;
            EXPECT_TRUE (instrument->start (socket.toStdString(), &error)) << error;
            const auto path = socket;
            hooks.makePorts = [path] { return createSocketMidiPorts (juce::StringArray (path)); };
        }
        else
        {
            hooks.makePorts = [] { return std::make_unique<NoMidiPorts>(); };
        }
        start();
    }

    ~Bench()
    {
        stop();
        if (instrument != nullptr)
            instrument->stop();
        workflowHooks() = {};
        resetIdentityState();
    }

    // A new run of the program: a new main component and fresh process-wide state; the
    // instrument and the folder of the update's files stay.
    void start()
    {
        stop();
        resetIdentityState();
        component = std::make_unique<ObservedComponent>();
        component->logPrinter.setEditor (&log);
    }

    // The program ends (or is killed): the component goes, with its link.
    void stop()
    {
        if (component != nullptr)
            component->logPrinter.setEditor (nullptr);
        component.reset();
        log.runs.clear();
    }

    MainComponent& c() { return *component; }
    juce::String status() { return component->statusLabel->getText(); }

    bool waitForStatus (const juce::String& text, int timeoutMs)
    {
        return pumpUntil ([&] { return status() == text; }, timeoutMs);
    }

    // Connect, detect the flash and read the identity.
    bool waitUntilReady (int timeoutMs = 30000)
    {
        return pumpUntil ([&] { return identityState().versionReadPhase == 0 && status() == "Device connected."; },
                          timeoutMs);
    }

    void handle (int code, int p1 = 0, int p2 = 0, int p3 = 0, std::unique_ptr<std::u16string> data = nullptr)
    {
        const CCustomMessage message (code, p1, p2, p3, std::move (data));
        component->handleMessage (message);
    }

    juce::File writeUpdate (const char* name, std::size_t size, std::uint32_t seed = 2)
    {
        const auto file = state.scratch().getChildFile (name);
        std::string error;
        EXPECT_TRUE (emu::writeUpdateFile (file.getFullPathName().toStdString(), emu::Identity::defaults(), size, seed, &error))
            << error;
        return file;
    }

    // Picks `file` through File... and presses Execute with the given answer.
    void choose (const juce::File& file)
    {
        dialogs.file = file;
        component->buttonClicked (component->fileButton.get());
    }

    void execute (bool yes = true)
    {
        dialogs.confirm = yes;
        component->buttonClicked (component->executeButton.get());
    }

    std::vector<std::uint8_t> flash (std::uint64_t address, std::size_t length) const
    {
        return instrument->readFlash (address, length);
    }

    ScopedStateFolder state;
    DialogScript dialogs;
    LogRecorder log;
    std::unique_ptr<emu::Instrument> instrument;
    juce::String socket;
    std::unique_ptr<ObservedComponent> component;
};

inline emu::Config instantInstrument (emu::FlashChip chip = emu::FlashChip::S29GL512_S)
{
    emu::Config config;
    config.chip = chip;
    config.timing = emu::Timing::instant();
    return config;
}

inline std::unique_ptr<std::u16string> record (const std::vector<std::uint8_t>& bytes)
{
    auto r = std::make_unique<std::u16string> (143, u'\0');
    for (std::size_t i = 0; i < bytes.size() && i < 12; ++i)
        (*r)[i] = bytes[i];
    return r;
}

inline std::unique_ptr<std::u16string> errorRecord()
{
    auto r = std::make_unique<std::u16string> (143, u'\0');
    r->replace (0, 5, u"error");
    return r;
}

inline std::vector<std::uint8_t> readAll (const juce::File& file)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    const auto* p = static_cast<const std::uint8_t*> (block.getData());
    return std::vector<std::uint8_t> (p, p + block.getSize());
}
} // namespace workflowtest
