// Every injected fault fires at its chosen point, and nothing happens before it.

#if TALVEK_HAVE_EMULATOR

#include "EmulatorTestHost.h"
#include "emulator/Instrument.h"

#include <gtest/gtest.h>

using namespace talvek::emu;
using namespace emutest;

namespace
{
constexpr std::uint32_t area = 0x100000; // sectors 8 to 10, erased by the rig
constexpr auto quiet = 250ms;            // long enough for an instant emulator to have answered

// A connected host with the fitted driver loaded and three erased sectors; faults injected
// afterwards count from there.
struct Rig
{
    explicit Rig (Config config = {}) : s (std::move (config)), host (s.path)
    {
        EXPECT_EQ (host.upload (flashDriver ("S29GL512_S", 512)), std::vector<int> { 0 });
        for (std::uint32_t i = 0; i < 3; ++i)
        {
            host.send (eraseFrame (area + i * sectorSize));
            EXPECT_EQ (host.ackStatus(), 0);
        }
    }
    Fault arm (const char* spec)
    {
        std::string error;
        const auto f = parseFault (spec, &error);
        EXPECT_TRUE (f.has_value()) << error;
        s.instrument.injectFault (*f);
        return *f;
    }
    Bytes flash (std::uint32_t address, std::size_t n) { return s.instrument.readFlash (address, n); }

    Served s;
    TestHost host;
};

Bytes blockOf (const Bytes& data, int i) { return Bytes (data.begin() + i * 4096, data.begin() + (i + 1) * 4096); }
} // namespace

TEST (EmulatorFault, AckStatusReplacesTheOperationAtItsPoint)
{
    for (int status : { 1, 2, 3 })
    {
        SCOPED_TRACE (status);
        const std::string kind = status == 1 ? "refuse" : "ack-status-" + std::to_string (status);
        const auto at = [&kind] (const char* point) { return kind + "@" + point; };
        Rig rig;
        rig.arm (at ("program-block:3").c_str());
        const Bytes data = pattern (4 * 4096, 3);
        rig.host.send (addressFrame (area, 0));
        EXPECT_EQ (rig.host.sendBlocks (data), (std::vector<int> { 0, 0, status, 0 }));
        EXPECT_EQ (rig.flash (area, 4096), blockOf (data, 0));
        EXPECT_EQ (rig.flash (area + 0x2000, 4096), Bytes (4096, 0xFF)); // not programmed
        EXPECT_EQ (rig.flash (area + 0x3000, 4096), blockOf (data, 3));   // the next block kept its place

        rig.arm (at ("erase:2").c_str());
        rig.host.send (eraseFrame (area));
        EXPECT_EQ (rig.host.ackStatus(), 0);
        rig.host.send (eraseFrame (area + sectorSize));
        EXPECT_EQ (rig.host.ackStatus(), status);
        EXPECT_EQ (rig.s.instrument.record().eraseCount (9), 1); // only the rig's erase
        EXPECT_EQ (rig.s.instrument.record().eraseCount (8), 2);

        rig.arm (at ("test:2").c_str());
        rig.host.send (runTestFrame());
        EXPECT_EQ (rig.host.ackStatus(), 0);
        rig.host.send (runTestFrame());
        EXPECT_EQ (rig.host.ackStatus(), status);

        // A driver block answered so is not loaded: RAM holds no driver afterwards.
        rig.arm (at ("block:1").c_str());
        EXPECT_EQ (rig.host.upload (flashDriver ("S29GL512_S", 512)), std::vector<int> { status });
        rig.host.send (runTestFrame());
        EXPECT_EQ (rig.host.ackStatus(), 1);
        EXPECT_EQ (rig.s.instrument.record().driverLoads.size(), 1u); // only the rig's
    }
}

