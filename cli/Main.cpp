// talvek-update: the update workflow from a terminal (see talvek-update --help).

#include "cli/Session.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <csignal>

namespace
{
std::atomic<int> stopRequests { 0 };
} // namespace

// Signal handlers have C linkage; static keeps them out of other files' way.
extern "C" {
static void requestStop (int)
{
    stopRequests.fetch_add (1);
}

#if JUCE_WINDOWS
static void requestStopAgain (int signal)
{
    std::signal (signal, requestStopAgain);
    requestStop (signal);
}
#endif
}

int main (int argc, char** argv)
{
    static_assert (std::atomic<int>::is_always_lock_free);
   #if JUCE_WINDOWS
    // The C runtime turns Ctrl-C and Ctrl-Break of the console into SIGINT and SIGBREAK; a
    // handler stays installed after a signal only when it installs itself again.
    std::signal (SIGINT, requestStopAgain);
    std::signal (SIGBREAK, requestStopAgain);
    std::signal (SIGTERM, requestStopAgain);
   #else
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset (&action.sa_mask);
    sigaction (SIGINT, &action, nullptr);
    sigaction (SIGTERM, &action, nullptr);
    // A closed pipe on stdout ends a write with an error, not the process part way.
    std::signal (SIGPIPE, SIG_IGN);
   #endif

    // Checked as bytes: the framework's strings must never see malformed UTF-8.
    juce::String argumentError;
    const auto arguments = cli::argumentsFromBytes (argc, argv, argumentError);

    const juce::ScopedJuceInitialiser_GUI juce;
    cli::Environment environment;
    environment.argumentError = argumentError;
    environment.stopRequests = [] { return stopRequests.load(); };
    return static_cast<int> (cli::runCommandLine (arguments, stdout, stderr, std::move (environment)));
}
