#pragma once

#include "workflow/LinkEvent.h"
#include "workflow/WorkflowOutcome.h"

#include <juce_core/juce_core.h>

#include <cstdint>

// Everything the update workflow shows or asks: the main window implements it, tests put a
// recorder in its place. Called on the message thread only.
class WorkflowView
{
public:
    // What a confirmation asks. The window asks them all alike; the terminal tool answers each
    // kind from an option of its own, so that one --yes never takes a choice that costs data.
    enum class Question
    {
        update,            // the update itself
        unreadableIdentity,// complete an interrupted update on an identity that can't be read
        sameUnit,          // the area can't tell whether this unit's update was interrupted
        replaceSettings,   // the unit's settings are gone: take the built-in ones
    };

    virtual ~WorkflowView() = default;

    virtual void setStatusText (const juce::String& text) = 0;
    // What the user can do next, shown under the status; empty hides it. A status other than the
    // one shown clears it.
    virtual void setStatusHint (const juce::String& text) = 0;
    virtual void setFileButtonEnabled (bool enabled) = 0;
    virtual void setExecuteButtonEnabled (bool enabled) = 0;
    // The chosen update file's name (without its folder).
    virtual void setFileName (const juce::String& name) = 0;

    virtual void setProgressVisible (bool visible) = 0;
    // 0..1 of the whole bar.
    virtual void setProgressValue (double value) = 0;
    // The text the bar shows with its percentage, and the colour of its filled part (ARGB).
    virtual void setProgressAppearance (const juce::String& text, std::uint32_t argb) = 0;

    // Modal: true for YES.
    virtual bool askConfirmation (const juce::String& title, const juce::String& question, Question kind) = 0;
    // Modal: the chosen file, or a default File when cancelled.
    virtual juce::File chooseFile (const juce::String& title, const juce::String& patterns) = 0;
    // Modal: returns once the message has been closed.
    virtual void showMessage (const juce::String& title, const juce::String& text) = 0;
    // Not modal: the two-instruments warning.
    virtual void showWarning (const juce::String& title, const juce::String& text) = 0;
    // Not modal: a frame had no output to go to.
    virtual void showNoOutputDevice() = 0;

    virtual void setScreenSaverBlocked (bool blocked) = 0;

    // Every operation ends with one outcome, once its status (if any) has been shown.
    virtual void operationEnded (const WorkflowOutcome&) {}
    // Each message of the device link, decoded, before the workflow acts on it.
    virtual void linkEvent (const LinkEvent&) {}
};
