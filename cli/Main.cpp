// talvek-update: the update workflow from a terminal (see talvek-update --help).

#include "cli/Session.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <csignal>

namespace
{
std::atomic<int> stopRequests { 0 };
} // namespace

// A signal handler has C linkage; static keeps it out of other files' way.
extern "C" {
static void requestStop (int)
{
    stopRequests.fetch_add (1);
}
}

int main (int argc, char** argv)
{
    static_assert (std::atomic<int>::is_always_lock_free);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset (&action.sa_mask);
    sigaction (SIGINT, &action, nullptr);
    sigaction (SIGTERM, &action, nullptr);
    // A closed pipe on stdout ends a write with an error, not the process part way.
    std::signal (SIGPIPE, SIG_IGN);

    juce::StringArray arguments;
    for (int i = 1; i < argc; ++i)
        arguments.add (juce::String::fromUTF8 (argv[i]));

    const juce::ScopedJuceInitialiser_GUI juce;
    cli::Environment environment;
    environment.stopRequests = [] { return stopRequests.load(); };
    return static_cast<int> (cli::runCommandLine (arguments, stdout, stderr, std::move (environment)));
}
