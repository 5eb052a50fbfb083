#pragma once

#include "unit/UpdateWorkflowTestAccess.h"

// The update workflow headless, behind a view that records what it was told and answers its
// dialogs from a script; its device link talks either to nothing or to an emulated instrument
// in this process over a socket.

#include "WorkflowTestSupport.h"

#include "devicelink/MidiPorts.h"
#include "emulator/Instrument.h"
#include "workflow/UpdateWorkflow.h"
#include "workflow/WorkflowView.h"
#include "support/InstrumentAddress.h"

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

// Stands in for the main window: keeps what it shows as the window would, records every
// dialog it was asked to show, and answers the modal ones as told.
class RecordingView : public WorkflowView
{
public:
    // What a new window shows.
    void newWindow()
    {
        status = "Connecting to device...\n";
        hint = {};
        fileName = {};
        fileEnabled = executeEnabled = progressVisible = false;
        progressValue = 0.0;
        progressText = {};
        progressColour = 0;
    }

    void setStatusText (const juce::String& text) override
    {
        const auto shown = reword != nullptr ? reword (text) : text;
        if (shown != status)
            hint = {};
        status = shown;
    }
    void operationEnded (const WorkflowOutcome& outcome) override { outcomes.push_back (outcome); }
    void setStatusHint (const juce::String& text) override { hint = text; }
    void setFileButtonEnabled (bool enabled) override { fileEnabled = enabled; }
    void setExecuteButtonEnabled (bool enabled) override { executeEnabled = enabled; }
    void setFileName (const juce::String& name) override { fileName = name; }
    void setProgressVisible (bool visible) override { progressVisible = visible; }
    void setProgressValue (double value) override { progressValue = value; }
    void setProgressAppearance (const juce::String& text, std::uint32_t argb) override
    {
        progressText = text;
        progressColour = argb;
    }

    bool askConfirmation (const juce::String& title, const juce::String& question, Question kind) override
    {
        questions.add (title + ": " + question);
        kinds.push_back (kind);
        if (kind == Question::sameUnit)
            return sameUnit;
        if (kind == Question::replaceSettings)
            return replaceSettings;
        return confirm;
    }
    juce::File chooseFile (const juce::String& title, const juce::String& patterns) override
    {
        choosers.add (title + " " + patterns);
        return file;
    }
    void showMessage (const juce::String& title, const juce::String& text) override { messages.add (title + ": " + text); }
    void showWarning (const juce::String& title, const juce::String& text) override { warnings.add (title + ": " + text); }
    void showNoOutputDevice() override { ++noOutputBoxes; }
    void setScreenSaverBlocked (bool blocked) override { screenSaverBlocked = blocked; }

    // The window.
    juce::String status = "Connecting to device...\n";
    juce::String hint;
    juce::String fileName;
    bool fileEnabled = false;
    bool executeEnabled = false;
    bool progressVisible = false;
    double progressValue = 0.0;
    juce::String progressText;
    std::uint32_t progressColour = 0;
    bool screenSaverBlocked = false;

    // Shows every status in other words, as a window with other texts would.
    juce::String (*reword) (const juce::String&) = nullptr;
    // How each operation ended.
    std::vector<WorkflowOutcome> outcomes;

    // The answers the dialogs give.
    bool confirm = true;
    bool sameUnit = false;          // NO is the safe answer to the two questions that cost data
    bool replaceSettings = false;
    juce::File file;                // the chooser's answer; default File = cancelled

    // What they were asked.
    juce::StringArray choosers;     // title + patterns of each file chooser shown
    juce::StringArray questions;    // title + text of each confirmation asked
    std::vector<Question> kinds;    // and what each asked
    juce::StringArray messages;     // title + text of each message dialog
    juce::StringArray warnings;     // title + text of warnings
    int noOutputBoxes = 0;
};

