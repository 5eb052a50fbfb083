#pragma once

#include "cli/ExitCode.h"

#include <juce_core/juce_core.h>

#include <cstdio>
#include <memory>

namespace cli
{
// Everything the terminal tool prints, in one of two forms: lines for people, or one JSON
// object per line for scripts (--json). The log file (--log) gets every line of both kinds.
// Used on the message thread only.
class Reporter
{
public:
    struct Settings
    {
        bool json = false;
        bool quiet = false;
        bool verbose = false;
        bool progressLine = false; // stdout is a terminal: progress rewrites one line
    };

    Reporter (Settings settings, std::FILE* out, std::FILE* err);
    ~Reporter();

    // Every line from now on goes to `stream` too (see openLogFile).
    void setLog (std::unique_ptr<juce::OutputStream> stream);

    // A step or a status: what the window would show.
    void event (const juce::String& text);
    // A line of the link's log (the window's log view).
    void log (const juce::String& text);
    // A warning that is not the result (e.g. a refused hand-over).
    void warning (const juce::String& text);
    // 0..1 of the whole job; `bytesPerSecond` < 0 when not known yet, `secondsLeft` likewise.
    void progress (double fraction, double bytesPerSecond, double secondsLeft);
    // The bar is hidden: shows the figure it reached last (100 after a job that went through),
    // also where only every tenth is printed.
    void finishProgress (double fraction);
    // Ends a progress line, if one is standing.
    void endProgress();
    // A record of another kind (JSON: `type` is `kind`), with its text for people.
    void record (const juce::String& kind, juce::DynamicObject& fields, const juce::String& text);
    // One instrument found by list.
    void instrument (juce::DynamicObject& fields, const juce::String& text);
    // Carried by the result: what was checked or written on which instrument, for the records
    // of a service bench (the port, the identity, the file's size and SHA-256).
    void resultDetail (const juce::String& name, const juce::var& value);
    // The file's name, size and SHA-256 as result details; false when it can't be read.
    bool resultFile (const juce::File& file);
    // The last line of every run.
    void result (const juce::String& command, Exit code, const juce::String& message);
    // Asks a question on the terminal; false when there is no terminal to ask on.
    bool ask (const juce::String& question);

    const Settings& getSettings() const { return settings; }

private:
    void emitJson (juce::DynamicObject::Ptr object);
    void showProgress (int percent, double bytesPerSecond, double secondsLeft, bool last);
    void toLog (const juce::String& line);

    Settings settings;
    std::FILE* out;
    std::FILE* err;
    std::unique_ptr<juce::OutputStream> logStream;
    bool progressStanding = false;
    int lastPercent = -1;
    int lastPrintedPercent = -1; // without a terminal
    double lastRate = -1.0;
    juce::uint32 lastProgressMs = 0;
    static constexpr int maxLogLine = 4096;
    juce::String pendingLog; // the link prints parts of lines
    juce::String lastEvent;
    juce::NamedValueSet details;
};
} // namespace cli
