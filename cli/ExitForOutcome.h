#pragma once

#include "cli/ExitCode.h"
#include "workflow/WorkflowOutcome.h"

#include <juce_core/juce_core.h>

namespace cli
{
// The exit code of each way a workflow operation can end. It never looks at a status text.
inline Exit exitFor (Ending ending)
{
    switch (ending)
    {
        case Ending::completed: return Exit::ok;
        case Ending::fileRefused: return Exit::fileRefused;
        case Ending::deviceFailure: return Exit::deviceFailure;
        case Ending::disconnected: return Exit::disconnected;
        case Ending::pendingUpdate: return Exit::pendingUpdate;
        case Ending::localFiles: return Exit::localFiles;
        case Ending::cancelled: return Exit::cancelled;
        case Ending::notFound: return Exit::noInstrument;
    }
    // Never a success for an ending not listed.
    return Exit::deviceFailure;
}

// What the result line says about an operation's end: the window's status for it, or, where
// the window shows none, the terminal's own words.
inline juce::String messageFor (const WorkflowOutcome& outcome)
{
    if (const char* text = statusText (outcome.reason); *text != 0)
        return text;
    struct Own
    {
        Status reason;
        const char* text;
    };
    static constexpr Own own[] = {
        { Status::noDriverFits, "no built-in flash driver fits the instrument (Please select correct flash model.)" },
        { Status::onlyJournalFile, "Only the file of the interrupted update can complete it." },
        { Status::busy, "the instrument is busy with another operation" },
        { Status::declined, "not confirmed" },
    };
    for (const auto& o : own)
        if (o.reason == outcome.reason)
            return o.text;
    return outcome.ending == Ending::completed ? "done" : "the operation failed";
}
} // namespace cli