// Records what each VersionInfo did to the identity read's phase.
class ObservedWorkflow : public UpdateWorkflow
{
public:
    using UpdateWorkflow::UpdateWorkflow;

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
        UpdateWorkflow::handleMessage (message);
        if (m != nullptr && m->code == MessageCode::VersionInfo)
            versionSteps.push_back ({ m->code, before, identityState().versionReadPhase });
    }

    std::vector<Step> versionSteps;
};

// What both benches share: the window's recorder, the state folder, the log, the instrument
// and the workflow, and the user's moves.
template <typename InstrumentT>
class BenchBase
{
public:
    UpdateWorkflow& w() { return *workflow; }
    UpdateIdentityState& identity() { return inside().identity; }
    UpdateWorkflowTestAccess inside() { return UpdateWorkflowTestAccess (*workflow); }
    juce::String status() const { return view.status; }

    void handle (int code, int p1 = 0, int p2 = 0, int p3 = 0, std::unique_ptr<std::u16string> data = nullptr)
    {
        const CCustomMessage message (code, p1, p2, p3, std::move (data));
        workflow->handleMessage (message);
    }

    juce::File writeUpdate (const char* name, std::size_t size, std::uint32_t seed = 2)
    {
        const auto file = state.scratch().getChildFile (name);
        std::string error;
        EXPECT_TRUE (emu::writeUpdateFile (file.getFullPathName().toStdString(), emu::Identity::defaults(), size, seed, &error))
            << error;
        return file;
    }

    // Picks `file` through File...
    void choose (const juce::File& file)
    {
        view.file = file;
        workflow->chooseUpdateFile();
    }

    // Presses Execute and answers the confirmation.
    void execute (bool yes = true)
    {
        view.confirm = yes;
        workflow->executeUpdate();
    }

    std::vector<std::uint8_t> flash (std::uint64_t address, std::size_t length) const
    {
        return instrument->readFlash (address, length);
    }

    ScopedStateFolder state;
    RecordingView view;
    LogRecorder log;
    std::unique_ptr<InstrumentT> instrument;
    std::unique_ptr<ObservedWorkflow> workflow;
};

class Bench : public BenchBase<emu::Instrument>
{
public:
    // Without an instrument the workflow's link never finds a device.
    explicit Bench (std::optional<emu::Config> config = std::nullopt)
    {
        if (config.has_value())
        {
            instrument = std::make_unique<emu::Instrument> (*config);
            instrument->generateContent();
            state.scratch().createDirectory();
            std::string error;
            EXPECT_TRUE (instrument->start (instrumentAddress (state.scratch()), &error)) << error;
            socket = instrument->socketPath();
        }
        start();
    }

    ~Bench()
    {
        stop();
        if (instrument != nullptr)
            instrument->stop();
    }

    // A new run of the program: a new workflow in a new window; the instrument, the folder of
    // the update's files and the record of dialogs stay.
    void start()
    {
        stop();
        view.newWindow();
        std::unique_ptr<MidiPortSystem> ports;
        if (instrument != nullptr)
            ports = createSocketMidiPorts (juce::StringArray (socket));
        else
            ports = std::make_unique<NoMidiPorts>();
        workflow = std::make_unique<ObservedWorkflow> (view, std::move (ports));
        workflow->logPrinter.setEditor (&log);
        workflow->start();
    }

    // The program ends (or is killed): the workflow goes, with its link.
    void stop()
    {
        if (workflow != nullptr)
            workflow->logPrinter.setEditor (nullptr);
        workflow.reset();
        log.runs.clear();
    }

    bool waitForStatus (const juce::String& text, int timeoutMs)
    {
        return pumpUntil ([&] { return status() == text; }, timeoutMs);
    }

    // Connect, detect the flash and read the identity.
    bool waitUntilReady (int timeoutMs = 30000)
    {
        return pumpUntil ([&] { return identity().versionReadPhase == 0 && status() == "Device connected."; },
                          timeoutMs);
    }

    juce::String socket;
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
