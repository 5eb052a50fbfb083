#pragma once

// The update workflow against the emulated instrument in simulated time: the workflow, its
// device link and the instrument run on this thread, with every wait on one simulated clock.
// Behind the same recording view as workflowtest::Bench; the tool is started again and killed
// as a user would, the instrument and the state folder stay.

#include "WorkflowBench.h"

#include "support/SimulatedInstrument.h"

namespace workflowtest
{
class SimBench
{
public:
    explicit SimBench (emu::Config config = instantInstrument())
        : instrument (std::make_unique<simsession::SimulatedInstrument> (clock, std::move (config)))
    {
        instrument->generateContent();
        state.scratch().createDirectory();
        start();
    }

    ~SimBench() { stop(); }

    // A new run of the program.
    void start()
    {
        stop();
        view.newWindow();
        workflow = std::make_unique<ObservedWorkflow> (view, instrument->ports(), clock);
        workflow->logPrinter.setEditor (&log, &clock);
        workflow->start();
    }

    // The program ends or is killed: whatever it had under way goes with it.
    void stop()
    {
        if (workflow != nullptr)
            workflow->logPrinter.setEditor (nullptr);
        workflow.reset();
        log.runs.clear();
    }

    // Runs the session until `done` holds or `limitMs` of simulated time have passed.
    bool runUntil (const std::function<bool()>& done, int limitMs)
    {
        return clock.runUntil (done, std::int64_t (limitMs) * 1000);
    }
    void runFor (int ms) { clock.runFor (std::int64_t (ms) * 1000); }
    // Carries out whatever is due now: every message posted so far has arrived.
    void settle() { clock.runFor (0); }

    bool waitForStatus (const juce::String& text, int limitMs)
    {
        return runUntil ([&] { return status() == text; }, limitMs);
    }
    bool waitUntilReady (int limitMs = 30000)
    {
        return runUntil ([&] { return identity().versionReadPhase == 0 && status() == "Device connected."; }, limitMs);
    }

    UpdateWorkflow& w() { return *workflow; }
    UpdateIdentityState& identity() { return inside().identity; }
    UpdateWorkflowTestAccess inside() { return UpdateWorkflowTestAccess (*workflow); }

    void handle (int code, int p1 = 0, int p2 = 0, int p3 = 0, std::unique_ptr<std::u16string> data = nullptr)
    {
        const CCustomMessage message (code, p1, p2, p3, std::move (data));
        workflow->handleMessage (message);
    }
    juce::String status() const { return view.status; }

    juce::File writeUpdate (const char* name, std::size_t size, std::uint32_t seed = 2)
    {
        const auto file = state.scratch().getChildFile (name);
        std::string error;
        EXPECT_TRUE (emu::writeUpdateFile (file.getFullPathName().toStdString(), emu::Identity::defaults(), size, seed, &error))
            << error;
        return file;
    }

    void choose (const juce::File& file)
    {
        view.file = file;
        workflow->chooseUpdateFile();
    }

    void execute (bool yes = true)
    {
        view.confirm = yes;
        workflow->executeUpdate();
    }

    std::vector<std::uint8_t> flash (std::uint64_t address, std::size_t length) const
    {
        return instrument->readFlash (address, length);
    }

    SimulatedClock clock;
    ScopedStateFolder state;
    RecordingView view;
    LogRecorder log;
    std::unique_ptr<simsession::SimulatedInstrument> instrument;
    std::unique_ptr<ObservedWorkflow> workflow;
};
} // namespace workflowtest
