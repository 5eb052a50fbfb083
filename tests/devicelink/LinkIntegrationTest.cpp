// The real device link against the emulated instrument on a socket port, among other ports:
// probe and pairing, a driver upload, the flash test, programming and reading back in both
// link modes, and a cable pulled in the middle of a read. Real timers and real reader threads.

#include "devicelink/BuiltInData.h"
#include "devicelink/Communication.h"
#include "emulator/Instrument.h"
#include "support/FakeMidiPorts.h"
#include "support/InstrumentAddress.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace std::chrono_literals;
namespace emu = talvek::emu;
using Bytes = std::vector<std::uint8_t>;

namespace
{
struct LinkCase
{
    const char* name;
    emu::LinkMode mode;
    int readFramePackedSize; // 0: a whole block per frame
    emu::ReadFlagStyle readFlags = emu::ReadFlagStyle::WaitForAck;
    double linkBytesPerSecond = 0; // 0: no cable time
};

void PrintTo (const LinkCase& c, std::ostream* os) { *os << c.name; }

class LinkIntegration : public ::testing::TestWithParam<LinkCase>
{
protected:
    void SetUp() override
    {
        dir = makeTestFolder ("talvek-link");

        emu::Config config;
        config.chip = emu::FlashChip::S29GL512_S;
        config.mode = GetParam().mode;
        config.readFramePackedSize = GetParam().readFramePackedSize;
        config.readFlags = GetParam().readFlags;
        config.timing.linkBytesPerSecond = GetParam().linkBytesPerSecond;
        instrument = std::make_unique<emu::Instrument> (config);
        instrument->eraseAll();
        std::string error;
        ASSERT_TRUE (instrument->start (instrumentAddress (dir), &error)) << error;
        const juce::String socketPath (instrument->socketPath());

        // Two ports that never answer come before the instrument's.
        others->inputNames = { "Midi Through Port-0", "Drum Pad In" };
        others->outputNames = { "Midi Through Port-0", "Synth Out" };
        std::vector<std::unique_ptr<MidiPortSystem>> systems;
        systems.push_back (std::make_unique<FakeMidiPorts> (others));
        systems.push_back (createSocketMidiPorts ({ socketPath }));

        link = std::make_unique<Communication> (createCompositeMidiPorts (std::move (systems)));
        link->listener = &messages;
        link->log = &log.printer;
    }

    void TearDown() override
    {
        link.reset();
        instrument.reset();
        dir.deleteRecursively();
    }

    bool waitFor (int code, int count = 1, std::chrono::milliseconds timeout = 15s)
    {
        return pumpUntil ([&] { return messages.count (code) >= count; }, timeout);
    }

    void connect()
    {
        link->rescan();
        ASSERT_TRUE (waitFor (MessageCode::DeviceConnected));
        EXPECT_EQ (messages.count (MessageCode::ScanStarted), 3);
        EXPECT_EQ (messages.with (MessageCode::DeviceConnected)[0].p1, GetParam().mode == emu::LinkMode::FS ? 1 : 0);
        EXPECT_EQ (link->isFsMode(), GetParam().mode == emu::LinkMode::FS);
        EXPECT_EQ (messages.count (MessageCode::MultipleDevices), 0);
        EXPECT_EQ (log.text(), GetParam().mode == emu::LinkMode::FS ? "Device found, link mode FS.\n" : "Device found, link mode HS.\n");
    }

    void uploadDriver (int index = 2) // 2: S29GL512_S, the fitted chip's
    {
        const auto driver = BuiltInData::detectionDrivers()[(std::size_t) index];
        const int before = messages.count (MessageCode::JobFinished);
        link->sendDriver (driver.data, driver.size, "driver", 0, 100);
        ASSERT_TRUE (waitFor (MessageCode::JobFinished, before + 1));
        ASSERT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    }

    static Bytes fileBytes (const juce::File& file)
    {
        juce::MemoryBlock content;
        file.loadFileAsData (content);
        return Bytes ((const std::uint8_t*) content.getData(), (const std::uint8_t*) content.getData() + content.getSize());
    }

