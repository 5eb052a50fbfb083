// The port layer below the device link: SysEx joining from a byte stream, and the socket ports
// against a listening socket that plays the instrument's end of the cable, over each transport
// the system has (Unix-domain sockets where there are any, loopback TCP everywhere).

#include "common/Sockets.h"
#include "devicelink/MidiPorts.h"
#include "devicelink/MidiStreamParser.h"
#include "support/Environment.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#if ! defined(_WIN32)
 #include <sys/un.h>
#endif

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
enum class Transport { unixSocket, tcp };

std::string transportName (Transport t) { return t == Transport::tcp ? "Tcp" : "Unix"; }
void PrintTo (Transport t, std::ostream* os) { *os << transportName (t); }

std::vector<Transport> transports()
{
   #if defined(_WIN32)
    return { Transport::tcp };
   #else
    return { Transport::unixSocket, Transport::tcp };
   #endif
}

class Listener
{
public:
    explicit Listener (Transport transport)
    {
        dir = makeTestFolder ("talvek-ports");
        int error = 0;
        if (transport == Transport::tcp)
        {
            std::uint16_t port = 0;
            fd = sockets::listenLoopback (0, port, error);
            path = sockets::tcpAddress (port);
        }
       #if ! defined(_WIN32)
        else
        {
            path = dir.getChildFile ("instrument.sock").getFullPathName();
            fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a {};
            a.sun_family = AF_UNIX;
            std::strncpy (a.sun_path, path.toRawUTF8(), sizeof (a.sun_path) - 1);
            EXPECT_EQ (::bind (fd, reinterpret_cast<sockaddr*> (&a), sizeof (a)), 0);
            EXPECT_EQ (::listen (fd, 4), 0);
        }
       #endif
        EXPECT_NE (fd, sockets::invalidHandle) << sockets::errorText (error);
    }

    ~Listener()
    {
        sockets::close (fd);
        // The folder listing skips sockets, so the socket goes first or the folder stays.
        std::error_code ignored;
        std::filesystem::remove (path.toStdString(), ignored);
        dir.deleteRecursively();
    }

    // The next connection, or invalidHandle when none comes within the time.
    sockets::Handle accept (int timeoutMs = 2000)
    {
        sockets::PollEntry p { fd, sockets::pollIn, 0 };
        if (sockets::poll (&p, 1, timeoutMs) <= 0)
            return sockets::invalidHandle;
        return sockets::accept (fd);
    }

    juce::File dir;
    juce::String path;
    sockets::Handle fd = sockets::invalidHandle;
};

void sendAll (sockets::Handle peer, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const long n = sockets::send (peer, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += (std::size_t) n;
        else if (n < 0 && sockets::wouldBlock (sockets::lastError()))
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        else
            FAIL() << "send to the port failed: " << sockets::errorText (sockets::lastError());
    }
}

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

bool readExactly (sockets::Handle fd, Bytes& out, std::size_t n)
{
    out.resize (n);
    std::size_t done = 0;
    while (done < n)
    {
        sockets::PollEntry p { fd, sockets::pollIn, 0 };
        if (sockets::poll (&p, 1, 2000) <= 0)
            return false;
        const auto r = sockets::receive (fd, out.data() + done, n - done);
        if (r <= 0)
            return false;
        done += (std::size_t) r;
    }
    return true;
}
} // namespace

TEST (SocketPorts, EntriesOfTheListVariable)
{
    struct Case
    {
        const char* text;
        juce::StringArray entries;
    };
   #if defined(_WIN32)
    const Case cases[] = {
        { "tcp:5000", { "tcp:5000" } },
        { "tcp:5000;;tcp:5001", { "tcp:5000", "tcp:5001" } },
        { "C:\\Temp\\a.sock; tcp:7", { "C:\\Temp\\a.sock", "tcp:7" } },
        { "", {} },
    };
   #else
    const Case cases[] = {
        { "/tmp/a.sock::/tmp/b.sock", { "/tmp/a.sock", "/tmp/b.sock" } },
        { "tcp:5000", { "tcp:5000" } },
        { "/tmp/a.sock:tcp:5000:/tmp/b.sock", { "/tmp/a.sock", "tcp:5000", "/tmp/b.sock" } },
        { "tcp", { "tcp" } }, // a path of that name
        { "", {} },
    };
   #endif
    for (const auto& c : cases)
        EXPECT_EQ (parseSocketList (c.text), c.entries) << c.text;
}

