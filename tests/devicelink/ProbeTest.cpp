// Port discovery and the probe windows against in-memory ports. The test plays the timer: each
// window ends when it calls timerCallback, so no test waits for the real seconds.

#include "devicelink/Communication.h"
#include "support/FakeMidiPorts.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

using Bytes = std::vector<std::uint8_t>;

namespace
{
// An instrument on one output and one input: it answers each probe it hears.
struct FakeDevice
{
    int in = 0;
    int out = 0;
    std::optional<std::uint8_t> speed = 0x01;
    int replyPort = -1; // -1: echo the probe's port byte
};

class ProbeTest : public ::testing::Test
{
protected:
    void makeLink (std::vector<juce::String> inputs, std::vector<juce::String> outputs)
    {
        state->inputNames = std::move (inputs);
        state->outputNames = std::move (outputs);
        state->onSend = [this] (int out, const Bytes& frame)
        {
            if (frame.size() != 9 || frame[5] != 0x08)
                return;
            for (const auto& d : devices)
            {
                if (d.out != out)
                    continue;
                Bytes reply { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09,
                              (std::uint8_t) (d.replyPort >= 0 ? d.replyPort : frame[6]) };
                if (d.speed)
                    reply.push_back (*d.speed);
                reply.push_back (0xF7);
                state->queue (d.in, reply);
            }
        };

        link = std::make_unique<Communication> (std::make_unique<FakeMidiPorts> (state));
        link->listener = &messages;
        link->log = &log.printer;
    }

    // The device's replies arrive, then the window's time is up.
    void endWindow()
    {
        state->deliverPending();
        link->timerCallback();
        pumpMessages();
    }

    int probesSentTo (int output)
    {
        int n = 0;
        for (auto& s : state->sentTo (output))
            n += (s.bytes.size() == 9 && s.bytes[5] == 0x08) ? 1 : 0;
        return n;
    }

    std::shared_ptr<FakeMidiPorts::State> state = std::make_shared<FakeMidiPorts::State>();
    std::vector<FakeDevice> devices;
    MessageCollector messages;
    LogCapture log;
    std::unique_ptr<Communication> link;
};
} // namespace

TEST_F (ProbeTest, ConnectsAtTheEndOfTheThirdWindow)
{
    makeLink ({ "My Creative Sound Blaster In", "TALVEK In" }, { "My Creative Sound Blaster Out", "TALVEK Out" });
    devices.push_back ({ 1, 1, 0x01 });

    link->rescan();
    pumpMessages();
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::LinkState, 0, 0, 0 }, { MessageCode::ScanStarted, 0, 0, 0 } }));
    EXPECT_EQ (link->getTimerPeriod(), 1000);
    // Window 0: probes through every output, nothing open to hear the answers.
    EXPECT_EQ (state->liveInputs, 0);
    EXPECT_EQ (state->sentTo (0).front().bytes, (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x00, 0x01, 0xF7 }));
    EXPECT_EQ (state->sentTo (1).front().bytes, (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x08, 0x01, 0x01, 0xF7 }));

    endWindow();
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 0);
    EXPECT_EQ (state->liveInputs, 2);
    endWindow(); // the answer is heard but cannot be paired through the raw path
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 0);
    EXPECT_FALSE (link->isConnected());
    EXPECT_EQ (log.text(), "");
    endWindow();
    EXPECT_EQ (log.text(), "Device found, link mode FS.\n");

    EXPECT_EQ (messages.with (MessageCode::DeviceConnected), (std::vector<Posted> { { MessageCode::DeviceConnected, 1, 0, 0 } }));
    EXPECT_EQ (messages.messages.back(), (Posted { MessageCode::LinkState, 1, 0, 0 }));
    EXPECT_EQ (messages.count (MessageCode::ScanStarted), 3);
    EXPECT_TRUE (link->isConnected());
    EXPECT_TRUE (link->isFsMode());
    EXPECT_EQ (link->getSelectedOutputName(), "TALVEK Out");
    EXPECT_EQ (link->getTimerPeriod(), 0);
    EXPECT_EQ (probesSentTo (0), 3);
    // Only the pair stays open.
    EXPECT_EQ (state->liveInputs, 1);
    EXPECT_EQ (state->liveOutputs, 1);
}

