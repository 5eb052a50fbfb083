#include "devicelink/Clock.h"

#include <chrono>

namespace
{
class RealTimer final : public Clock::Timer, private juce::Timer
{
public:
    explicit RealTimer (std::function<void()> callbackIn) : callback (std::move (callbackIn)) {}
    ~RealTimer() override { juce::Timer::stopTimer(); }
    void start (int milliseconds) override { juce::Timer::startTimer (milliseconds); }
    void stop() override { juce::Timer::stopTimer(); }

private:
    void timerCallback() override { callback(); }
    std::function<void()> callback;
};

class RealTrigger final : public Clock::Trigger, private juce::AsyncUpdater
{
public:
    explicit RealTrigger (std::function<void()> callbackIn) : callback (std::move (callbackIn)) {}
    ~RealTrigger() override { cancelPendingUpdate(); }
    void trigger() override { triggerAsyncUpdate(); }

private:
    void handleAsyncUpdate() override { callback(); }
    std::function<void()> callback;
};

class RealClock final : public Clock
{
public:
    std::int64_t nowUs() override
    {
        using namespace std::chrono;
        return duration_cast<microseconds> (steady_clock::now().time_since_epoch()).count();
    }
    std::unique_ptr<Timer> makeTimer (std::function<void()> callback) override
    {
        return std::make_unique<RealTimer> (std::move (callback));
    }
    std::unique_ptr<Trigger> makeTrigger (std::function<void()> callback) override
    {
        return std::make_unique<RealTrigger> (std::move (callback));
    }
    void post (juce::MessageListener& target, juce::Message::Ptr message) override
    {
        target.postMessage (message.get());
    }
};
} // namespace

Clock& Clock::real()
{
    static RealClock clock;
    return clock;
}

// ===== Simulated ===========================================================================

namespace
{
// Events of a timer or a trigger that has gone must not run: they hold only a weak reference.
struct SimHandle
{
    SimulatedClock& clock;
    std::function<void()> callback;
    std::uint64_t pending = 0; // event id, 0 when none
};

class SimTimer final : public Clock::Timer
{
public:
    SimTimer (SimulatedClock& clock, std::function<void()> callback)
        : handle (std::make_shared<SimHandle> (SimHandle { clock, std::move (callback), 0 }))
    {
    }
    ~SimTimer() override { stop(); }

    void start (int milliseconds) override
    {
        stop();
        periodUs = std::int64_t (milliseconds) * 1000;
        schedule (handle, periodUs);
    }
    void stop() override
    {
        if (handle->pending != 0)
            handle->clock.cancel (std::exchange (handle->pending, 0));
    }

private:
    static void schedule (const std::shared_ptr<SimHandle>& h, std::int64_t period)
    {
        std::weak_ptr<SimHandle> weak = h;
        h->pending = h->clock.after (period, [weak, period]
        {
            auto self = weak.lock();
            if (self == nullptr)
                return;
            // The next tick is due one period on, as the framework's timers are; the callback
            // may stop or restart it.
            schedule (self, period);
            auto callback = self->callback;
            callback();
        });
    }

    std::shared_ptr<SimHandle> handle;
    std::int64_t periodUs = 0;
};

class SimTrigger final : public Clock::Trigger
{
public:
    SimTrigger (SimulatedClock& clock, std::function<void()> callback)
        : handle (std::make_shared<SimHandle> (SimHandle { clock, std::move (callback), 0 }))
    {
    }
    ~SimTrigger() override
    {
        if (handle->pending != 0)
            handle->clock.cancel (handle->pending);
    }
    void trigger() override
    {
        if (handle->pending != 0)
            return;
        std::weak_ptr<SimHandle> weak = handle;
        handle->pending = handle->clock.after (0, [weak]
        {
            if (auto self = weak.lock())
            {
                self->pending = 0;
                auto callback = self->callback;
                callback();
            }
        });
    }

private:
    std::shared_ptr<SimHandle> handle;
};
} // namespace

SimulatedClock::~SimulatedClock() = default;

std::unique_ptr<Clock::Timer> SimulatedClock::makeTimer (std::function<void()> callback)
{
    return std::make_unique<SimTimer> (*this, std::move (callback));
}

std::unique_ptr<Clock::Trigger> SimulatedClock::makeTrigger (std::function<void()> callback)
{
    return std::make_unique<SimTrigger> (*this, std::move (callback));
}

void SimulatedClock::post (juce::MessageListener& target, juce::Message::Ptr message)
{
    juce::WeakReference<juce::MessageListener> recipient (&target);
    after (0, [recipient, message]
    {
        if (auto* r = recipient.get())
            r->handleMessage (*message);
    });
}

std::uint64_t SimulatedClock::at (std::int64_t timeUs, std::function<void()> action)
{
    const auto id = nextId++;
    const auto time = std::max (timeUs, now);
    events.emplace (Key { time, id }, std::move (action));
    timeOf.emplace (id, time);
    return id;
}

void SimulatedClock::cancel (std::uint64_t id)
{
    if (const auto it = timeOf.find (id); it != timeOf.end())
    {
        events.erase (Key { it->second, id });
        timeOf.erase (it);
    }
}

bool SimulatedClock::runUntil (const std::function<bool()>& done, std::int64_t limitUs)
{
    const auto limit = now + limitUs;
    while (! done())
    {
        if (events.empty())
            return false;
        auto first = events.begin();
        if (first->first.time > limit)
        {
            now = limit;
            return false;
        }
        now = first->first.time;
        auto action = std::move (first->second);
        timeOf.erase (first->first.id);
        events.erase (first);
        ++ran;
        action();
    }
    return true;
}

void SimulatedClock::runFor (std::int64_t durationUs)
{
    const auto end = now + durationUs;
    runUntil ([] { return false; }, durationUs);
    now = std::max (now, end);
}
