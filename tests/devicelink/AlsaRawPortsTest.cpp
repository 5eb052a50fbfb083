// The ALSA raw MIDI backend without sound hardware: the card list is the test's, and a
// pseudo-terminal in raw mode, linked into a scratch folder as midiC1D0, stands in for the
// node. The test holds the master side, the instrument's end of the cable.
#if defined (__linux__)

#include "devicelink/BuiltInData.h"
#include "devicelink/Communication.h"
#include "devicelink/MidiPorts.h"
#include "devicelink/MidiStreamParser.h"
#include "support/FakeMidiPorts.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

namespace
{
// A Data frame's size, with 7-bit content that differs from byte to byte.
Bytes dataFrame (std::uint8_t seed)
{
    Bytes frame (4689);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t> ((i * 7 + seed) & 0x7F);
    frame.front() = 0xF0;
    frame.back() = 0xF7;
    return frame;
}

std::vector<AlsaRawCard> oneCard()
{
    return { { 1, "TALVEK TD-9", { { 0, true, true } } } };
}

class FakeNode
{
public:
    explicit FakeNode (const juce::File& folderIn) : folder (folderIn)
    {
        master = ::posix_openpt (O_RDWR | O_NOCTTY | O_CLOEXEC);
        char slaveName[128] = {};
        if (master < 0 || ::grantpt (master) != 0 || ::unlockpt (master) != 0
            || ::ptsname_r (master, slaveName, sizeof (slaveName)) != 0)
        {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        ::fcntl (master, F_SETFL, ::fcntl (master, F_GETFL) | O_NONBLOCK);

        // Held open for the test's whole length: a master whose slave is closed reads EIO, and
        // through it the test can fill the buffer towards the instrument.
        slave = ::open (slaveName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t {};
        ::tcgetattr (slave, &t);
        ::cfmakeraw (&t); // bytes pass unchanged, no echo
        ::tcsetattr (slave, TCSANOW, &t);

        path = folder.getChildFile ("midiC1D0").getFullPathName();
        EXPECT_EQ (::symlink (slaveName, path.toRawUTF8()), 0);
    }

    ~FakeNode()
    {
        ::unlink (path.toRawUTF8());
        ::close (slave);
        ::close (master);
    }

    // The next `n` bytes the tool wrote, or fewer if they do not come within the time.
    Bytes read (std::size_t n, int timeoutMs = 5000)
    {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
        std::uint8_t buffer[4096];
        while (out.size() < n && std::chrono::steady_clock::now() < end)
        {
            pollfd p { master, POLLIN, 0 };
            if (::poll (&p, 1, 50) <= 0)
                continue;
            const auto r = ::read (master, buffer, std::min (sizeof (buffer), n - out.size()));
            if (r > 0)
                out.insert (out.end(), buffer, buffer + r);
        }
        return out;
    }

    bool write (const Bytes& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size())
        {
            const auto r = ::write (master, bytes.data() + done, bytes.size() - done);
            if (r > 0)
                done += static_cast<std::size_t> (r);
            else if (errno == EAGAIN)
            {
                pollfd p { master, POLLOUT, 0 };
                if (::poll (&p, 1, 5000) <= 0)
                    return false;
            }
            else
                return false;
        }
        return true;
    }

    // Fills the buffer towards the instrument, as a device that stopped reading its endpoint.
    // The terminal moves bytes on to the master's side a moment after a write, which frees
    // room again, so it is filled until a pause frees none.
    void fillTowardsInstrument()
    {
        const Bytes junk (256, 0xFE);
        for (bool tookSome = true; tookSome; std::this_thread::sleep_for (50ms))
        {
            tookSome = false;
            while (::write (slave, junk.data(), junk.size()) > 0)
                tookSome = true;
        }
    }

    // Empties the buffer towards the instrument; true if any of it was the tool's (a frame's
    // F0), false if only the filling had been there.
    bool drainFindsFrame()
    {
        bool found = false;
        std::uint8_t buffer[4096];
        for (ssize_t n; (n = ::read (master, buffer, sizeof (buffer))) > 0;)
            found = found || std::find (buffer, buffer + n, 0xF0) != buffer + n;
        return found;
    }

    // Empties it again: the device drains.
    void drain()
    {
        std::uint8_t buffer[4096];
        while (::read (master, buffer, sizeof (buffer)) > 0) {}
    }

    juce::File folder;
    juce::String path;
    int master = -1, slave = -1;
};

struct Collector : MidiInPortCallback
{
    void handleIncomingMidiMessage (MidiInPort*, const juce::MidiMessage& m) override
    {
        const std::lock_guard<std::mutex> g (mutex);
        got.emplace_back (m.getRawData(), m.getRawData() + m.getRawDataSize());
        changed.notify_all();
    }