TEST_F (ProbeTest, TheSpeedByteSetsTheLinkMode)
{
    struct Case
    {
        std::optional<std::uint8_t> speed;
        bool fs;
    };
    for (const Case c : { Case { 0x01, true }, Case { std::nullopt, false }, Case { 0x00, false }, Case { 0x02, false } })
    {
        log.view.clear();
        devices = { { 0, 0, c.speed } };
        makeLink ({ "In" }, { "Out" });
        link->rescan();
        for (int w = 0; w < 3; ++w)
            endWindow();
        ASSERT_TRUE (link->isConnected());
        EXPECT_EQ (link->isFsMode(), c.fs) << "speed " << (c.speed ? (int) *c.speed : -1);
        EXPECT_EQ (messages.with (MessageCode::DeviceConnected).back().p1, c.fs ? 1 : 0);
        // The log says so, once.
        EXPECT_EQ (log.text(), c.fs ? "Device found, link mode FS.\n" : "Device found, link mode HS.\n");
    }
}

TEST_F (ProbeTest, ExcludedNamesInAnyCaseAreNeverOpenedAndNothingIsFoundAfter101Windows)
{
    makeLink ({ "Creative Sound Blaster MIDI In", "CREATIVE SOUND BLASTER X-Fi" },
              { "creative sound blaster midi out", "Creative SOUND blaster" });
    devices.push_back ({ 0, 0, 0x01 });

    link->rescan();
    for (int w = 0; w < 100; ++w)
        endWindow();
    EXPECT_EQ (messages.count (MessageCode::DeviceNotFound), 0);
    EXPECT_TRUE (link->isProbing());
    EXPECT_EQ (messages.count (MessageCode::ScanStarted), 101); // windows 0 to 100 have begun

    endWindow();
    EXPECT_EQ (messages.with (MessageCode::DeviceNotFound), (std::vector<Posted> { { MessageCode::DeviceNotFound, 0, 0, 0 } }));
    EXPECT_EQ (messages.count (MessageCode::ScanStarted), 101);
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 0);
    EXPECT_FALSE (link->isProbing());
    EXPECT_EQ (link->getTimerPeriod(), 0);
    EXPECT_EQ (state->inputOpens, 0);
    EXPECT_EQ (state->outputOpens, 0);
    EXPECT_TRUE (state->allSent().empty());
    EXPECT_EQ (log.text(), "");
}

TEST_F (ProbeTest, AReplyNamingNoOutputIsIgnoredAndLeavesTheLinkMode)
{
    makeLink ({ "In A", "In B" }, { "Out A", "Out B" });
    devices.push_back ({ 1, 1, 0x01 });

    link->rescan();
    endWindow();
    state->deliverPending(); // heard in window 1, through the raw path: nothing paired
    link->processIncoming();
    EXPECT_FALSE (link->isFsMode()) << "only the chosen instrument's reply sets the link mode";

    devices[0].replyPort = 2; // one past the list, from window 2 on
    link->timerCallback();
    for (int w = 0; w < 5; ++w)
        endWindow();
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 0);
    EXPECT_FALSE (link->isConnected());
    EXPECT_FALSE (link->isFsMode());
}