    static Bytes pattern (std::size_t n)
    {
        Bytes b (n);
        for (std::size_t i = 0; i < n; ++i)
            b[i] = (std::uint8_t) ((i * 37 + (i >> 9)) & 0xFF);
        return b;
    }

    juce::File dir;
    std::unique_ptr<emu::Instrument> instrument;
    std::shared_ptr<FakeMidiPorts::State> others = std::make_shared<FakeMidiPorts::State>();
    MessageCollector messages;
    LogCapture log;
    std::unique_ptr<Communication> link;
};
} // namespace

TEST_P (LinkIntegration, ConnectsProgramsAndReadsBack)
{
    connect();
    uploadDriver();
    EXPECT_TRUE (log.text().contains ("Send driver OK!\n"));

    link->testFlash (0, "S29GL512_S");
    ASSERT_TRUE (waitFor (MessageCode::JobFinished, 2));
    EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    EXPECT_TRUE (log.text().contains ("OK.\n"));

    // Three blocks and a short one.
    const auto data = pattern (3 * 4096 + 100);
    link->programData (data.data(), 0, 0x60000, (int) data.size(), 0, 100);
    ASSERT_TRUE (waitFor (MessageCode::JobFinished, 3));
    EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    EXPECT_TRUE (log.text().contains ("Program OK.\n"));
    EXPECT_EQ (instrument->readFlash (0x60000, data.size()), data);
    EXPECT_EQ (instrument->readFlash (0x60000 + data.size(), 4096 - 100), Bytes (4096 - 100, 0xFF));
    EXPECT_TRUE (instrument->record().violations.empty());

    const auto readBack = dir.getChildFile ("read.bin");
    link->readToFile (readBack.getFullPathName(), 0, 0x60000, (int) data.size(), 0, 100);
    ASSERT_TRUE (waitFor (MessageCode::JobFinished, 4));
    EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    EXPECT_TRUE (log.text().contains ("Read OK.\n"));
    juce::MemoryBlock content;
    ASSERT_TRUE (readBack.loadFileAsData (content));
    EXPECT_EQ (Bytes ((const std::uint8_t*) content.getData(), (const std::uint8_t*) content.getData() + content.getSize()), data);
    EXPECT_FALSE (log.text().contains ("Time out"));
}

TEST_P (LinkIntegration, ACablePulledInTheMiddleOfAReadEndsIt)
{
    connect();
    uploadDriver();

    emu::Fault pull;
    pull.kind = emu::FaultKind::CablePull;
    pull.point = emu::FaultPoint::ReadBlock;
    pull.n = 3;
    instrument->injectFault (pull);

    link->readToFile (dir.getChildFile ("cut.bin").getFullPathName(), 0, 0, 16 * 4096, 0, 100);
    ASSERT_TRUE (waitFor (MessageCode::JobFinished, 2, 30s));
    EXPECT_TRUE (messages.has ({ MessageCode::OperationState, 1, 0, 0 }));
    // Asked for again until a request cannot go out any more (the socket has gone): from then
    // on nothing can answer, so the read ends without using up its retries.
    EXPECT_TRUE (log.text().contains ("Reading...\nTime out, retry...1")) << log.text();
    EXPECT_TRUE (log.text().endsWith ("The device has no response.\n")) << log.text();
    EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (messages.count (MessageCode::JobFinished), 2); // the driver upload's and the read's
    EXPECT_TRUE (link->isConnected()); // the pair stays selected; the tool needs a restart
}

