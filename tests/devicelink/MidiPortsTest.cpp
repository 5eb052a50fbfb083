// The port layer below the device link: SysEx joining from a byte stream, and the socket ports
// against a listening socket that plays the instrument's end of the cable.

#include "devicelink/MidiPorts.h"
#include "devicelink/MidiStreamParser.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using Bytes = std::vector<std::uint8_t>;

namespace
{
std::vector<Bytes> parse (const Bytes& stream, int chunk = 1 << 20)
{
    MidiStreamParser parser;
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < stream.size(); i += (std::size_t) chunk)
    {
        const auto n = std::min<std::size_t> ((std::size_t) chunk, stream.size() - i);
        parser.feed (stream.data() + i, (int) n, [&] (const std::uint8_t* d, int s) { out.emplace_back (d, d + s); });
    }
    return out;
}

Bytes sysEx (int dataBytes, std::uint8_t fill = 0x11)
{
    Bytes b (1, 0xF0);
    b.insert (b.end(), (std::size_t) dataBytes, fill);
    b.push_back (0xF7);
    return b;
}

Bytes operator+ (Bytes a, const Bytes& b)
{
    a.insert (a.end(), b.begin(), b.end());
    return a;
}
} // namespace

TEST (MidiStreamParser, JoinsSysExFromPieces)
{
    const auto frame = sysEx (4687);
    for (int chunk : { 1, 7, 256, 4096 })
    {
        const auto got = parse (frame, chunk);
        ASSERT_EQ (got.size(), 1u) << "chunk " << chunk;
        EXPECT_EQ (got[0], frame);
    }
}

TEST (MidiStreamParser, StreamRules)
{
    struct Case
    {
        const char* what;
        Bytes stream;
        std::vector<Bytes> expected;
    };
    const Case cases[] = {
        { "real-time bytes inside a SysEx are ignored",
          { 0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xFF, 0x03, 0xF7 }, { { 0xF0, 0x01, 0x02, 0x03, 0xF7 } } },
        { "real-time bytes outside one are messages",
          { 0xF8, 0xF0, 0x01, 0xF7, 0xFA }, { { 0xF8 }, { 0xF0, 0x01, 0xF7 }, { 0xFA } } },
        { "a status byte inside a SysEx breaks it and counts",
          { 0xF0, 0x01, 0x02, 0x90, 0x40, 0x7F, 0xF7 }, { { 0x90, 0x40, 0x7F } } },
        { "a new F0 inside a SysEx breaks the first",
          { 0xF0, 0x01, 0x02, 0xF0, 0x03, 0xF7 }, { { 0xF0, 0x03, 0xF7 } } },
        { "a stray F7 is nothing", { 0xF7, 0x01, 0xF0, 0x05, 0xF7 }, { { 0xF0, 0x05, 0xF7 } } },
        { "running status", { 0x90, 0x40, 0x7F, 0x41, 0x00, 0xC0, 0x05, 0x06 },
          { { 0x90, 0x40, 0x7F }, { 0x90, 0x41, 0x00 }, { 0xC0, 0x05 }, { 0xC0, 0x06 } } },
        { "a system common message clears running status",
          { 0x90, 0x40, 0x7F, 0xF3, 0x01, 0x41, 0x00 }, { { 0x90, 0x40, 0x7F }, { 0xF3, 0x01 } } },
        { "data bytes with no status are nothing", { 0x01, 0x02, 0xF6 }, { { 0xF6 } } },
    };
    for (const auto& c : cases)
        EXPECT_EQ (parse (c.stream), c.expected) << c.what;
}

TEST (MidiStreamParser, SysExIsBounded)
{
    const auto largest = sysEx (MidiStreamParser::maxSysExSize - 2);
    const auto tooLarge = sysEx (MidiStreamParser::maxSysExSize - 1);
    const auto next = sysEx (3, 0x22);

    EXPECT_EQ (parse (largest + next), (std::vector<Bytes> { largest, next }));
    // The oversized one is dropped whole; the stream recovers at the next status byte.
    EXPECT_EQ (parse (tooLarge + next, 1000), (std::vector<Bytes> { next }));
    EXPECT_EQ (parse (sysEx (20000) + Bytes { 0x90, 0x40, 0x7F }), (std::vector<Bytes> { { 0x90, 0x40, 0x7F } }));
}

