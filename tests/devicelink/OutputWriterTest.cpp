// Outputs with a writer of their own: a send never waits for the port, the queue is bounded,
// a failed write is reported by the sends after it, and closing writes what is queued but
// gives up a write that has stalled.

#include "devicelink/OutputWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace
{
// A port whose writes block until the test lets them through, like a device that has stopped
// draining its endpoint.
struct GatedPort final : MidiOutPort
{
    struct Shared
    {
        std::mutex lock;
        std::condition_variable changed;
        bool open = false;
        bool fail = false;
        bool cancelled = false;
        std::vector<Bytes> written;
    };

    explicit GatedPort (std::shared_ptr<Shared> s) : shared (std::move (s)) {}
    juce::String getName() const override { return "Gated"; }

    bool sendMessage (const std::uint8_t* data, int size) override
    {
        std::unique_lock<std::mutex> guard (shared->lock);
        shared->changed.wait (guard, [this] { return shared->open; });
        if (shared->fail)
            return false;
        shared->written.emplace_back (data, data + size);
        shared->changed.notify_all();
        return true;
    }

    // A cancelled write gives up at once, as the byte-stream ports' poll does.
    void cancelSends() override
    {
        const std::lock_guard<std::mutex> guard (shared->lock);
        shared->open = shared->fail = shared->cancelled = true;
        shared->changed.notify_all();
    }

    std::shared_ptr<Shared> shared;
};

void openGate (GatedPort::Shared& s, bool fail = false)
{
    const std::lock_guard<std::mutex> guard (s.lock);
    s.open = true;
    s.fail = fail;
    s.changed.notify_all();
}
} // namespace

TEST (OutputWriter, AStalledPortNeitherBlocksNorLosesFrames)
{
    auto shared = std::make_shared<GatedPort::Shared>();
    auto out = makeQueuedOutput (std::make_unique<GatedPort> (shared));
    EXPECT_EQ (out->getName(), "Gated");

    // A Data frame each, until the bounded queue says no; none of the sends waits.
    const auto start = std::chrono::steady_clock::now();
    int accepted = 0;
    for (std::uint8_t i = 0; i < 40; ++i)
    {
        Bytes frame (4689, i);
        if (! out->sendMessage (frame.data(), (int) frame.size()))
            break;
        ++accepted;
    }
    EXPECT_LT (std::chrono::steady_clock::now() - start, 1s);
    EXPECT_GT (accepted, 2);
    EXPECT_LT (accepted, 40);

    // The device drains again: everything accepted arrives, in order, and closing waits for it.
    openGate (*shared);
    out.reset();
    ASSERT_EQ ((int) shared->written.size(), accepted);
    for (int i = 0; i < accepted; ++i)
        EXPECT_EQ (shared->written[(std::size_t) i], Bytes (4689, (std::uint8_t) i));
}

TEST (OutputWriter, AFailedWriteFailsTheSendsAfterIt)
{
    auto shared = std::make_shared<GatedPort::Shared>();
    auto out = makeQueuedOutput (std::make_unique<GatedPort> (shared));
    openGate (*shared, true);

    const Bytes frame { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x03, 0xF7 };
    EXPECT_TRUE (out->sendMessage (frame.data(), (int) frame.size())); // queued; the write fails later
    bool failed = false;
    for (int i = 0; i < 200 && ! failed; ++i)
    {
        std::this_thread::sleep_for (5ms);
        failed = ! out->sendMessage (frame.data(), (int) frame.size());
    }
    EXPECT_TRUE (failed);
    EXPECT_FALSE (out->sendMessage (frame.data(), (int) frame.size()));
    EXPECT_TRUE (shared->written.empty());
}

TEST (OutputWriter, ClosingGivesUpAStalledWrite)
{
    auto shared = std::make_shared<GatedPort::Shared>();
    auto out = makeQueuedOutput (std::make_unique<GatedPort> (shared));
    const Bytes frame (4689, 0x11);
    ASSERT_TRUE (out->sendMessage (frame.data(), (int) frame.size()));
    ASSERT_TRUE (out->sendMessage (frame.data(), (int) frame.size()));

    auto closing = std::async (std::launch::async, [&out] { out.reset(); });
    const bool closed = closing.wait_for (10s) == std::future_status::ready;
    EXPECT_TRUE (closed) << "the close waits for a device that takes nothing";
    if (! closed)
        openGate (*shared); // lets the test end
    closing.wait();
    EXPECT_TRUE (shared->cancelled);
    EXPECT_TRUE (shared->written.empty());
}