// With another chip's driver in RAM the instrument refuses every flash step (Ack status 1).
// Each job ends as a failure, and nothing of its success path is reported.
TEST_P (LinkIntegration, StepsTheInstrumentRefusesEndTheirJobs)
{
    connect();
    uploadDriver (0); // S29GL256_S on a S29GL512_S: the upload passes, the flash steps do not
    const auto data = pattern (2 * 4096);

    struct Case
    {
        const char* what;
        std::function<void()> start;
        const char* success;
    };
    const Case cases[] = {
        { "erase", [&] { link->eraseRange ("***", 0, 0x40000, 0x20000, 0, 0, 100); }, "Erase finished" },
        { "program", [&] { link->programData (data.data(), 0, 0x60000, (int) data.size(), 0, 100); }, "Program OK." },
        { "read", [&] { link->readToFile (dir.getChildFile ("refused.bin").getFullPathName(), 0, 0x40000, 4096, 0, 100); }, "Read OK." },
    };
    int finished = messages.count (MessageCode::JobFinished);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        log.view.clear();
        c.start();
        ASSERT_TRUE (waitFor (MessageCode::JobFinished, ++finished));
        pumpUntil ([] { return false; }, 300ms); // nothing more may follow
        EXPECT_EQ (messages.count (MessageCode::JobFinished), finished);
        EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 1, FailureReason::FlashFailed, 0 }));
        EXPECT_EQ (messages.with (MessageCode::OperationState).back().p1, 1);
        const auto text = log.text();
        EXPECT_TRUE (text.endsWith ("The device refused the operation (status 1).\n")) << text;
        EXPECT_FALSE (text.contains (c.success)) << text;
    }
    const auto record = instrument->record();
    EXPECT_EQ (record.count (emu::EventKind::Rejected), 3u);
    EXPECT_EQ (record.count (emu::EventKind::Erase), 0u);
    EXPECT_TRUE (record.programmed.empty());
}

// A read reply held back past the read watchdog: the tool asks for the block again and the
// instrument answers both requests, one right after the other. The late copies are drained
// and the file is the flash, byte for byte, however the blocks are framed.
class LateReadReplies : public LinkIntegration
{
};

TEST_P (LateReadReplies, TheReadBackIsTheFlash)
{
    // The instrument's parameter area, as the backup read takes it.
    const auto area = pattern (0x20000);
    instrument->writeFlash (0x40000, area);
    connect();
    uploadDriver();

    instrument->clearRecord();
    instrument->injectFault (*emu::parseFault ("delay@read-block:2,ms=1000"));
    instrument->injectFault (*emu::parseFault ("delay@read-block:12,ms=1600"));
    const auto file = dir.getChildFile ("params.bin");
    link->readToFile (file.getFullPathName(), 0, 0x40000, 0x20000, 0, 100);
    ASSERT_TRUE (waitFor (MessageCode::JobFinished, 2, 30s));
    EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
    EXPECT_EQ (fileBytes (file), area);
    const auto text = log.text();
    EXPECT_TRUE (text.contains ("Time out, retry...1\n")) << text;
    EXPECT_TRUE (text.contains ("Read OK.\n")) << text;

    // Every block in order; the late ones asked for until a quiet line gave a clean answer.
    std::vector<std::uint64_t> order;
    for (const auto& e : instrument->record().eventsOf (emu::EventKind::ReadBlock))
        if (order.empty() || order.back() != e.address)
            order.push_back (e.address);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t a = 0x40000; a < 0x60000; a += 4096)
        expected.push_back (a);
    EXPECT_EQ (order, expected);
    // Block 2 is asked again; once the link has held an answer back for a second, the read
    // waits twice that long before asking again, so block 12's 1.6 s need not be.
    EXPECT_GE (instrument->record().readBlocks, 32u + 1u);
}

INSTANTIATE_TEST_SUITE_P (Modes, LateReadReplies,
                          ::testing::Values (LinkCase { "FS", emu::LinkMode::FS, 0 },
                                             LinkCase { "HSInFourEqualFramesWithAcks", emu::LinkMode::HS, 1171 },
                                             LinkCase { "HSInThreeFramesPerBlock", emu::LinkMode::HS, 1600 },
                                             // A tenth of DIN speed would do for the fixed quiet
                                             // time; this cable takes 150 ms per block.
                                             LinkCase { "HSStreamedOnASlowCable", emu::LinkMode::HS, 1600,
                                                        emu::ReadFlagStyle::Stream, 31250 }),
                          [] (const auto& info) { return std::string (info.param.name); });

INSTANTIATE_TEST_SUITE_P (Modes, LinkIntegration,
                          ::testing::Values (LinkCase { "FS", emu::LinkMode::FS, 0 },
                                             LinkCase { "HSInThreeFramesPerBlock", emu::LinkMode::HS, 1600 }),
                          [] (const auto& info) { return std::string (info.param.name); });
