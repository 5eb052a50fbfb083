#pragma once

#include <juce_events/juce_events.h>

#include <optional>
#include <string>

// A message of the device link, decoded: the one place that reads CCustomMessage's codes and
// parameters for the workflow and the terminal tool.
struct LinkEvent
{
    enum class Kind
    {
        scanStarted,
        connected,          // fsMode
        notFound,
        portsDenied,
        severalInstruments,
        operationState,     // failed: the operation could not start
        progress,           // phase, done, total (a Range phase: share start, end in tenths of a percent)
        linkState,
        jobFinished,        // failed, failure
        noOutputDevice,
        versionInfo,        // record (may be null)
        logText,            // text
        other,              // a log formatting code or an unknown one
    };

    Kind kind = Kind::other;
    bool fsMode = false;
    bool failed = false;
    int failure = 0;
    int phase = 0;
    int done = 0;
    int total = 0;
    const std::u16string* record = nullptr; // owned by the message
    juce::String text;
};

// Null for a message that is not the device link's.
std::optional<LinkEvent> decodeLinkMessage (const juce::Message& message);
