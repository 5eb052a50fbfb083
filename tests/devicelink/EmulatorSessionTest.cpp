// Scripted host sessions against the emulator over a real socket, and its NOR flash rules.

#if TALVEK_HAVE_EMULATOR

#include "EmulatorTestHost.h"
#include "emulator/Instrument.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace talvek::emu;
using namespace emutest;

namespace
{
struct SessionCase
{
    LinkMode mode;
    ReadFlagStyle flags;
    int framePackedSize;
    int expectedFrames; // per FS or HS block
};

class EmulatorSession : public ::testing::TestWithParam<SessionCase>
{
};
} // namespace

TEST_P (EmulatorSession, ProbeDriversTestEraseProgramAndReadBack)
{
    const SessionCase c = GetParam();
    const bool fs = c.mode == LinkMode::FS;
    Served s ({ .chip = FlashChip::S29GL01G_S, .mode = c.mode, .readFramePackedSize = c.framePackedSize, .readFlags = c.flags });
    TestHost host (s.path);
    ASSERT_TRUE (host.ok());

    host.send (probeFrame (3));
    EXPECT_EQ (host.nextOurs(), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, 0x03, std::uint8_t (fs ? 0x01 : 0x00), 0xF7 }));

    // The flash test passes only for the fitted chip's driver; the IO-state driver always.
    EXPECT_EQ (host.upload (flashDriver ("S29GL256_S", 256)), std::vector<int> { 0 });
    host.send (runTestFrame());
    EXPECT_GT (host.ackStatus(), 0);
    EXPECT_EQ (host.upload (specialDriver()), std::vector<int> { 0 });
    host.send (runTestFrame());
    EXPECT_EQ (host.ackStatus(), 0);
    EXPECT_EQ (host.upload (flashDriver ("S29GL01G_S", 1024)), std::vector<int> { 0 });
    host.send (runTestFrame());
    EXPECT_EQ (host.ackStatus(), 0);

    host.send (eraseFrame (0x60000));
    EXPECT_EQ (host.ackStatus(), 0);
    const Bytes data = pattern (3 * 4096, 11);
    EXPECT_EQ (host.program (0x60000, data), (std::vector<int> { 0, 0, 0 }));

    for (std::uint32_t i = 0; i < 3; ++i)
    {
        const auto r = host.readBlock (0x60000 + i * 4096, fs);
        ASSERT_TRUE (r.has_value()) << "block " << i;
        ASSERT_EQ (r->block.size(), fs ? 4100u : 4096u);
        EXPECT_TRUE (std::equal (r->block.begin(), r->block.begin() + 4096, data.begin() + i * 4096)) << "block " << i;
        if (fs)
        {
            const auto check = fsCheck (r->block.data());
            EXPECT_TRUE (std::equal (check.begin(), check.end(), r->block.begin() + 4096));
        }
        EXPECT_EQ (r->frames, c.expectedFrames);
        EXPECT_EQ (r->acksSent, c.flags == ReadFlagStyle::Stream ? 0 : c.expectedFrames - 1);
        for (int flag : r->flags)
            EXPECT_EQ (flag, c.flags == ReadFlagStyle::Stream ? 1 : 0);
    }
    // A read at an odd-looking address: the identity record.
    const auto id = host.readBlock (identityAddress, fs);
    ASSERT_TRUE (id.has_value());
    const auto defaults = Identity::defaults();
    EXPECT_TRUE (std::equal (defaults.id.begin(), defaults.id.end(), id->block.begin()));

    const Record rec = s.instrument.record();
    EXPECT_EQ (rec.eraseCounts, (std::map<std::uint32_t, int> { { 3, 1 } }));
    ASSERT_EQ (rec.programmed.size(), 3u);
    EXPECT_EQ (rec.programmed[2].address, 0x62000u);
    EXPECT_TRUE (rec.violations.empty());
    ASSERT_EQ (rec.tests.size(), 3u);
    EXPECT_FALSE (rec.tests[0].passed);
    EXPECT_TRUE (rec.tests[1].passed && rec.tests[1].saveIoState);
    EXPECT_TRUE (rec.tests[2].passed && ! rec.tests[2].saveIoState);
    EXPECT_EQ (rec.count (EventKind::SaveIoState), 1u);
    ASSERT_EQ (rec.driverLoads.size(), 3u);
    EXPECT_EQ (rec.driverLoads[1].kind, DriverKind::IoState);
    EXPECT_TRUE (rec.driverLoads[2].matchesChip);
    EXPECT_EQ (rec.count (EventKind::Malformed) + rec.count (EventKind::Rejected) + rec.count (EventKind::UnexpectedAck), 0u);
    EXPECT_EQ (s.instrument.readFlash (0x60000, data.size()), data);
}

