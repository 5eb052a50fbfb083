#pragma once

// The terminal as a view onto the update workflow, and what it needs to show progress and the
// link's log.

#include "cli/Reporter.h"
#include "messages/CustomMessage.h"
#include "workflow/LinkEvent.h"
#include "workflow/Recovery.h"
#include "workflow/UpdateHistory.h"
#include "workflow/UpdateWorkflow.h"
#include "workflow/WorkflowView.h"

#include <algorithm>
#include <deque>
#include <unistd.h>

namespace cli
{
// Bytes moved over the cable per second, over the last few seconds, from the link's own
// progress counts.
class RateMeter
{
public:
    void reset()
    {
        samples.clear();
        total = 0;
        totalAtBarStart = 0;
        lastInJob = 0;
    }

    void bytesSoFar (int inThisJob)
    {
        // A count that falls is a new job's.
        total += inThisJob >= lastInJob ? inThisJob - lastInJob : inThisJob;
        lastInJob = inThisJob;
        const auto now = juce::Time::getMillisecondCounterHiRes();
        samples.push_back ({ now, total });
        while (samples.size() > 2 && now - samples.front().ms > windowMs)
            samples.pop_front();
    }

    double bytesPerSecond() const
    {
        if (samples.size() < 2 || samples.back().ms - samples.front().ms < 200.0)
            return -1.0;
        return double (samples.back().bytes - samples.front().bytes) * 1000.0 / (samples.back().ms - samples.front().ms);
    }

    // The bar starts again from 0: the bytes it stands for are counted from here.
    void barStarted() { totalAtBarStart = total; }

    // The bytes still to move at the measured rate. The bytes the bar has shown so far tell how
    // many the rest of it stands for; the time since the start would count the driver upload,
    // the erase and the cable's first slow blocks in, and guess far too long early on.
    double secondsLeft (double fraction) const
    {
        const auto rate = bytesPerSecond();
        const auto moved = double (total - totalAtBarStart);
        if (rate <= 0.0 || fraction < 0.01 || moved <= 0.0)
            return -1.0;
        return moved * (1.0 - fraction) / fraction / rate;
    }

private:
    static constexpr double windowMs = 3000.0;
    struct Sample
    {
        double ms;
        std::int64_t bytes;
    };
    std::deque<Sample> samples;
    std::int64_t total = 0;
    std::int64_t totalAtBarStart = 0;
    int lastInJob = 0;
};

// The terminal as the workflow's view: statuses and messages become events, the bar the
// progress line, the questions are asked on the terminal or answered by --yes.
class TerminalView final : public WorkflowView
{
public:
    enum class Answer
    {
        yes,
        askTerminal,
        checkOnly, // nothing is written: yes, and update asks again
    };

    TerminalView (Reporter& reporterIn, RateMeter& meterIn) : reporter (reporterIn), meter (meterIn) {}

    void setStatusText (const juce::String& text) override
    {
        noteHistory (history.statusShown (text));
        const auto trimmed = text.trim();
        if (trimmed == status)
            return;
        status = trimmed;
        hint = {};
        reporter.event (status);
    }
    void setStatusHint (const juce::String& text) override
    {
        if (text.isNotEmpty() && text != hint)
            reporter.event (text);
        hint = text;
    }
    void setFileButtonEnabled (bool) override {}
    void setExecuteButtonEnabled (bool) override {}
    void setFileName (const juce::String&) override {}
    void setProgressVisible (bool visible) override
    {
        if (visible && ! progressShown)
            shownFraction = 0.0;
        if (! visible && progressShown)
            reporter.finishProgress (shownFraction);
        progressShown = visible;
        if (! visible)
            reporter.endProgress();
    }
    void setProgressValue (double value) override
    {
        // The bar moves during detection and the identity read too, where the window hides it.
        // Within a job the link may report a count that steps back (a block sent again); the
        // terminal shows how far the whole has come.
        if (! progressShown || holdBar)
            return;
        shownFraction = std::max (shownFraction, value);
        reporter.progress (shownFraction, meter.bytesPerSecond(), meter.secondsLeft (shownFraction));
    }
    void setProgressAppearance (const juce::String&, std::uint32_t) override {}
    void barFull()
    {
        if (progressShown && ! holdBar)
            shownFraction = 1.0;
    }
    void startJob (bool fromZero, bool wholeBar)
    {
        if (fromZero)
        {
            shownFraction = 0.0;
            meter.barStarted();
        }
        holdBar = wholeBar;
    }

