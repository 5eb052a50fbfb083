// The device link with its input on another thread: replies go through the inbox to the
// message thread, which also ticks the watchdog. The shape of a real transfer, for
// ThreadSanitizer.

#include "devicelink/Communication.h"
#include "support/FakeMidiPorts.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using Bytes = std::vector<std::uint8_t>;

namespace
{
Bytes pattern (std::size_t n)
{
    Bytes b (n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = (std::uint8_t) ((i * 131 + (i >> 8)) & 0xFF);
    return b;
}
} // namespace

TEST (LinkThreads, StreamsWhileTheWatchdogTicks)
{
    auto state = std::make_shared<FakeMidiPorts::State>();
    state->inputNames = { "TALVEK In" };
    state->outputNames = { "TALVEK Out" };
    // The state owns the handler, so a plain pointer is alive whenever it runs; a shared
    // pointer here would keep the state alive forever.
    state->onSend = [ports = state.get()] (int, const Bytes& frame)
    {
        if (frame.size() == 9 && frame[5] == 0x08)
            ports->queue (0, { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, frame[6], 0x01, 0xF7 });
        else if (frame.size() == 4689)
            ports->queue (0, { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 });
    };
    MessageCollector messages;
    LogCapture log;
    auto link = std::make_unique<Communication> (std::make_unique<FakeMidiPorts> (state));
    link->listener = &messages;
    link->log = &log.printer;

    std::atomic<bool> running { true };
    std::thread instrument ([&]
    {
        while (running)
        {
            state->deliverPending();
            std::this_thread::yield();
        }
    });

    link->rescan();
    for (int w = 0; w < 3 && ! link->isConnected(); ++w)
    {
        pumpMessages (20);
        link->timerCallback();
    }
    ASSERT_TRUE (link->isConnected());

    const auto data = pattern (40 * 4096);
    link->programData (data.data(), 0, 0, (int) data.size(), 0, 100);
    std::size_t seen = 0;
    for (int guard = 0; guard < 100000 && messages.count (MessageCode::JobFinished) == 0; ++guard)
    {
        // At most one tick per acknowledged block, so the watchdog never runs out.
        if (const auto n = state->allSent().size(); n > seen)
        {
            seen = n;
            link->timerCallback();
        }
        pumpMessages (1);
    }
    running = false;
    instrument.join();

    EXPECT_EQ (messages.with (MessageCode::JobFinished), (std::vector<Posted> { { MessageCode::JobFinished, 0, 0, 0 } }));
    int dataFrames = 0;
    for (const auto& s : state->allSent())
        dataFrames += s.bytes.size() == 4689 ? 1 : 0;
    EXPECT_EQ (dataFrames, 40);
    EXPECT_TRUE (log.text().endsWith ("Program OK.\n")) << log.text();
    link.reset();
    EXPECT_EQ (state->liveInputs, 0);
}