INSTANTIATE_TEST_SUITE_P (
    LinkModesAndFrameStyles, EmulatorSession,
    ::testing::Values (
        // One frame per block: 4100 bytes pack into 4686, 4096 into 4682.
        SessionCase { LinkMode::FS, ReadFlagStyle::WaitForAck, 0, 1 },
        SessionCase { LinkMode::HS, ReadFlagStyle::Stream, 0, 1 },
        // 256 packed bytes carry 224 data bytes: 4100 -> 19 frames, 4096 -> 19 frames.
        SessionCase { LinkMode::FS, ReadFlagStyle::WaitForAck, 256, 19 },
        SessionCase { LinkMode::FS, ReadFlagStyle::Stream, 256, 19 },
        SessionCase { LinkMode::HS, ReadFlagStyle::WaitForAck, 256, 19 },
        SessionCase { LinkMode::HS, ReadFlagStyle::Stream, 256, 19 },
        // 12 packed bytes carry 7 + 3: odd frame sizes end on short groups.
        SessionCase { LinkMode::FS, ReadFlagStyle::WaitForAck, 12, 410 },
        SessionCase { LinkMode::HS, ReadFlagStyle::Stream, 12, 410 }));

TEST (EmulatorSessionBasics, ProbeEchoesThePortAndCanOmitTheSpeedByte)
{
    Served s ({ .omitSpeedByte = true });
    TestHost host (s.path);
    for (std::uint8_t port : { 0, 2, 127 })
    {
        host.send (probeFrame (port));
        EXPECT_EQ (host.nextOurs(), (Bytes { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, port, 0xF7 }));
    }
    EXPECT_EQ (s.instrument.record().probes, 3u);
}

TEST (EmulatorSessionBasics, FramesAHostMustNotSendAreIgnoredOrRefused)
{
    Served s ({});
    TestHost host (s.path);
    // A Data frame one byte short, an unknown command and a foreign SysEx: no reply at all.
    Bytes shortData = dataFrame (Bytes (4096, 0x11));
    shortData.erase (shortData.end() - 2);
    host.send (ramLoadFrame());
    host.send (shortData);
    host.send ({ 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x07, 0x00, 0xF7 });
    host.send ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 });
    // A Data block out of place is refused with a failure status.
    host.send (probeFrame (1));
    EXPECT_EQ (host.nextOurs()->at (5), 0x09); // the probe reply is the first thing back
    host.send (dataFrame (Bytes (4096, 0x11)));
    EXPECT_GT (host.ackStatus(), 0);
    // A top-bit byte of the final one-byte group with more than its one bit is bad packing.
    Bytes badPacking = dataFrame (Bytes (4096, 0x00));
    badPacking[badPacking.size() - 2] = 0x02;
    host.send (ramLoadFrame());
    host.send (badPacking);
    host.send (probeFrame (1));
    EXPECT_EQ (host.nextOurs()->at (5), 0x09);
    // A host Ack with no read frame waiting.
    host.send (hostAckFrame());
    host.send (probeFrame (1));
    EXPECT_EQ (host.nextOurs()->at (5), 0x09);

    const Record rec = s.instrument.record();
    EXPECT_EQ (rec.count (EventKind::Malformed), 4u);
    EXPECT_EQ (rec.count (EventKind::Rejected), 1u);
    EXPECT_EQ (rec.count (EventKind::UnexpectedAck), 1u);
    EXPECT_TRUE (rec.driverLoads.empty());
}

