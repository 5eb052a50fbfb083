#pragma once

#include "cli/CommandLine.h"
#include "cli/ExitCode.h"
#include "cli/PortSurvey.h"

#include <cstdio>
#include <functional>

namespace cli
{
// What the terminal tool needs from its surroundings; tests replace the ports and the times.
struct Environment
{
    PortSystemFactory makePorts;          // null: the platform's MIDI ports
    // The probe windows are 1 s; an instrument answers in the second. A loaded machine delays
    // the windows, so these leave room.
    int surveyMs = 5000;                  // how long every port is probed for
    int connectMs = 8000;                 // the chosen port's own probe, before it counts as silent
    int readyMs = 180000;                 // detection and the identity read, a generous bound
    // How many times the user asked the run to stop (SIGINT, SIGTERM) so far.
    std::function<int()> stopRequests;
    // An argument that could not be taken as text (argumentsFromBytes): the run is refused.
    juce::String argumentError;
};

// Runs one command line (without the program name) to its end on the calling thread, which
// must be the message thread, and returns its exit code.
Exit runCommandLine (const juce::StringArray& arguments, std::FILE* out, std::FILE* err, Environment environment);
} // namespace cli
