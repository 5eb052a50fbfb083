#pragma once

#include <functional>

namespace cli
{
enum class WaitEnd
{
    done,
    timedOut,
    stopped,
};

inline constexpr int noTimeout = -1;

// Runs the message loop on the calling (message) thread until `done` holds, `stop` says so, or
// `timeoutMs` have passed (noTimeout: never). Between messages the thread sleeps in the
// system's message queue: a timer wakes it for the deadline, and a few times a second to look
// at `stop`, since a signal handler cannot post a message.
WaitEnd dispatchUntil (const std::function<bool()>& done, int timeoutMs, const std::function<bool()>& stop);
} // namespace cli