TEST_F (ProbeTest, TwoAnsweringDevicesKeepTheFirstReplyAndReportTheSecond)
{
    makeLink ({ "In 0", "In 1" }, { "Out 0", "Out 1" });
    // Crossed wiring: the pair comes from the echoed port, not from the index of the input.
    devices.push_back ({ 1, 0, 0x01 });
    devices.push_back ({ 0, 1, std::nullopt });

    link->rescan();
    for (int w = 0; w < 3; ++w)
        endWindow();

    EXPECT_EQ (messages.count (MessageCode::MultipleDevices), 1);
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 1);
    EXPECT_EQ (link->getSelectedOutputName(), "Out 0");
    // The link mode is the chosen instrument's, not that of the one that answered last.
    EXPECT_TRUE (link->isFsMode());
    EXPECT_EQ (state->liveInputs, 1);
    EXPECT_EQ (state->liveOutputs, 1);
}

TEST_F (ProbeTest, RescanDropsThePairAndConnectsAgain)
{
    makeLink ({ "In" }, { "Out" });
    devices.push_back ({ 0, 0, 0x01 });
    link->rescan();
    for (int w = 0; w < 3; ++w)
        endWindow();
    ASSERT_TRUE (link->isConnected());
    messages.messages.clear();

    link->rescan();
    pumpMessages();
    EXPECT_FALSE (link->isConnected());
    EXPECT_EQ (messages.messages, (std::vector<Posted> { { MessageCode::LinkState, 0, 0, 0 }, { MessageCode::ScanStarted, 0, 0, 0 } }));
    EXPECT_EQ (state->liveInputs, 0);

    for (int w = 0; w < 3; ++w)
        endWindow();
    EXPECT_TRUE (link->isConnected());
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 1);
}

TEST_F (ProbeTest, OutputsWithoutANameAreNotProbedThroughTheFramework)
{
    makeLink ({ "In", "In 2" }, { "", "Out" });
    devices.push_back ({ 0, 0, 0x01 }); // behind the nameless output
    devices.push_back ({ 1, 1, 0x00 });
    link->rescan();
    for (int w = 0; w < 3; ++w)
        endWindow();
    EXPECT_EQ (link->getSelectedOutputName(), "Out");
    EXPECT_EQ (messages.count (MessageCode::MultipleDevices), 0);
}

// Replies arrive on another thread while the message thread opens and closes the windows: the
// shape of the real input threads. Run under ThreadSanitizer, this is the race and deadlock check
// of the probe state and of the port hand-over.
TEST_F (ProbeTest, RepliesFromAnotherThreadWhileWindowsChange)
{
    makeLink ({ "In A", "In B" }, { "Out A", "Out B" });
    devices.push_back ({ 1, 1, 0x01 });

    std::atomic<bool> running { true };
    std::atomic<int> taken { 0 }; // replies an open input has taken
    std::thread instrument ([&]
    {
        const Bytes reply { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x01, 0x01, 0xF7 };
        while (running)
        {
            state->deliverPending();
            if (state->deliver (1, reply))
                ++taken;
            // Faster than a real cable, but not so fast that the bounded inbox overflows
            // whenever the message thread is kept waiting.
            std::this_thread::sleep_for (std::chrono::microseconds (50));
        }
    });

    for (int round = 0; round < 30; ++round)
    {
        link->rescan();
        link->timerCallback();
        // Each window ends once an answer has reached one of its inputs: in window 1 one is
        // heard, in window 2 one pairs the ports. (A window's inputs are opened when it begins,
        // and the second reply taken after that went to one of them.)
        // A window whose answer was lost (the inbox drops what it cannot hold) is followed by
        // another, as in the program.
        for (int window = 1; window <= 10 && ! link->isConnected(); ++window)
        {
            const int before = taken;
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds (5);
            while (taken < before + 2 && std::chrono::steady_clock::now() < end)
                std::this_thread::yield();
            link->timerCallback();
        }
        pumpMessages (1);
    }
    running = false;
    instrument.join();
    pumpMessages();

    EXPECT_TRUE (link->isConnected());
    EXPECT_EQ (messages.count (MessageCode::DeviceConnected), 30);
    link.reset();
    EXPECT_EQ (state->liveInputs, 0);
    EXPECT_EQ (state->liveOutputs, 0);
}