    bool waitFor (std::size_t n)
    {
        std::unique_lock<std::mutex> l (mutex);
        return changed.wait_for (l, 5s, [&] { return got.size() >= n; });
    }

    std::vector<Bytes> messages()
    {
        const std::lock_guard<std::mutex> g (mutex);
        return got;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> got;
};

class AlsaRawNode : public ::testing::Test
{
protected:
    ~AlsaRawNode() override { folder.deleteRecursively(); }

    std::unique_ptr<MidiPortSystem> makePorts (int writeTimeoutMs = 5000)
    {
        AlsaRawOptions options;
        options.deviceFolder = folder.getFullPathName();
        options.listCards = oneCard;
        options.openNode = [this] (const char* p, int flags)
        {
            ++opens;
            return ::open (p, flags);
        };
        options.writeTimeoutMs = writeTimeoutMs;
        return createAlsaRawMidiPorts (std::move (options));
    }

    // Closes the output on another thread: true when that ends within a generous bound. If it
    // does not, the device drains so that the test can still end.
    bool closesPromptly (std::unique_ptr<MidiOutPort>& out)
    {
        auto closing = std::async (std::launch::async, [&out] { out.reset(); });
        if (closing.wait_for (10s) == std::future_status::ready)
            return true;
        while (closing.wait_for (100ms) != std::future_status::ready)
            node.drain();
        return false;
    }