TEST (EmulatorFault, DroppedReplies)
{
    Rig rig;
    rig.arm ("drop-reply@program-block:2");
    const Bytes data = pattern (3 * 4096, 4);
    rig.host.send (addressFrame (area, 0));
    rig.host.send (dataFrame (blockOf (data, 0)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    rig.host.send (dataFrame (blockOf (data, 1)));
    EXPECT_EQ (rig.host.ackStatus (quiet), -1);
    rig.host.send (dataFrame (blockOf (data, 2)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    EXPECT_EQ (rig.flash (area, data.size()), data); // the work was done, only the reply was lost

    // Three read requests in a row go unanswered, the fourth is served.
    rig.arm ("drop-reply@read-block:2,count=3");
    ASSERT_TRUE (rig.host.readBlock (area, true).has_value());
    for (int i = 0; i < 3; ++i)
    {
        rig.host.send (addressFrame (area, 1));
        EXPECT_FALSE (rig.host.nextOurs (quiet).has_value()) << i;
    }
    const auto r = rig.host.readBlock (area, true);
    ASSERT_TRUE (r.has_value());
    EXPECT_TRUE (std::equal (data.begin(), data.begin() + 4096, r->block.begin()));
}

TEST (EmulatorFault, DuplicatedAck)
{
    Rig rig;
    rig.arm ("duplicate-ack@program-block:2");
    const Bytes data = pattern (3 * 4096, 5);
    rig.host.send (addressFrame (area, 0));
    rig.host.send (dataFrame (blockOf (data, 0)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    EXPECT_EQ (rig.host.ackStatus (quiet), -1);
    rig.host.send (dataFrame (blockOf (data, 1)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    EXPECT_EQ (rig.host.ackStatus(), 0);
    rig.host.send (dataFrame (blockOf (data, 2)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    EXPECT_EQ (rig.host.ackStatus (quiet), -1);
}

TEST (EmulatorFault, EveryNthReply)
{
    Rig rig;
    rig.arm ("duplicate-ack@program-block:2,count=2,every=3");
    const Bytes data = pattern (10 * 4096, 10);
    rig.host.send (addressFrame (area, 0));
    std::vector<int> acks;
    for (int i = 0; i < 10; ++i)
    {
        rig.host.send (dataFrame (blockOf (data, i)));
        int n = 0;
        for (auto timeout = 3000ms; rig.host.ackStatus (timeout) == 0; timeout = quiet)
            ++n;
        acks.push_back (n);
    }
    // From the second block on, the third and the sixth Ack are doubled; count=2 ends it there.
    EXPECT_EQ (acks, (std::vector<int> { 1, 1, 1, 2, 1, 1, 2, 1, 1, 1 }));
    EXPECT_EQ (rig.flash (area, data.size()), data);
}

TEST (EmulatorFault, DelayedReply)
{
    Rig rig;
    rig.arm ("delay@read-block:2,ms=1500");
    ASSERT_TRUE (rig.host.readBlock (area, true).has_value());
    rig.host.send (addressFrame (area, 1));
    EXPECT_FALSE (rig.host.nextOurs (quiet).has_value());
    const auto late = rig.host.nextOurs (5000ms);
    ASSERT_TRUE (late.has_value());
    EXPECT_EQ (late->at (5), 0x01);
    EXPECT_EQ (rig.s.instrument.record().count (EventKind::FaultFired), 1u);
}

TEST (EmulatorFault, CorruptReadFrameAndWrongCheckBytes)
{
    Rig rig;
    const Bytes data = pattern (2 * 4096, 6);
    ASSERT_EQ (rig.host.program (area, data), (std::vector<int> { 0, 0 }));

    struct Case
    {
        const char* spec;
        bool dataIntact;
    };
    for (const Case c : { Case { "corrupt-read@read-block:2", false }, Case { "wrong-check@read-block:2", true } })
    {
        SCOPED_TRACE (c.spec);
        rig.arm (c.spec);
        const auto good = rig.host.readBlock (area, true);
        const auto bad = rig.host.readBlock (area + 4096, true);
        ASSERT_TRUE (good && bad);
        EXPECT_TRUE (std::equal (data.begin(), data.begin() + 4096, good->block.begin()));
        const auto goodCheck = fsCheck (good->block.data());
        EXPECT_TRUE (std::equal (goodCheck.begin(), goodCheck.end(), good->block.begin() + 4096));

        const Bytes second (bad->block.begin(), bad->block.begin() + 4096);
        int bitsWrong = 0;
        for (std::size_t i = 0; i < 4096; ++i)
            bitsWrong += __builtin_popcount (unsigned (second[i] ^ data[4096 + i]));
        EXPECT_EQ (bitsWrong, c.dataIntact ? 0 : 1);
        const auto check = fsCheck (bad->block.data());
        EXPECT_FALSE (std::equal (check.begin(), check.end(), bad->block.begin() + 4096)); // the host notices
        // The next read is clean again.
        const auto again = rig.host.readBlock (area + 4096, true);
        ASSERT_TRUE (again.has_value());
        EXPECT_TRUE (std::equal (again->block.begin(), again->block.begin() + 4096, data.begin() + 4096));
    }
}

TEST (EmulatorFault, NoiseAroundAndInsideAReply)
{
    Rig rig;
    rig.arm ("noise@frame:3");
    for (std::uint8_t port : { 1, 2 })
    {
        rig.host.send (probeFrame (port));
        ASSERT_TRUE (rig.host.nextFrame().has_value());
    }
    EXPECT_EQ (rig.host.clockBytes, 0);
    rig.host.send (probeFrame (3));
    // A foreign SysEx, then a frame of ours with an unknown command, then the reply.
    EXPECT_EQ (rig.host.nextFrame()->at (1), 0x43);
    EXPECT_EQ (rig.host.nextFrame(), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x07, 0x00, 0xF7 }));
    EXPECT_EQ (rig.host.nextFrame(), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x03, 0x01, 0xF7 }));
    rig.host.send (probeFrame (4)); // count 1: the next reply is clean
    EXPECT_EQ (rig.host.nextFrame()->at (6), 4);
    EXPECT_EQ (rig.host.clockBytes, 4); // before, twice inside, after
}

TEST (EmulatorFault, SecondInstrumentAnswersProbes)
{
    // Armed through the configuration, as the command line does.
    Config config;
    config.faults.push_back (*parseFault ("second-instrument@frame:2,count=0"));
    Served s (config);
    TestHost host (s.path);
    host.send (probeFrame (5));
    EXPECT_TRUE (host.nextOurs().has_value());
    EXPECT_FALSE (host.nextOurs (quiet).has_value());
    for (int round = 0; round < 2; ++round)
    {
        host.send (probeFrame (5));
        EXPECT_EQ (host.nextOurs()->at (6), 5);
        EXPECT_EQ (host.nextOurs()->at (6), 5);
    }
}

TEST (EmulatorFault, CablePullClosesTheConnectionAndKeepsState)
{
    Rig rig;
    rig.arm ("cable-pull@program-block:2");
    const Bytes data = pattern (2 * 4096, 7);
    rig.host.send (addressFrame (area, 0));
    rig.host.send (dataFrame (blockOf (data, 0)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    rig.host.send (dataFrame (blockOf (data, 1)));
    EXPECT_TRUE (rig.host.peerClosed());
    EXPECT_EQ (rig.flash (area + 4096, 4096), Bytes (4096, 0xFF)); // the block never arrived
    EXPECT_EQ (rig.flash (area, 4096), blockOf (data, 0));

    TestHost again (rig.s.path);
    again.send (runTestFrame());
    EXPECT_EQ (again.ackStatus(), 0); // driver still in RAM
    EXPECT_EQ (rig.s.instrument.record().count (EventKind::CablePulled), 1u);

    // Pulled by the test itself.
    rig.s.instrument.pullCable();
    EXPECT_TRUE (again.peerClosed());
}

TEST (EmulatorFault, PowerLossCutsAProgramBlockAndLosesTheDriver)
{
    Rig rig;
    rig.arm ("power-loss@program-block:2,partial=1000");
    const Bytes data = pattern (3 * 4096, 8);
    rig.host.send (addressFrame (area, 0));
    rig.host.send (dataFrame (blockOf (data, 0)));
    EXPECT_EQ (rig.host.ackStatus(), 0);
    rig.host.send (dataFrame (blockOf (data, 1)));
    EXPECT_EQ (rig.host.ackStatus (quiet), -1);
    EXPECT_FALSE (rig.s.instrument.powered());

    const Bytes cut = rig.flash (area + 4096, 4096);
    EXPECT_TRUE (std::equal (cut.begin(), cut.begin() + 1000, data.begin() + 4096));
    EXPECT_EQ (Bytes (cut.begin() + 1000, cut.end()), Bytes (3096, 0xFF));

    rig.host.send (probeFrame (0)); // a dead instrument says nothing
    EXPECT_FALSE (rig.host.nextOurs (quiet).has_value());

    rig.s.instrument.powerOn();
    rig.host.send (probeFrame (0));
    EXPECT_TRUE (rig.host.nextOurs().has_value());
    rig.host.send (runTestFrame());
    EXPECT_GT (rig.host.ackStatus(), 0); // RAM empty: no driver
    const auto rec = rig.s.instrument.record();
    EXPECT_EQ (rec.programmed.back().length, 1000u);
    EXPECT_EQ (rec.count (EventKind::PowerLost), 1u);
}

TEST (EmulatorFault, PowerLossCutsAnEraseOrAFrameMidway)
{
    Rig rig;
    const Bytes data = pattern (sectorSize, 9);
    for (std::uint32_t at = 0; at < sectorSize; at += 4096)
        ASSERT_EQ (rig.host.program (area + at, Bytes (data.begin() + at, data.begin() + at + 4096)), std::vector<int> { 0 });

    rig.arm ("power-loss@erase:1,partial=8192");
    rig.host.send (eraseFrame (area));
    EXPECT_EQ (rig.host.ackStatus (quiet), -1);
    EXPECT_EQ (rig.flash (area, 8192), Bytes (8192, 0xFF));
    EXPECT_EQ (rig.flash (area + 8192, sectorSize - 8192), Bytes (data.begin() + 8192, data.end()));

    // After N bytes: the probe (9 bytes) and the Address (12) get through, the Data frame is
    // cut after 100 of its bytes and never programs anything.
    rig.s.instrument.powerOn();
    ASSERT_EQ (rig.host.upload (flashDriver ("S29GL512_S", 512)), std::vector<int> { 0 });
    rig.arm ("power-loss@bytes:121");
    rig.host.send (probeFrame (0));
    EXPECT_TRUE (rig.host.nextOurs().has_value());
    rig.host.send (addressFrame (area + sectorSize, 0));
    rig.host.send (dataFrame (pattern (4096, 1)));
    EXPECT_EQ (rig.host.ackStatus (quiet), -1);
    EXPECT_FALSE (rig.s.instrument.powered());
    EXPECT_EQ (rig.flash (area + sectorSize, 4096), Bytes (4096, 0xFF));
}

#endif
