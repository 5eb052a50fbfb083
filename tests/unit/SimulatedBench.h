#pragma once

// The update workflow against the emulated instrument in simulated time: the workflow, its
// device link and the instrument run on this thread, with every wait on one simulated clock.
// Behind the same recording view as workflowtest::Bench; the tool is started again and killed
// as a user would, the instrument and the state folder stay.

#include "WorkflowBench.h"

#include "support/SimulatedInstrument.h"

namespace workflowtest
{
class SimBench : public BenchBase<simsession::SimulatedInstrument>
{
public:
    explicit SimBench (emu::Config config = instantInstrument())
    {
        instrument = std::make_unique<simsession::SimulatedInstrument> (clock, std::move (config));
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

    // Goes before the base's members: ~SimBench has ended the workflow, whose link has timers on
    // it; the instrument only holds a reference.
    SimulatedClock clock;
};
} // namespace workflowtest