TEST (EmulatorNor, ProgrammingClearsBitsOnlyAndOverUnerasedContentIsRecorded)
{
    Served s ({ .chip = FlashChip::S29GL256_S });
    TestHost host (s.path);
    ASSERT_EQ (host.upload (flashDriver ("S29GL256_S", 256)), std::vector<int> { 0 });

    // Forgetting the erase: the block lands as old AND new, and the record says so.
    const Bytes before = s.instrument.readFlash (0x20000, 4096);
    const Bytes data = pattern (4096, 5);
    EXPECT_EQ (host.program (0x20000, data), std::vector<int> { 0 });
    const Bytes after = s.instrument.readFlash (0x20000, 4096);
    for (std::size_t i = 0; i < 4096; ++i)
        ASSERT_EQ (after[i], before[i] & data[i]) << i;
    Record rec = s.instrument.record();
    ASSERT_EQ (rec.violations.size(), 1u);
    EXPECT_EQ (rec.violations[0].blockAddress, 0x20000u);
    EXPECT_GT (rec.violations[0].changedUnerased, 0u);
    EXPECT_GT (rec.violations[0].mismatched, 0u);

    // Over zeros nothing changes, yet the flash cannot hold the data: still recorded.
    host.send (eraseFrame (0x40000));
    EXPECT_EQ (host.ackStatus(), 0);
    EXPECT_EQ (host.program (0x40000, Bytes (4096, 0x00)), std::vector<int> { 0 });
    EXPECT_EQ (host.program (0x40000, data), std::vector<int> { 0 });
    rec = s.instrument.record();
    ASSERT_EQ (rec.violations.size(), 2u);
    EXPECT_EQ (rec.violations[1].changedUnerased, 0u);
    EXPECT_GT (rec.violations[1].mismatched, 0u);

    // Erased first, then the same data twice: programming identical bytes changes nothing.
    host.send (eraseFrame (0x60000));
    EXPECT_EQ (host.ackStatus(), 0);
    EXPECT_EQ (host.program (0x60000, data), std::vector<int> { 0 });
    EXPECT_EQ (host.program (0x60000, data), std::vector<int> { 0 });
    EXPECT_EQ (s.instrument.record().violations.size(), 2u);
    EXPECT_EQ (s.instrument.readFlash (0x60000, 4096), data);

    // Erase only at a sector start, only inside the chip.
    const Bytes sector1 = s.instrument.readFlash (0x20000, sectorSize);
    host.send (eraseFrame (0x30000));
    EXPECT_GT (host.ackStatus(), 0);
    host.send (eraseFrame (0x2000000)); // one past the last sector of 32 MiB
    EXPECT_GT (host.ackStatus(), 0);
    EXPECT_EQ (s.instrument.readFlash (0x20000, sectorSize), sector1);
    rec = s.instrument.record();
    EXPECT_EQ (rec.eraseCounts, (std::map<std::uint32_t, int> { { 2, 1 }, { 3, 1 } }));
    EXPECT_EQ (rec.count (EventKind::Rejected), 2u);

    // A block that would run past the end of the chip is refused whole.
    EXPECT_GT (host.program (0x2000000 - 2048, data)[0], 0);
}

TEST (EmulatorNor, FlashOperationsNeedTheFittedChipsDriver)
{
    Served s ({ .chip = FlashChip::S29GL512_S });
    TestHost host (s.path);
    const Bytes block = pattern (4096, 9);
    struct Step
    {
        const char* what;
        Bytes driver; // empty: none loaded
    };
    const Step steps[] = {
        { "no driver", {} },
        { "other chip's driver", flashDriver ("S29GL256_S", 256) },
        { "IO-state driver", specialDriver() },
    };
    for (const auto& step : steps)
    {
        if (! step.driver.empty())
        {
            ASSERT_EQ (host.upload (step.driver), std::vector<int> { 0 }) << step.what;
        }
        host.send (eraseFrame (0x20000));
        EXPECT_GT (host.ackStatus(), 0) << step.what;
        EXPECT_GT (host.program (0x20000, block)[0], 0) << step.what;
        host.send (addressFrame (0x20000, 1));
        EXPECT_GT (host.ackStatus(), 0) << step.what;
    }
    const Record rec = s.instrument.record();
    EXPECT_TRUE (rec.eraseCounts.empty());
    EXPECT_TRUE (rec.programmed.empty());
    EXPECT_EQ (rec.readBlocks, 0u);
    EXPECT_EQ (rec.count (EventKind::Rejected), 9u);
}

