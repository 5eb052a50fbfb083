#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>
#include <optional>

namespace cli
{
enum class Command
{
    none,
    help,
    version,
    list,
    check,
    update,
    read,
    recoveryExport,
    recoveryImport,
    history,
};

struct Options
{
    Command command = Command::none;
    juce::String file;         // check, update: the update file; recovery: the recovery file
    std::int64_t start = 0;    // read
    std::int64_t length = 0;   // read
    juce::String out;          // read: where the bytes go
    juce::String port;         // --port: a port's name or its system path
    juce::String logFile;      // --log
    bool yes = false;          // --yes: the update's question is answered yes
    bool sameUnit = false;     // --same-unit: this is the unit whose update was interrupted
    bool replaceSettings = false; // --replace-settings: take the built-in settings
    bool json = false;
    bool quiet = false;
    bool verbose = false;
};

struct Parsed
{
    Options options;
    juce::String error; // empty when the command line is good
};

// argv without the program name.
Parsed parseCommandLine (const juce::StringArray& arguments);

// The program's arguments as strings, each checked to be well-formed UTF-8 before a string is
// made of it. An argument that is not is left out of the array and named in `error` (the
// first one only); the command line is then to be refused.
juce::StringArray argumentsFromBytes (int argc, const char* const* argv, juce::String& error);

// A byte count or address: decimal, 0x-prefixed or h-suffixed hex, with an optional K or M
// (x 1024, x 1024 x 1024). Nothing for a negative, malformed or too large value.
std::optional<std::int64_t> parseByteCount (const juce::String& text);

// Why `text` is no byte count, in words a user can act on (a suffix other than K and M, a
// digit that does not belong, a value past 4 GiB); empty when it is one.
juce::String byteCountProblem (const juce::String& text);

juce::String helpText();
juce::String versionText();
} // namespace cli
