// Driver upload and flash test against the emulated instrument: the detection script over the
// four built-in drivers, the sector table an upload builds, the special driver's SaveIoState.
#if TALVEK_HAVE_EMULATOR

#include "EmulatedDevice.h"

#include "devicelink/DriverImage.h"

using namespace jobtest;

namespace
{
// One connected 64 MiB instrument shared by the tests of the suite (connecting takes seconds).
class DriverJobs : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { device = new EmulatedDevice (emu::FlashChip::S29GL512_S); }
    static void TearDownTestSuite()
    {
        delete device;
        device = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE (device->connected);
        device->queue->clear();
        device->forget();
    }

    static inline EmulatedDevice* device = nullptr;
};
} // namespace

TEST (DriverDetection, ScriptPassesExactlyTheFittedChip)
{
    const char* names[] = { "S29GL256_S", "S29GL02GS_EST", "S29GL512_S", "S29GL01G_S" };

    for (auto chip : emu::allChips())
    {
        const juce::String chipName = emu::chipInfo (chip).name;
        SCOPED_TRACE (chipName);
        EmulatedDevice device (chip);
        ASSERT_TRUE (device.connected);
        device.forget();

        auto& queue = *device.queue;
        const auto drivers = BuiltInData::detectionDrivers();
        for (size_t i = 0; i < drivers.size(); ++i)
        {
            queue.addSendDriver (drivers[i].data, drivers[i].size, names[i], 0, 100);
            queue.addTestFlash ("ZKT828", names[i], drivers[i].data, drivers[i].size);
        }

        // Every verdict is collected, so "exactly one" is seen; the main component itself
        // stops at the first pass.
        std::vector<juce::String> passed;
        int verdicts = 0;
        ASSERT_EQ (queue.runNext(), 0);
        for (;;)
        {
            const auto seen = device.messages.finished().size();
            ASSERT_TRUE (pumpUntil ([&] { return device.messages.finished().size() > seen; }, 20000));
            const auto result = device.messages.finished().back();
            if (queue.current.kind == JobKind::SendDriver)
                ASSERT_EQ (result, std::make_pair (0, 0));
            else
            {
                ++verdicts;
                if (result.first == 0)
                    passed.push_back (queue.current.flashName.data());
                else
                    EXPECT_EQ (result, std::make_pair (1, (int) FailureReason::None));
            }
            if (queue.runNext() != 0)
                break;
        }

        EXPECT_EQ (verdicts, 4);
        ASSERT_EQ (passed.size(), 1u);
        EXPECT_EQ (passed[0], chipName);

        const auto record = device.instrument.record();
        ASSERT_EQ (record.tests.size(), 4u);
        ASSERT_EQ (record.driverLoads.size(), 4u);
        for (const auto& load : record.driverLoads)
            EXPECT_EQ (load.size, 4096u);

        const auto log = device.log.text();
        EXPECT_EQ (log.indexOf ("Testing flash \"" + chipName + "\"...OK.\n") >= 0, true) << log;
        int fails = 0;
        for (int at = log.indexOf ("Fail.\n"); at >= 0; at = log.indexOf (at + 1, "Fail.\n"))
            ++fails;
        EXPECT_EQ (fails, 3);
        EXPECT_TRUE (log.startsWith ("Sending flash driver for \"S29GL256_S\"...\nSend driver OK!\n"
                                     "Testing flash \"S29GL256_S\"...")) << log;

        // The last upload leaves the last driver's table: 1024 sectors of 128 KiB.
        const auto sectors = queue.communication.getSectors();
        ASSERT_EQ (sectors.size(), 1024u);
        EXPECT_EQ (sectors.back().start + sectors.back().size, 128 * 1024 * 1024);

        // With the fitting driver, the identity read at page 4Fh reaches 9E0000h on every chip.
        ASSERT_TRUE (device.loadMatchingDriver());
        const auto tagFile = device.temp.file ("tag.bin");
        queue.addReadToFile (tagFile.getFullPathName(), 0x4F, 0, 12, 0, 100);
        EXPECT_EQ (device.runScript(), (std::vector<std::pair<int, int>> { { 0, 0 } }));
        EXPECT_EQ (readAll (tagFile), device.instrument.readFlash (0x9E0000, 12));
    }
}