// ---- Socket ports ---------------------------------------------------------------------------

namespace
{
class Listener
{
public:
    Listener()
    {
        dir = makeTestFolder ("talvek-ports");
        path = dir.getChildFile ("instrument.sock").getFullPathName();

        fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a {};
        a.sun_family = AF_UNIX;
        std::strncpy (a.sun_path, path.toRawUTF8(), sizeof (a.sun_path) - 1);
        EXPECT_EQ (::bind (fd, reinterpret_cast<sockaddr*> (&a), sizeof (a)), 0);
        EXPECT_EQ (::listen (fd, 4), 0);
    }

    ~Listener()
    {
        ::close (fd);
        // The folder listing skips sockets, so the socket goes first or the folder stays.
        ::unlink (path.toRawUTF8());
        dir.deleteRecursively();
    }

    // The next connection, or -1 when none comes within the time.
    int accept (int timeoutMs = 2000)
    {
        pollfd p { fd, POLLIN, 0 };
        if (::poll (&p, 1, timeoutMs) <= 0)
            return -1;
        return ::accept4 (fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    juce::File dir;
    juce::String path;
    int fd = -1;
};

struct Collector : MidiInPortCallback
{
    void handleIncomingMidiMessage (MidiInPort*, const juce::MidiMessage& m) override
    {
        const std::lock_guard<std::mutex> g (mutex);
        got.emplace_back (m.getRawData(), m.getRawData() + m.getRawDataSize());
        changed.notify_all();
    }

    bool waitFor (std::size_t n, int timeoutMs = 2000)
    {
        std::unique_lock<std::mutex> l (mutex);
        return changed.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return got.size() >= n; });
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

bool readExactly (int fd, Bytes& out, std::size_t n)
{
    out.resize (n);
    std::size_t done = 0;
    while (done < n)
    {
        pollfd p { fd, POLLIN, 0 };
        if (::poll (&p, 1, 2000) <= 0)
            return false;
        const auto r = ::read (fd, out.data() + done, n - done);
        if (r <= 0)
            return false;
        done += (std::size_t) r;
    }
    return true;
}
} // namespace

TEST (SocketPorts, ListsThePathsOfTheEnvironment)
{
    auto system = createSocketMidiPorts();
    ::setenv ("TALVEK_MIDI_SOCKETS", "/tmp/a.sock::/tmp/b.sock", 1);
    const auto inputs = system->getInputs();
    const auto outputs = system->getOutputs();
    ::unsetenv ("TALVEK_MIDI_SOCKETS");

    ASSERT_EQ (inputs.size(), 2u);
    ASSERT_EQ (outputs.size(), 2u);
    EXPECT_EQ (inputs[0].name, "/tmp/a.sock");
    EXPECT_EQ (outputs[1].name, "/tmp/b.sock");
    EXPECT_TRUE (system->getInputs().empty());
}

TEST (SocketPorts, InputAndOutputShareOneConnectionThatCarriesRawBytes)
{
    Listener server;
    auto system = createSocketMidiPorts ({ server.path });
    Collector collector;

    auto in = system->openInput (system->getInputs()[0], collector);
    ASSERT_NE (in, nullptr);
    const int peer = server.accept();
    ASSERT_GE (peer, 0);
    auto out = system->openOutput (system->getOutputs()[0]);
    ASSERT_NE (out, nullptr);
    EXPECT_LT (server.accept (100), 0) << "the output opened a second connection";
    in->start();

    // From the instrument: a frame in pieces with a clock byte inside, then a note.
    const Bytes reply { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x02, 0x01, 0xF7 };
    const Bytes pieces[] = { { 0xF0, 0x00, 0x20 }, { 0x54, 0xF8, 0x7D, 0x09 }, { 0x02, 0x01, 0xF7, 0x90, 0x40, 0x7F } };
    for (const auto& p : pieces)
    {
        ASSERT_EQ (::write (peer, p.data(), p.size()), (ssize_t) p.size());
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
    ASSERT_TRUE (collector.waitFor (2));
    EXPECT_EQ (collector.messages(), (std::vector<Bytes> { reply, { 0x90, 0x40, 0x7F } }));

    // To the instrument: a whole Data frame, unchanged.
    Bytes frame (4689, 0x55);
    frame.front() = 0xF0;
    frame.back() = 0xF7;
    EXPECT_TRUE (out->sendMessage (frame.data(), (int) frame.size()));
    Bytes received;
    ASSERT_TRUE (readExactly (peer, received, frame.size()));
    EXPECT_EQ (received, frame);

    // The cable is pulled: nothing more is delivered, sends fail, nothing crashes.
    ::close (peer);
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
    // Outputs write on a thread of their own: the write that finds the cable gone fails, and
    // from then on every send does.
    bool failed = false;
    for (int i = 0; i < 100 && ! failed; ++i)
    {
        failed = ! out->sendMessage (frame.data(), (int) frame.size());
        std::this_thread::sleep_for (std::chrono::milliseconds (10));
    }
    EXPECT_TRUE (failed);
    EXPECT_FALSE (out->sendMessage (frame.data(), (int) frame.size()));
    EXPECT_EQ (collector.messages().size(), 2u);
    in->stop();
    in.reset();
    out.reset();

    // Plugged in again: the next open makes a new connection.
    auto again = system->openOutput (system->getOutputs()[0]);
    ASSERT_NE (again, nullptr);
    const int second = server.accept();
    ASSERT_GE (second, 0);
    EXPECT_TRUE (again->sendMessage (frame.data(), 9));
    ::close (second);
}

TEST (SocketPorts, NothingListeningMeansNoPort)
{
    auto system = createSocketMidiPorts ({ "/nonexistent/talvek.sock" });
    Collector collector;
    EXPECT_EQ (system->openInput (system->getInputs()[0], collector), nullptr);
    EXPECT_EQ (system->openOutput (system->getOutputs()[0]), nullptr);
}

TEST (SocketPorts, StoppingAnInputWaitsForItsCallback)
{
    Listener server;
    auto system = createSocketMidiPorts ({ server.path });

    struct Slow : MidiInPortCallback
    {
        void handleIncomingMidiMessage (MidiInPort*, const juce::MidiMessage&) override
        {
            entered = true;
            std::this_thread::sleep_for (std::chrono::milliseconds (100));
            finished = true;
        }
        std::atomic<bool> entered { false }, finished { false };
    } slow;

    auto in = system->openInput (system->getInputs()[0], slow);
    ASSERT_NE (in, nullptr);
    const int peer = server.accept();
    in->start();
    const std::uint8_t clock = 0xF8;
    ASSERT_EQ (::write (peer, &clock, 1), 1);
    while (! slow.entered)
        std::this_thread::yield();
    in->stop();
    EXPECT_TRUE (slow.finished);
    ::close (peer);
}

TEST (PlatformPorts, SocketsAreListedAfterTheDevicesOfThePlatform)
{
    auto system = createPlatformMidiPorts();
    const auto devices = system->getOutputs().size(); // none on a machine without sound cards

    ::setenv ("TALVEK_MIDI_SOCKETS", "/tmp/x.sock", 1);
    const auto inputs = system->getInputs();
    const auto outputs = system->getOutputs();
    ::unsetenv ("TALVEK_MIDI_SOCKETS");

    ASSERT_EQ (outputs.size(), devices + 1);
    EXPECT_EQ (outputs.back().name, "/tmp/x.sock");
    EXPECT_EQ (inputs.back().name, "/tmp/x.sock");
    // Opened through the list that named it: nothing listens there.
    EXPECT_EQ (system->openOutput (outputs.back()), nullptr);
}
