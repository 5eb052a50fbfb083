#pragma once

#include <juce_core/juce_core.h>

#include <optional>
#include <vector>

class UpdateWorkflow;

// The record of every update that started, for the terminal's `history` and for support: which
// file went to which instrument, when, and how it ended. One JSON object per line in the user's
// state folder, only ever appended and forced to the disk after each line. A line cut by a
// crash or a power cut fails to parse and is counted as damaged, and the next line starts on a
// line of its own, so a cut never spoils an earlier entry.
struct UpdateHistoryEntry
{
    juce::String time;      // UTC, ISO 8601
    juce::String event;     // "started", or "ended" with its outcome
    juce::String port;      // the MIDI output in use
    juce::String identity;  // the instrument's identity bytes as text, and as hex
    juce::String identityHex;
    juce::String file;      // the update file chosen, its size and SHA-256
    juce::int64 fileBytes = 0;
    juce::String fileSha256;
    juce::String script;    // A: the whole image; B: the instrument's own area at 40000h kept
    juce::String outcome;   // "ended": the status the update ended with

    juce::var toVar() const;
    static std::optional<UpdateHistoryEntry> fromVar (const juce::var& value);
};

namespace UpdateHistory
{
constexpr const char* fileName = "update-history.jsonl";

juce::Result append (const juce::File& historyFile, const UpdateHistoryEntry& entry);

struct Contents
{
    std::vector<UpdateHistoryEntry> entries;
    int damagedLines = 0;
};
// A missing file is an empty history.
Contents read (const juce::File& historyFile);
} // namespace UpdateHistory

// Writes the history of a workflow from what its view is told: the screen saver is blocked when
// an update starts and released when it ends, and the next status is its outcome. A front end
// calls the two hooks from its view, so the workflow itself needs no knowledge of the history.
class UpdateHistoryRecorder
{
public:
    explicit UpdateHistoryRecorder (juce::File historyFile);

    // From the view's setScreenSaverBlocked. A failed append is returned, never thrown away.
    juce::Result screenSaverBlocked (const UpdateWorkflow& workflow, bool blocked);
    // From the view's setStatusText.
    juce::Result statusShown (const juce::String& status);

private:
    enum class State { idle, running, ending };

    juce::File historyFile;
    State state = State::idle;
    UpdateHistoryEntry current;
};
