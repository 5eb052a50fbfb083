// The terminal tool's wait: asleep in the message queue, it still ends on each of its three
// grounds, and the messages posted meanwhile are delivered.

#include "cli/MessageWait.h"

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST (TerminalWait, EndsWhenDoneAtItsDeadlineOrOnAStop)
{
    // A message posted from another thread, as the device link posts, wakes the wait, which
    // sees the condition it set.
    std::atomic<bool> delivered { false };
    std::thread poster ([&delivered]
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        juce::MessageManager::callAsync ([&delivered] { delivered = true; });
    });
    EXPECT_EQ (cli::dispatchUntil ([&] { return delivered.load(); }, cli::noTimeout, {}), cli::WaitEnd::done);
    poster.join();

    // Nothing arrives: the deadline ends it.
    EXPECT_EQ (cli::dispatchUntil ([] { return false; }, 30, {}), cli::WaitEnd::timedOut);

    // A stop request, which no message announces, is seen without a deadline.
    std::atomic<int> stops { 0 };
    std::thread stopper ([&stops]
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        stops = 1;
    });
    EXPECT_EQ (cli::dispatchUntil ([] { return false; }, cli::noTimeout, [&] { return stops.load() != 0; }),
               cli::WaitEnd::stopped);
    stopper.join();

    // A condition that holds already returns before anything is dispatched.
    EXPECT_EQ (cli::dispatchUntil ([] { return true; }, 0, [] { return true; }), cli::WaitEnd::done);
}
