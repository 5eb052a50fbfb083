// talvek-update against an instrument whose link misbehaves the ways the device link once lost
// to: the answers to the update's reads held back, and doubled Acks on a fast link. In real
// time, with the emulated instrument's flash timing.
#include "CliRun.h"
#include "LineTap.h"
#include "support/FaultRecord.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

using namespace clitest;

namespace
{
using testsupport::faultsFired;
using testsupport::readBeforeFirstHold;

emu::Fault fault (const std::string& spec)
{
    std::string error;
    const auto parsed = emu::parseFault (spec, &error);
    EXPECT_TRUE (parsed.has_value()) << spec << ": " << error;
    return parsed.value_or (emu::Fault {});
}

// A host of our own on the line: connects, sends frames and reads what comes back.
class RawHost
{
public:
    explicit RawHost (const juce::String& path)
    {
        fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::strncpy (addr.sun_path, path.toRawUTF8(), sizeof addr.sun_path - 1);
        EXPECT_EQ (::connect (fd, reinterpret_cast<const sockaddr*> (&addr), sizeof addr), 0) << std::strerror (errno);
    }
    ~RawHost() { ::close (fd); }

    void send (const emu::wire::Bytes& frame) { EXPECT_EQ (::send (fd, frame.data(), frame.size(), MSG_NOSIGNAL), long (frame.size())); }

    // Waits for `n` more frames from the instrument.
    bool receive (int n)
    {
        std::uint8_t byte = 0;
        while (n > 0)
        {
            pollfd p { fd, POLLIN, 0 };
            if (::poll (&p, 1, 5000) <= 0 || ::recv (fd, &byte, 1, 0) != 1)
                return false;
            n -= parser.feed (byte) ? 1 : 0;
        }
        return true;
    }

private:
    int fd = -1;
    emu::wire::StreamParser parser;
};

double secondsSince (std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
}
} // namespace

// The answers to reads 3..40 of the update each held back 700 ms, read frames waiting for the
// host's Ack: the first backup read and the ones after it take them, and the update still ends
// with the file in place and the instrument's own area as it was. The instrument is busy while
// it holds an answer: a re-request is taken afterwards and its answer follows the held one.
TEST (TerminalLinkPatterns, LateAnswersInAckedReadModeStillGiveTheRightFlash)
{
    Bench bench;
    emu::Config config;
    config.mode = emu::LinkMode::FS;
    config.readFlags = emu::ReadFlagStyle::WaitForAck;
    config.readFramePackedSize = 600;
    config.timing = emu::Timing::realistic();
    // Before the update the tool reads the identity and the tag: the update's reads are the
    // session's from the third on.
    const int readsBefore = 2;
    for (int n = 3; n <= 40; ++n)
        config.faults.push_back (fault ("delay@read-block:" + std::to_string (readsBefore + n) + ",ms=700"));
    auto& instrument = bench.addInstrument (config);
    const auto ownArea = instrument.readFlash (0x40000, 0x20000);
    const auto file = bench.writeUpdate ("u.bin", 0x40000);

    const auto start = std::chrono::steady_clock::now();
    const auto run = bench.run ({ "update", file.getFullPathName(), "--yes" }, 300000);
    const auto record = instrument.record();
    std::printf ("[ real time ] update with 38 answers held 700 ms: %.1f s, %llu read requests\n", secondsSince (start),
                 (unsigned long long) record.readBlocks);

    EXPECT_EQ (run.exitCode, 0) << run;
    EXPECT_TRUE (run.out.contains ("Update completed successfully.")) << run;
    EXPECT_TRUE (instrument.readFlash (0, 0x40000) == bytesOf (file));
    EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);
    EXPECT_EQ (faultsFired (record, "delay@").size(), 38u) << "every held answer was asked for";
    const auto before = readBeforeFirstHold (record);
    ASSERT_TRUE (before.has_value());
    EXPECT_TRUE (*before >= 0x40000 && *before < 0x60000) << "the holds begin in the backup of the instrument's own area, not at "
                                                           << std::hex << *before;
}