TEST (SocketPorts, ListsTheEntriesOfTheEnvironment)
{
    auto system = createSocketMidiPorts();
    std::vector<MidiPortInfo> inputs, outputs;
    {
       #if defined(_WIN32)
        const ScopedEnvironment list ("TALVEK_MIDI_SOCKETS", "tcp:5000;tcp:5001");
       #else
        const ScopedEnvironment list ("TALVEK_MIDI_SOCKETS", "tcp:5000:/tmp/b.sock");
       #endif
        inputs = system->getInputs();
        outputs = system->getOutputs();
    }
    ASSERT_EQ (inputs.size(), 2u);
    ASSERT_EQ (outputs.size(), 2u);
    EXPECT_EQ (inputs[0].name, "tcp:5000");
    EXPECT_EQ (outputs[1].name, outputs[1].identifier);
    EXPECT_TRUE (system->getInputs().empty());
}

class SocketTransport : public ::testing::TestWithParam<Transport>
{
};

INSTANTIATE_TEST_SUITE_P (Transports, SocketTransport, ::testing::ValuesIn (transports()),
                          [] (const auto& info) { return transportName (info.param); });

TEST_P (SocketTransport, InputAndOutputShareOneConnectionThatCarriesRawBytes)
{
    Listener server (GetParam());
    auto system = createSocketMidiPorts ({ server.path });
    Collector collector;

    auto in = system->openInput (system->getInputs()[0], collector);
    ASSERT_NE (in, nullptr);
    const auto peer = server.accept();
    ASSERT_NE (peer, sockets::invalidHandle);
    auto out = system->openOutput (system->getOutputs()[0]);
    ASSERT_NE (out, nullptr);
    EXPECT_EQ (server.accept (100), sockets::invalidHandle) << "the output opened a second connection";
    in->start();

    // From the instrument: a frame in pieces with a clock byte inside, then a note.
    const Bytes reply { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x02, 0x01, 0xF7 };
    const Bytes pieces[] = { { 0xF0, 0x00, 0x20 }, { 0x54, 0xF8, 0x7D, 0x09 }, { 0x02, 0x01, 0xF7, 0x90, 0x40, 0x7F } };
    for (const auto& p : pieces)
    {
        sendAll (peer, p);
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
    sockets::close (peer);
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
    const auto second = server.accept();
    ASSERT_NE (second, sockets::invalidHandle);
    EXPECT_TRUE (again->sendMessage (frame.data(), 9));
    sockets::close (second);
}

TEST (SocketPorts, NothingListeningMeansNoPortAndSaysWhy)
{
    // A port that was free a moment ago: nothing listens on it.
    std::uint16_t freePort = 0;
    int error = 0;
    sockets::close (sockets::listenLoopback (0, freePort, error));

    struct Case
    {
        juce::String entry;
        juce::String reasonHas; // empty: the system's words, whatever they are
    };
    std::vector<Case> cases = {
        { juce::String (sockets::tcpAddress (freePort)), {} },
        { "tcp:0", "tcp:PORT" },
        { "tcp:70000", "tcp:PORT" },
        { "tcp:12ab", "tcp:PORT" },
    };
   #if defined(_WIN32)
    cases.push_back ({ "C:\\nonexistent\\talvek.sock", "tcp:PORT" });
   #else
    cases.push_back ({ "/nonexistent/talvek.sock", "No such file" });
   #endif
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.entry);
        auto system = createSocketMidiPorts ({ c.entry });
        Collector collector;
        EXPECT_EQ (system->openInput (system->getInputs()[0], collector), nullptr);
        EXPECT_EQ (system->openOutput (system->getOutputs()[0]), nullptr);
        const auto why = system->getLastOpenError();
        EXPECT_EQ (why.path, c.entry);
        EXPECT_TRUE (why.reason.isNotEmpty());
        EXPECT_TRUE (why.reason.contains (c.reasonHas)) << why.reason;
    }
}

