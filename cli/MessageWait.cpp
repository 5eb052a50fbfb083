#include "cli/MessageWait.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <cmath>

namespace juce
{
// The framework's own blocking step of its message loop (the one runDispatchLoop() takes);
// defined in juce_events for every platform, not declared in its headers.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

namespace cli
{
namespace
{
// How late a stop request (Ctrl-C, SIGTERM) may be seen while nothing else arrives.
constexpr int stopCheckMs = 100;

// Only its message matters: it ends the blocking dispatch. It keeps ticking at one period:
// started again after every message, it would wake the framework's timer thread each time.
class WakeUp final : private juce::Timer
{
public:
    ~WakeUp() override { stopTimer(); }
    void every (int ms)
    {
        ms = std::max (1, ms);
        if (ms != period)
            startTimer (period = ms);
    }

private:
    void timerCallback() override {}
    int period = 0;
};
} // namespace

WaitEnd dispatchUntil (const std::function<bool()>& done, int timeoutMs, const std::function<bool()>& stop)
{
    // In double milliseconds: the 32-bit counter wraps after 49 days of uptime.
    const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
    WakeUp wakeUp;
    for (;;)
    {
        if (done())
            return WaitEnd::done;
        if (stop && stop())
            return WaitEnd::stopped;
        int sleepMs = stopCheckMs;
        if (timeoutMs != noTimeout)
        {
            const auto left = end - juce::Time::getMillisecondCounterHiRes();
            if (left <= 0.0)
                return WaitEnd::timedOut;
            sleepMs = std::min (sleepMs, static_cast<int> (std::ceil (left)));
        }
        wakeUp.every (sleepMs);
        juce::dispatchNextMessageOnSystemQueue (false);
    }
}
} // namespace cli