    bool askConfirmation (const juce::String&, const juce::String& question, Question kind) override
    {
        const auto text = question.replace ("\n", "").replace ("  ", " ").trim();
        ++questions;
        // The choices that cost data are taken only by options named for them.
        if (kind == Question::sameUnit || kind == Question::replaceSettings)
        {
            const bool given = kind == Question::sameUnit ? sameUnit : replaceSettings;
            const char* option = kind == Question::sameUnit ? "--same-unit" : "--replace-settings";
            if (given)
            {
                reporter.event (text + " yes (" + option + ")");
                return true;
            }
            if (::isatty (STDIN_FILENO) == 0 || reporter.getSettings().json)
            {
                optionNeeded = option;
                reporter.event (text + " no (only " + juce::String (option) + " answers yes without a terminal)");
                return false;
            }
            const bool yes = reporter.ask (text);
            answeredNo = answeredNo || ! yes;
            return yes;
        }
        if (answer == Answer::yes)
        {
            reporter.event (text + " yes (--yes)");
            return true;
        }
        if (answer == Answer::checkOnly)
        {
            reporter.event (text + " (update asks this)");
            return true;
        }
        if (::isatty (STDIN_FILENO) == 0 || reporter.getSettings().json)
        {
            unanswerable = true;
            reporter.event (text);
            return false;
        }
        const bool yes = reporter.ask (text);
        answeredNo = answeredNo || ! yes;
        return yes;
    }
    juce::File chooseFile (const juce::String&, const juce::String&) override { return file; }
    void showMessage (const juce::String&, const juce::String& text) override
    {
        lastMessage = text.trim();
        reporter.event (lastMessage);
    }
    void showWarning (const juce::String&, const juce::String& text) override
    {
        // The only warning is the two instruments one.
        severalInstruments = true;
        reporter.event (text.upToFirstOccurrenceOf ("\n", false, false));
    }
    void showNoOutputDevice() override { reporter.event ("No out device"); }
    // The terminal has no screen saver; the workflow blocks it while an update runs, which is
    // what the history records.
    void setScreenSaverBlocked (bool blocked) override
    {
        if (workflow != nullptr)
            noteHistory (history.screenSaverBlocked (*workflow, blocked));
    }
    // The bytes the link moves feed the rate; a job whose share starts at 0 starts the bar
    // again, and the driver upload before a script fills the whole bar on its own: the terminal
    // shows the script's bar only.
    void linkEvent (const LinkEvent& e) override
    {
        if (e.kind == LinkEvent::Kind::progress)
        {
            if (e.phase == ProgressPhase::Write || e.phase == ProgressPhase::Read)
                meter.bytesSoFar (e.done);
            if (e.phase == ProgressPhase::Range)
                startJob (e.done == 0, e.done == 0 && e.total == 1000);
        }
        // The last job of the script went through: the bar is full, although the jobs' own
        // reports end a little short of it.
        if (e.kind == LinkEvent::Kind::jobFinished && ! e.failed && workflow != nullptr && workflow->scriptAtEnd())
            barFull();
    }
    void noteHistory (const juce::Result& written)
    {
        if (written.failed())
            reporter.warning ("update history: " + written.getErrorMessage());
    }

    Reporter& reporter;
    RateMeter& meter;
    const UpdateWorkflow* workflow = nullptr; // the workflow shown here
    UpdateHistoryRecorder history { Recovery::folderLocation().getChildFile (UpdateHistory::fileName) };
    juce::String status;
    juce::String hint;
    juce::String lastMessage;
    juce::File file;
    Answer answer = Answer::askTerminal;
    int questions = 0;
    bool answeredNo = false;
    bool unanswerable = false; // asked with no terminal to ask on
    bool sameUnit = false;         // --same-unit
    bool replaceSettings = false;  // --replace-settings
    juce::String optionNeeded;     // a choice that costs data was refused for want of its option
    bool severalInstruments = false;
    bool progressShown = false;
    double shownFraction = 0.0;
    bool holdBar = false;
};

// The link's log lines, which the window shows in its log view.
class LogLines final : public juce::MessageListener
{
public:
    explicit LogLines (Reporter& r) : reporter (r) {}
    void handleMessage (const juce::Message& message) override
    {
        if (const auto e = decodeLinkMessage (message); e.has_value() && e->kind == LinkEvent::Kind::logText)
            reporter.log (e->text);
    }

private:
    Reporter& reporter;
};
} // namespace cli