// Loopback TCP, the emulator's only transport on Windows: tcp:0 takes a free port and names it,
// a port in use or text that is no port is refused with a reason.
TEST (EmulatorLink, ListensOnLoopbackTcp)
{
    Instrument instrument ({ .chip = FlashChip::S29GL256_S });
    std::string error;
    for (const char* wrong : { "tcp:", "tcp:x1", "tcp:65536", "tcp:-1" })
    {
        EXPECT_FALSE (instrument.start (wrong, &error)) << wrong;
        EXPECT_NE (error.find ("tcp:PORT"), std::string::npos) << error;
    }
    ASSERT_TRUE (instrument.start ("tcp:0", &error)) << error;
    const auto port = sockets::tcpPort (instrument.socketPath());
    ASSERT_TRUE (port.has_value() && *port != 0) << instrument.socketPath();

    TestHost host (instrument.socketPath());
    ASSERT_TRUE (host.ok());
    host.send (probeFrame (2));
    const auto reply = host.nextOurs();
    ASSERT_TRUE (reply.has_value());
    EXPECT_EQ (reply->at (5), 0x09);
    EXPECT_EQ (reply->at (6), 2);

    Instrument second (Config {});
    error.clear();
    EXPECT_FALSE (second.start (instrument.socketPath(), &error));
    EXPECT_NE (error.find ("127.0.0.1:" + std::to_string (*port)), std::string::npos) << error;
}

TEST (EmulatorLink, ClosedConnectionsAreLikeAPulledCableAndANewOneTakesOver)
{
    Served s ({ .chip = FlashChip::S29GL256_S });
    {
        TestHost host (s.path);
        ASSERT_EQ (host.upload (flashDriver ("S29GL256_S", 256)), std::vector<int> { 0 });
    }
    ASSERT_TRUE (s.instrument.waitFor ([] (const Record& r) { return r.count (EventKind::Disconnected) == 1; }, 3000ms));
    TestHost second (s.path);
    second.send (runTestFrame());
    EXPECT_EQ (second.ackStatus(), 0); // the driver stayed in RAM

    TestHost third (s.path);
    EXPECT_TRUE (second.peerClosed());
    third.send (probeFrame (0));
    EXPECT_EQ (third.nextOurs()->at (6), 0);
    const Record rec = s.instrument.record();
    EXPECT_EQ (rec.connections, 3u);
    EXPECT_EQ (rec.count (EventKind::ConnectionReplaced), 1u);
}

