#pragma once

// Where everything that waits takes its time from: the device link's timer, the time stamps of
// the transfer engine, and the delivery of the link's messages to the workflow. The real clock
// runs them on the message thread; a simulated one (SimulatedClock) runs a whole session on one
// thread in simulated time, the same way for every run.

#include <juce_events/juce_events.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

class Clock
{
public:
    virtual ~Clock() = default;

    // Monotonic microseconds.
    virtual std::int64_t nowUs() = 0;

    // Calls back on the message thread every `milliseconds` while started. Destroying it stops
    // it: no call comes after.
    class Timer
    {
    public:
        virtual ~Timer() = default;
        virtual void start (int milliseconds) = 0; // restarts the period
        virtual void stop() = 0;
    };
    virtual std::unique_ptr<Timer> makeTimer (std::function<void()> callback) = 0;

    // Calls back once on the message thread after trigger(), which any thread may call; the
    // triggers before the call are one. Destroying it cancels a call not yet made.
    class Trigger
    {
    public:
        virtual ~Trigger() = default;
        virtual void trigger() = 0;
    };
    virtual std::unique_ptr<Trigger> makeTrigger (std::function<void()> callback) = 0;

    // Hands `message` to `target` on the message thread, after every message posted before;
    // a target that is gone by then gets nothing.
    virtual void post (juce::MessageListener& target, juce::Message::Ptr message) = 0;

    // The wall clock and the framework's message loop.
    static Clock& real();
};

// Simulated time on the calling thread: nothing happens until run() or runUntil() carries out
// the events in time order (in the order they were made when at the same time), moving the time
// to each.
class SimulatedClock final : public Clock
{
public:
    SimulatedClock() = default;
    ~SimulatedClock() override;

    std::int64_t nowUs() override { return now; }
    std::unique_ptr<Timer> makeTimer (std::function<void()> callback) override;
    std::unique_ptr<Trigger> makeTrigger (std::function<void()> callback) override;
    void post (juce::MessageListener& target, juce::Message::Ptr message) override;

    // An event at `timeUs` (not before now); the id cancels it.
    std::uint64_t at (std::int64_t timeUs, std::function<void()> action);
    std::uint64_t after (std::int64_t delayUs, std::function<void()> action) { return at (now + delayUs, std::move (action)); }
    void cancel (std::uint64_t id);

    // Carries out events until `done` holds (checked before each one), none is left, or the
    // next lies beyond now + `limitUs`; returns whether `done` held. The time ends at the last
    // event carried out, or at the limit when it was reached.
    bool runUntil (const std::function<bool()>& done, std::int64_t limitUs);
    // Carries out every event up to now + `durationUs` and ends there.
    void runFor (std::int64_t durationUs);

    bool idle() const { return events.empty(); }
    std::uint64_t eventsRun() const { return ran; }

private:
    struct Key
    {
        std::int64_t time;
        std::uint64_t id;
        bool operator< (const Key& other) const { return time != other.time ? time < other.time : id < other.id; }
    };

    std::int64_t now = 0;
    std::uint64_t nextId = 1;
    std::uint64_t ran = 0;
    std::map<Key, std::function<void()>> events;
    std::map<std::uint64_t, std::int64_t> timeOf; // id -> time, for cancel
};