    juce::File folder = makeScratchFolder ("talvek-alsa-raw");
    FakeNode node { folder };
    std::atomic<int> opens { 0 };
};
} // namespace

TEST (AlsaRawPorts, PortsAreNamedAfterTheirCards)
{
    AlsaRawOptions options;
    options.deviceFolder = "/tmp/nodes";
    options.listCards = []
    {
        return std::vector<AlsaRawCard> {
            { 0, "TALVEK TD-9", { { 0, true, true }, { 1, false, true }, { 2, true, false } } },
            { 3, "", { { 0, true, true } } },
            { 4, "Card without MIDI", {} },
        };
    };
    auto ports = createAlsaRawMidiPorts (options);
    ASSERT_NE (ports, nullptr);

    const auto describe = [] (const std::vector<MidiPortInfo>& list)
    {
        juce::StringArray lines;
        for (const auto& p : list)
            lines.add (p.name + " = " + p.identifier);
        return lines.joinIntoString ("\n");
    };
    // The card's own name for its first device, a number after it for the others; a card
    // without a name is called by its number.
    EXPECT_EQ (describe (ports->getOutputs()), "TALVEK TD-9 = /tmp/nodes/midiC0D0\n"
                                               "TALVEK TD-9 2 = /tmp/nodes/midiC0D1\n"
                                               "Card 3 = /tmp/nodes/midiC3D0");
    EXPECT_EQ (describe (ports->getInputs()), "TALVEK TD-9 = /tmp/nodes/midiC0D0\n"
                                              "TALVEK TD-9 3 = /tmp/nodes/midiC0D2\n"
                                              "Card 3 = /tmp/nodes/midiC3D0");
}

TEST_F (AlsaRawNode, WholeDataFramesPassBothWaysOverOneOpenOfTheNode)
{
    auto ports = makePorts();
    const auto outputs = ports->getOutputs();
    const auto inputs = ports->getInputs();
    ASSERT_EQ (outputs.size(), 1u);
    ASSERT_EQ (inputs.size(), 1u);
    EXPECT_EQ (outputs[0].identifier, node.path);

    Collector collector;
    auto in = ports->openInput (inputs[0], collector);
    auto out = ports->openOutput (outputs[0]);
    ASSERT_NE (in, nullptr);
    ASSERT_NE (out, nullptr);
    // A raw node opened twice would take a second substream, which most devices lack.
    EXPECT_EQ (opens.load(), 1);
    in->start();

    const auto toDevice = dataFrame (1);
    ASSERT_TRUE (out->sendMessage (toDevice.data(), (int) toDevice.size()));
    EXPECT_EQ (node.read (toDevice.size()), toDevice);

    // From the device: larger than the node's buffer, so it arrives in pieces, and is still
    // delivered as one message.
    const auto fromDevice = dataFrame (2);
    ASSERT_TRUE (node.write (fromDevice));
    ASSERT_TRUE (collector.waitFor (1));
    EXPECT_EQ (collector.messages(), (std::vector<Bytes> { fromDevice }));
}

TEST_F (AlsaRawNode, ANodeThatCannotBeOpenedSaysWhy)
{
    struct Case
    {
        const char* what;
        std::function<void (const juce::String& path)> prepare;
        int injectedError; // 0: the real open's own result
        bool inputOpens;
        const char* reason;
        bool permissionDenied;
    };
    const Case cases[] = {
        { "a link to nothing", [] (const juce::String& p) { ::symlink ("/nonexistent/midi", p.toRawUTF8()); },
          0, false, "No such file or directory", false },
        { "a folder in its place", [] (const juce::String& p) { ::mkdir (p.toRawUTF8(), 0700); },
          0, true, "Is a directory", false },
        { "a user outside the audio group", [] (const juce::String&) {}, EACCES, false, "Permission denied", true },
        { "an open the system forbids", [] (const juce::String&) {}, EPERM, false, "Operation not permitted", true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto path = folder.getChildFile ("midiC2D0").getFullPathName();
        c.prepare (path);

        AlsaRawOptions options;
        options.deviceFolder = folder.getFullPathName();
        options.listCards = [] { return std::vector<AlsaRawCard> { { 2, "Locked", { { 0, true, true } } } }; };
        const int injected = c.injectedError;
        options.openNode = [injected] (const char* p, int flags)
        {
            if (injected == 0)
                return ::open (p, flags);
            errno = injected;
            return -1;
        };
        auto ports = createAlsaRawMidiPorts (options);

        EXPECT_EQ (ports->openOutput (ports->getOutputs()[0]), nullptr);
        const auto error = ports->getLastOpenError();
        EXPECT_EQ (error.path, path);
        EXPECT_EQ (error.reason, c.reason);
        EXPECT_EQ (error.permissionDenied, c.permissionDenied);

        Collector collector;
        auto in = ports->openInput (ports->getInputs()[0], collector);
        EXPECT_EQ (in != nullptr, c.inputOpens);
        in.reset();

        juce::File (path).deleteRecursively();
        ::unlink (path.toRawUTF8());
    }
}

TEST_F (AlsaRawNode, AStalledReaderFailsTheWriteAndCannotHoldTheClose)
{
    // The instrument never reads: the node's buffer takes two or three frames, then a write
    // cannot finish.
    {
        auto ports = makePorts (200);
        auto out = ports->openOutput (ports->getOutputs()[0]);
        ASSERT_NE (out, nullptr);
        const auto frame = dataFrame (3);
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE (out->sendMessage (frame.data(), (int) frame.size()));

        // Eight frames sit well below the queue's bound: a refused send is the failed write.
        const Bytes clock { 0xF8 };
        bool failed = false;
        for (const auto end = std::chrono::steady_clock::now() + 10s; ! failed && std::chrono::steady_clock::now() < end;)
        {
            std::this_thread::sleep_for (10ms);
            failed = ! out->sendMessage (clock.data(), 1);
        }
        EXPECT_TRUE (failed) << "the write to a node that takes nothing never ended";
        EXPECT_FALSE (out->sendMessage (clock.data(), 1)) << "a failed output must stay failed";
        EXPECT_TRUE (closesPromptly (out));
    }
    node.drain();

    // With a time-out far away, a close in the middle of the stalled write still returns.
    auto ports = makePorts (600'000);
    auto out = ports->openOutput (ports->getOutputs()[0]);
    ASSERT_NE (out, nullptr);
    node.fillTowardsInstrument();
    const auto frame = dataFrame (4);
    ASSERT_TRUE (out->sendMessage (frame.data(), (int) frame.size()));
    std::this_thread::sleep_for (100ms); // let the writer get into the write

    EXPECT_TRUE (closesPromptly (out)) << "closing a stalled output hangs";
    EXPECT_FALSE (node.drainFindsFrame()) << "the device took the frame: nothing was stalled";
}

// ---- Through the device link -----------------------------------------------------------------

namespace
{
// The instrument's end of the cable: answers every probe, until it stops reading.
class ProbeAnswerer
{
public:
    explicit ProbeAnswerer (FakeNode& nodeIn) : node (nodeIn), thread ([this] { run(); }) {}

    ~ProbeAnswerer()
    {
        running = false;
        thread.join();
    }

    std::atomic<bool> reading { true };

private:
    void run()
    {
        MidiStreamParser parser;
        std::uint8_t buffer[4096];
        while (running)
        {
            if (! reading)
            {
                std::this_thread::sleep_for (5ms);
                continue;
            }
            pollfd p { node.master, POLLIN, 0 };
            if (::poll (&p, 1, 20) <= 0)
                continue;
            const auto n = ::read (node.master, buffer, sizeof (buffer));
            if (n <= 0)
                continue;
            parser.feed (buffer, (int) n, [this] (const std::uint8_t* d, int size)
            {
                if (size == 9 && d[5] == 0x08) // a probe: answer with its port, link mode FS
                    node.write ({ 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, d[6], 0x01, 0xF7 });
            });
        }
    }

    FakeNode& node;
    std::atomic<bool> running { true };
    std::thread thread;
};
} // namespace

TEST_F (AlsaRawNode, ADeviceThatStopsReadingEndsTheJobAsNoResponse)
{
    MessageCollector messages;
    LogCapture log;
    ProbeAnswerer instrument (node);
    auto link = std::make_unique<Communication> (makePorts (200));
    link->listener = &messages;
    link->log = &log.printer;

    link->rescan();
    // The test ends each window once its answer has had time to come in.
    for (int window = 0; window < 10 && ! link->isConnected(); ++window)
    {
        pumpMessages (200);
        link->timerCallback();
    }
    ASSERT_TRUE (link->isConnected());

    // The device stops draining its endpoint; the driver upload's first writes cannot finish.
    instrument.reading = false;
    node.fillTowardsInstrument();
    const auto driver = BuiltInData::detectionDrivers()[0];
    link->sendDriver (driver.data, driver.size, "S29GL256_S", 0.0f, 100.0f);

    EXPECT_TRUE (pumpUntil ([&] { return messages.count (MessageCode::JobFinished) > 0; }, 30s));
    EXPECT_EQ (messages.with (MessageCode::JobFinished), (std::vector<Posted> { { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 } }));
    EXPECT_TRUE (log.text().contains ("The device has no response.\n")) << log.text();
    link.reset(); // closes the stalled output
}

TEST_F (AlsaRawNode, PortsTheUserMayNotOpenAreLoggedOncePerScanAndReported)
{
    struct Case
    {
        const char* what;
        bool withOpenablePort;
        int portsDenied, notFound;
    };
    const Case cases[] = {
        // Told at once (window 0), and again in place of "not found" at the end.
        { "the only port", false, 2, 0 },
        { "beside a port that opens", true, 0, 1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        AlsaRawOptions options;
        options.deviceFolder = folder.getFullPathName();
        options.listCards = oneCard;
        options.openNode = [] (const char*, int)
        {
            errno = EACCES;
            return -1;
        };
        std::vector<std::unique_ptr<MidiPortSystem>> systems;
        systems.push_back (createAlsaRawMidiPorts (options));
        if (c.withOpenablePort)
        {
            auto silent = std::make_shared<FakeMidiPorts::State>();
            silent->inputNames = { "Drum Pad In" };
            silent->outputNames = { "Drum Pad Out" };
            systems.push_back (std::make_unique<FakeMidiPorts> (silent));
        }

        MessageCollector messages;
        LogCapture log;
        Communication link (createCompositeMidiPorts (std::move (systems)));
        link.listener = &messages;
        link.log = &log.printer;

        link.rescan();
        pumpMessages();
        EXPECT_EQ (messages.count (MessageCode::PortsDenied), c.portsDenied > 0 ? 1 : 0);
        while (link.isProbing())
            link.timerCallback();
        pumpMessages();

        const auto line = "Can't open " + node.path + ": Permission denied\n";
        EXPECT_EQ (log.text(), line);
        EXPECT_EQ (messages.count (MessageCode::PortsDenied), c.portsDenied);
        EXPECT_EQ (messages.count (MessageCode::DeviceNotFound), c.notFound);

        // A new scan tells it again.
        link.rescan();
        pumpMessages();
        EXPECT_EQ (log.text(), line + line);
        link.listener = nullptr;
    }
}

#endif