TEST_F (DriverJobs, FailedTestReportsOperationStateThenTheVerdict)
{
    const auto wrong = BuiltInData::detectionDrivers()[0];
    device->queue->addSendDriver (wrong.data, wrong.size, "S29GL256_S", 0, 100);
    device->queue->addTestFlash ("ZKT828", "S29GL256_S", wrong.data, wrong.size);
    EXPECT_EQ (device->runScript(), (std::vector<std::pair<int, int>> { { 0, 0 }, { 1, 0 } }));

    const auto states = device->messages.of (MessageCode::OperationState);
    ASSERT_FALSE (states.empty());
    EXPECT_EQ (states.back().p1, 1);
    EXPECT_TRUE (device->queue->noDriverUploadNext());
    EXPECT_EQ (device->log.text(), "Sending flash driver for \"S29GL256_S\"...\nSend driver OK!\n"
                                   "Testing flash \"S29GL256_S\"...Fail.\n");
}

// A copy of the upload's Ack that lands after the test went out would pass for its verdict; the
// settled test lets the line fall quiet first, and only then asks.
TEST_F (DriverJobs, SettledTestIsNotAnsweredByALateCopyOfTheUploadsAck)
{
    struct Case
    {
        const char* what;
        std::size_t driver;
        std::pair<int, int> verdict;
        const char* logEnd;
    };
    const Case cases[] = {
        { "another chip's driver", 0, { 1, 0 }, "Confirming flash \"Test\"...Fail.\n" },
        { "the fitted driver", 2, { 0, 0 }, "Confirming flash \"Test\"...OK.\n" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        device->forget();
        const auto driver = BuiltInData::detectionDrivers()[c.driver];
        device->instrument.injectFault (*emu::parseFault ("duplicate-ack@block:1,after=40"));
        device->queue->clear();
        device->queue->addSendDriver (driver.data, driver.size, "Test", 0, 100);
        device->queue->addTestFlash ("ZKT828", "Test", driver.data, driver.size, true);
        EXPECT_EQ (device->runScript(), (std::vector<std::pair<int, int>> { { 0, 0 }, c.verdict }));
        EXPECT_TRUE (device->log.text().endsWith (c.logEnd)) << device->log.text();
        EXPECT_EQ (device->instrument.record().tests.size(), 1u);
    }
}

TEST_F (DriverJobs, UploadProgressCoversTheJobsRange)
{

    const auto driver = driverFor (emu::FlashChip::S29GL512_S);
    device->queue->addSendDriver (driver.data, driver.size, "Work", 4.0f, 4.5f);
    EXPECT_EQ (device->runScript(), (std::vector<std::pair<int, int>> { { 0, 0 } }));

    bool sawRange = false;
    for (const auto& m : device->messages.of (MessageCode::Progress))
        if (m.p1 == ProgressPhase::Range)
            sawRange = m.p2 == 40 && m.p3 == 45;
    EXPECT_TRUE (sawRange);
    EXPECT_EQ (device->queue->communication.getSectors().size(), 512u);
}

TEST_F (DriverJobs, SaveIoStateRunsTheTestUnderTheSpecialDriver)
{

    const auto special = BuiltInData::specialDriver();
    const auto work = driverFor (emu::FlashChip::S29GL512_S);
    device->queue->addSendDriver (special.data, special.size, "Sepcial", 4, 4);
    device->queue->addSaveIoState();
    device->queue->addSendDriver (work.data, work.size, "Work", 4, 4);
    EXPECT_EQ (device->runScript(), (std::vector<std::pair<int, int>> (3, { 0, 0 })));

    const auto record = device->instrument.record();
    EXPECT_EQ (record.count (emu::EventKind::SaveIoState), 1u);
    ASSERT_EQ (record.driverLoads.size(), 2u);
    EXPECT_EQ (record.driverLoads[0].kind, emu::DriverKind::IoState);
    EXPECT_EQ (device->log.text(),
               "Sending flash driver for \"Sepcial\"...\nSend driver OK!\n"
               "Testing flash \"Save_IO_Sta\"...OK.\n"
               "Sending flash driver for \"Work\"...\nSend driver OK!\n");
}

TEST_F (DriverJobs, DriverWithoutGeometryEndsTheJobAndClearsTheTable)
{
    ASSERT_TRUE (device->loadMatchingDriver());
    device->forget();

    auto image = toVector (driverFor (emu::FlashChip::S29GL512_S));
    image[18] = image[19] = 0; // first count 0
    device->queue->addSendDriver (image.data(), (int) image.size(), "Broken", 0, 100);
    EXPECT_EQ (device->runScript (5000), (std::vector<std::pair<int, int>> { { 1, FailureReason::JobRefused } }));
    EXPECT_EQ (device->log.text(), "Flash infomation is not correct.");
    EXPECT_TRUE (device->queue->communication.getSectors().empty());
    EXPECT_EQ (device->instrument.record().framesIn, 0u) << "nothing is sent";
}

#endif