TEST_P (SocketTransport, StoppingAnInputWaitsForItsCallback)
{
    Listener server (GetParam());
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
    const auto peer = server.accept();
    in->start();
    sendAll (peer, { 0xF8 }); // a clock byte
    while (! slow.entered)
        std::this_thread::yield();
    in->stop();
    EXPECT_TRUE (slow.finished);
    sockets::close (peer);
}

// A port that sees every byte tells when a frame begins, before the frame is whole, and when it
// has ended, in order with the message itself.
TEST_P (SocketTransport, AFrameIsReportedFromItsFirstByte)
{
    Listener server (GetParam());
    auto system = createSocketMidiPorts ({ server.path });

    struct Activity : Collector
    {
        void lineActivity (MidiInPort*, bool frameArriving) override
        {
            const std::lock_guard<std::mutex> g (mutex);
            events += frameArriving ? 'B' : 'E';
            events += char ('0' + std::min<std::size_t> (got.size(), 9));
            changed.notify_all();
        }
        bool waitForEvents (std::size_t n)
        {
            std::unique_lock<std::mutex> l (mutex);
            return changed.wait_for (l, std::chrono::seconds (2), [&] { return events.size() >= n; });
        }
        std::string eventsSoFar()
        {
            const std::lock_guard<std::mutex> g (mutex);
            return events;
        }
        std::string events; // B: began, E: ended; each with the messages delivered by then
    } activity;

    auto in = system->openInput (system->getInputs()[0], activity);
    ASSERT_NE (in, nullptr);
    const auto peer = server.accept();
    in->start();

    sendAll (peer, { 0xF0, 0x00, 0x20 });
    ASSERT_TRUE (activity.waitForEvents (2));
    EXPECT_EQ (activity.eventsSoFar(), "B0");
    sendAll (peer, { 0x54, 0x7D, 0x00, 0x00, 0xF7 });
    ASSERT_TRUE (activity.waitForEvents (4));
    EXPECT_EQ (activity.eventsSoFar(), "B0E1");

    // A clock byte is no frame; a frame broken by a status byte ends there.
    sendAll (peer, { 0xF8, 0xF0, 0x01, 0x90, 0x40, 0x7F });
    ASSERT_TRUE (activity.waitForEvents (8));
    const auto later = activity.eventsSoFar().substr (4);
    EXPECT_EQ (later.size(), 4u);
    EXPECT_EQ (later[0], 'B');
    EXPECT_EQ (later[2], 'E');
    in->stop();
    sockets::close (peer);
}

TEST (PlatformPorts, SocketsAreListedAfterTheDevicesOfThePlatform)
{
    auto system = createPlatformMidiPorts();
    const auto devices = system->getOutputs().size(); // none on a machine without sound cards

    std::vector<MidiPortInfo> inputs, outputs;
    {
        const ScopedEnvironment list ("TALVEK_MIDI_SOCKETS", "tcp:1");
        inputs = system->getInputs();
        outputs = system->getOutputs();
    }

    ASSERT_EQ (outputs.size(), devices + 1);
    EXPECT_EQ (outputs.back().name, "tcp:1");
    EXPECT_EQ (inputs.back().name, "tcp:1");
    // Opened through the list that named it: nothing listens there.
    EXPECT_EQ (system->openOutput (outputs.back()), nullptr);
}