// Every 7th Ack of the instrument sent twice, from the session's start: the driver uploads and
// the update's program blocks never leave before the instrument's Ack of the block before them
// has passed the line, and the update ends with the right flash.
TEST (TerminalLinkPatterns, DoubledAcksNeverSendABlockAhead)
{
    for (const double rate : { 800000.0, 100000.0 })
    {
        SCOPED_TRACE (rate);
        Bench bench;
        emu::Config config;
        config.timing = emu::Timing::realistic();
        config.timing.linkBytesPerSecond = rate;
        config.faults.push_back (fault ("duplicate-ack,count=0,every=7"));
        auto& instrument = bench.addInstrument (config);
        const auto ownArea = instrument.readFlash (0x40000, 0x20000);
        const auto file = bench.writeUpdate ("u.bin", 0x40000);

        const auto tapPath = bench.file ("tap.sock").getFullPathName();
        LineTap tap (tapPath, bench.socket (0));
        auto environment = bench.environment();
        environment.set ("TALVEK_MIDI_SOCKETS", tapPath);
        const auto start = std::chrono::steady_clock::now();
        const auto run = Child (juce::StringArray { "update", file.getFullPathName(), "--yes" }, environment,
                                file.getParentDirectory())
                             .wait (300000);
        std::printf ("[ real time ] update at %.0f B/s, every 7th Ack doubled: %.1f s\n", rate, secondsSince (start));

        EXPECT_EQ (run.exitCode, 0) << run;
        EXPECT_TRUE (run.out.contains ("Update completed successfully.")) << run;
        EXPECT_TRUE (instrument.readFlash (0, 0x40000) == bytesOf (file));
        EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);

        const auto record = instrument.record();
        const auto doublings = faultsFired (record, "duplicate-ack");
        EXPECT_GT (doublings.size(), 10u) << "Acks were doubled";
        EXPECT_EQ (record.count (emu::EventKind::Rejected), 0u);
        EXPECT_EQ (record.count (emu::EventKind::Malformed), 0u);
        std::set<std::uint64_t> doubled;
        for (const auto& e : doublings)
            doubled.insert (e.frame);
        std::string why;
        const auto frames = tap.frames();
        EXPECT_EQ (LineTap::dataAhead (frames, doubled, why), 0) << why;
        EXPECT_FALSE (juce::String (why).contains ("expected")) << why;
        EXPECT_GT (frames.size(), 100u) << "the tool's traffic went through the tap";
    }
}

// The tap itself: a host that sends a block before the Ack of the one before it is seen, also
// when a doubled Ack made it do so; one that waits for each Ack is not.
TEST (TerminalLinkPatterns, TheLineTapSeesABlockSentAhead)
{
    struct Case
    {
        const char* what;
        bool waitForEachAck;
        const char* fault;
        int acks; // on the line, copies included
        int ahead;
    };
    const Case cases[] = {
        { "each block after its predecessor's Ack", true, nullptr, 3, 0 },
        { "each block after its predecessor's Ack, every 2nd Ack doubled", true, "duplicate-ack,count=0,every=2", 4, 0 },
        // The copy of the first Ack taken for the second block's: the third leaves early.
        { "each block after one Ack, every Ack doubled", true, "duplicate-ack,count=0", 6, 1 },
        { "three blocks at once", false, nullptr, 3, 2 },
        { "three blocks at once, every 2nd Ack doubled", false, "duplicate-ack,count=0,every=2", 4, 2 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        Bench bench;
        emu::Config config;
        config.timing = emu::Timing::realistic();
        if (c.fault != nullptr)
            config.faults.push_back (fault (c.fault));
        auto& instrument = bench.addInstrument (config);
        const auto tapPath = bench.file ("tap.sock").getFullPathName();
        LineTap tap (tapPath, bench.socket (0));
        {
            RawHost host (tapPath);
            host.send (emu::wire::frame (emu::wire::cmdRamLoad));
            const emu::wire::Bytes block (4096, 0x5A);
            const auto data = emu::wire::frame (emu::wire::cmdData, emu::wire::pack (block.data(), block.size()));
            int received = 0;
            for (int i = 0; i < 3; ++i)
            {
                host.send (data);
                if (c.waitForEachAck)
                {
                    ASSERT_TRUE (host.receive (1));
                    ++received;
                }
            }
            ASSERT_TRUE (host.receive (c.acks - received));
        }
        std::set<std::uint64_t> doubled;
        for (const auto& e : faultsFired (instrument.record(), "duplicate-ack"))
            doubled.insert (e.frame);
        std::string why;
        EXPECT_EQ (LineTap::dataAhead (tap.frames(), doubled, why), c.ahead) << why;
        EXPECT_FALSE (juce::String (why).contains ("expected")) << why;
    }
}
