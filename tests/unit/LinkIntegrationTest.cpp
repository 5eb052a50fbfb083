// The real device link against the emulated instrument on a socket port, among other ports:
// probe and pairing, a driver upload, the flash test, programming and reading back in both
// link modes, and a cable pulled in the middle of a read. Real timers and real reader threads.

#include "devicelink/BuiltInData.h"
#include "devicelink/Communication.h"
#include "emulator/Instrument.h"
#include "support/FakeMidiPorts.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

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
};

void PrintTo (const LinkCase& c, std::ostream* os) { *os << c.name; }

class LinkIntegration : public ::testing::TestWithParam<LinkCase>
{
protected:
    void SetUp() override
    {
        dir = makeTestFolder ("talvek-link");
        const auto socketPath = dir.getChildFile ("instrument.sock").getFullPathName();

        emu::Config config;
        config.chip = emu::FlashChip::S29GL512_S;
        config.mode = GetParam().mode;
        config.readFramePackedSize = GetParam().readFramePackedSize;
        instrument = std::make_unique<emu::Instrument> (config);
        instrument->eraseAll();
        std::string error;
        ASSERT_TRUE (instrument->start (socketPath.toStdString(), &error)) << error;

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
    }

    void uploadDriver()
    {
        const auto driver = BuiltInData::detectionDrivers()[2]; // S29GL512_S
        const int before = messages.count (MessageCode::JobFinished);
        link->sendDriver (driver.data, driver.size, "S29GL512_S", 0, 100);
        ASSERT_TRUE (waitFor (MessageCode::JobFinished, before + 1));
        ASSERT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 0, 0, 0 }));
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
    EXPECT_TRUE (log.text().endsWith ("Time out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n")) << log.text();
    EXPECT_EQ (messages.with (MessageCode::JobFinished).back(), (Posted { MessageCode::JobFinished, 1, FailureReason::NoResponse, 0 }));
    EXPECT_EQ (messages.count (MessageCode::JobFinished), 2); // the driver upload's and the read's
    EXPECT_TRUE (link->isConnected()); // the pair stays selected; the tool needs a restart
}

INSTANTIATE_TEST_SUITE_P (Modes, LinkIntegration,
                          ::testing::Values (LinkCase { "FS", emu::LinkMode::FS, 0 },
                                             LinkCase { "HSInThreeFramesPerBlock", emu::LinkMode::HS, 1600 }),
                          [] (const auto& info) { return std::string (info.param.name); });