// The cable and the flash take their time, whatever the wake-ups of the server: no reply reaches
// the host sooner than the bytes on the line at the link rate and the flash work allow, counted
// from the host's request; streamed read frames follow each other no faster than the line.
// A busy machine only makes replies later.
TEST (EmulatorLink, NoReplyArrivesSoonerThanTheLineAndTheFlashAllow)
{
    constexpr double rate = 50000;
    constexpr double eraseSeconds = 0.04;
    Served s ({ .chip = FlashChip::S29GL256_S, .readFramePackedSize = 256, .readFlags = ReadFlagStyle::Stream,
                .timing = { rate, eraseSeconds * 1000, 0, 0 } });
    TestHost host (s.path);
    using Clock = std::chrono::steady_clock;
    auto onLine = [] (std::size_t bytes) { return double (bytes) / rate; };
    auto since = [] (Clock::time_point t) { return std::chrono::duration<double> (Clock::now() - t).count(); };
    // Each request after the line has been idle a while: its time counts from the request.
    auto idleThenNow = [] { std::this_thread::sleep_for (100ms); return Clock::now(); };

    // RamLoad and a driver block sent at once: the Ack follows both on the line.
    const auto driver = flashDriver ("S29GL256_S", 256);
    Bytes block (4096, 0xFF);
    std::copy (driver.begin(), driver.begin() + std::ptrdiff_t (std::min<std::size_t> (driver.size(), 4096)), block.begin());
    const auto ramLoad = ramLoadFrame();
    const auto data = dataFrame (block);
    auto start = idleThenNow();
    host.send (ramLoad);
    host.send (data);
    auto ack = host.nextOurs();
    ASSERT_TRUE (ack && isAck (*ack) && ack->at (6) == 0);
    EXPECT_GE (since (start), onLine (ramLoad.size() + data.size() + ack->size()));

    const auto erase = eraseFrame (0);
    start = idleThenNow();
    host.send (erase);
    ack = host.nextOurs();
    ASSERT_TRUE (ack && isAck (*ack) && ack->at (6) == 0);
    EXPECT_GE (since (start), onLine (erase.size() + ack->size()) + eraseSeconds);

    const auto ask = addressFrame (0, 1);
    start = idleThenNow();
    host.send (ask);
    std::size_t bytes = ask.size(), payload = 0;
    int frames = 0;
    while (payload < 4100)
    {
        const auto f = host.nextOurs();
        ASSERT_TRUE (f && f->size() > 8 && f->at (5) == 0x01) << "read frame " << frames;
        payload += unpackReadPayload (f->data() + 7, f->size() - 8).size();
        bytes += f->size();
        EXPECT_GE (since (start), onLine (bytes)) << "read frame " << frames;
        ++frames;
    }
    EXPECT_GT (frames, 10);
}

TEST (EmulatorLink, PowerCycleKeepsFlashInItsFileAndLosesRam)
{
    const auto dir = std::filesystem::temp_directory_path();
    const std::string flashFile = (dir / ("talvek-emu-flash-" + std::to_string (::getpid()) + ".bin")).string();
    std::filesystem::remove (flashFile);
    const Bytes data = pattern (8192, 21);
    {
        Served s ({ .chip = FlashChip::S29GL02GS_EST, .flashFile = flashFile }, false);
        TestHost host (s.path);
        ASSERT_EQ (host.upload (flashDriver ("S29GL02GS_EST", 2048)), std::vector<int> { 0 });
        host.send (eraseFrame (0xFFE0000)); // the last sector of 256 MiB
        EXPECT_EQ (host.ackStatus(), 0);
        EXPECT_EQ (host.program (0xFFE0000, data), (std::vector<int> { 0, 0 }));
        EXPECT_EQ (s.instrument.storedSectors(), 1u);
    }
    Instrument again ({ .chip = FlashChip::S29GL02GS_EST, .flashFile = flashFile });
    EXPECT_EQ (again.readFlash (0xFFE0000, data.size()), data);
    EXPECT_EQ (again.readFlash (0, 16), Bytes (16, 0xFF));
    EXPECT_FALSE (again.loadedDriver().has_value());
    EXPECT_LT (std::filesystem::file_size (flashFile), 2u * sectorSize);

    // A raw dump of a range.
    const std::string dump = flashFile + ".dump";
    ASSERT_TRUE (again.dumpFlash (dump, 0xFFE0000 + 4096, 4096));
    std::ifstream in (dump, std::ios::binary);
    const Bytes dumped ((std::istreambuf_iterator<char> (in)), std::istreambuf_iterator<char>());
    in.close(); // Windows removes no file that is still open
    EXPECT_EQ (dumped, Bytes (data.begin() + 4096, data.end()));

    // A flash file of another chip is not taken.
    Instrument other ({ .chip = FlashChip::S29GL256_S, .flashFile = flashFile });
    EXPECT_EQ (other.record().count (EventKind::Rejected), 1u);
    EXPECT_EQ (other.readFlash (0xFE0000, 4), Bytes (4, 0xFF));
    std::filesystem::remove (flashFile);
    std::filesystem::remove (dump);
}

#endif
