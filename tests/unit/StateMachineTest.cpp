// The workflow's reactions to the device link's messages: flash auto-detection, the
// identity read, progress, and the ends of a script.
#include "WorkflowBench.h"

#include "devicelink/BuiltInData.h"
#include "workflow/Recovery.h"

#include <gtest/gtest.h>

using namespace workflowtest;

namespace
{
constexpr std::uint32_t red = 0xFFFF0000, blue = 0xFF0000FF;

std::vector<std::uint64_t> readAddresses (const emu::Record& record)
{
    std::vector<std::uint64_t> addresses;
    for (const auto& e : record.eventsOf (emu::EventKind::ReadBlock))
        addresses.push_back (e.address);
    return addresses;
}
} // namespace

TEST (StateMachineDetection, OnlyTheThirdDriverFits)
{
    Bench bench (instantInstrument (emu::FlashChip::S29GL512_S));
    ASSERT_TRUE (bench.waitUntilReady());
    auto& w = bench.w();
    const auto log = bench.log.all();

    const int fail1 = log.indexOf ("Fail.\n");
    const int fail2 = log.indexOf (fail1 + 1, "Fail.\n");
    const int ok = log.indexOf ("OK.\n");
    // The device link names the link mode, then the detection starts.
    EXPECT_TRUE (log.startsWith ("Device found, link mode FS.\nDevice Connected! Test MCU/Flash type.\n"))
        << log;
    EXPECT_EQ (bench.log.count ("Fail.\n"), 2);
    EXPECT_TRUE (fail1 >= 0 && fail1 < fail2 && fail2 < ok);

    const auto* select = bench.log.find ("Select MCU: ZKT828, flash: S29GL512_S\n");
    ASSERT_NE (select, nullptr);
    EXPECT_EQ (select->colour, blue);
    EXPECT_GT (log.indexOf ("Select MCU"), ok);
    EXPECT_TRUE (log.contains ("Check file version and flash version.\n"));

    EXPECT_EQ (w.chosenDriver().data, BuiltInData::detectionDrivers()[2].data);
    EXPECT_EQ (w.chosenDriver().size, 4096);
    EXPECT_FALSE (w.isDetectingFlash());

    // The identity read: 12 bytes at 1FFF4h, then at 9E0000h, moving the phase 1, 2, 0.
    EXPECT_EQ (readAddresses (bench.instrument->record()), (std::vector<std::uint64_t> { 0x1FFF4, 0x9E0000 }));
    ASSERT_EQ (bench.workflow->versionSteps.size(), 2u);
    EXPECT_EQ (bench.workflow->versionSteps[0].phaseBefore, 1);
    EXPECT_EQ (bench.workflow->versionSteps[0].phaseAfter, 2);
    EXPECT_EQ (bench.workflow->versionSteps[1].phaseBefore, 2);
    EXPECT_EQ (bench.workflow->versionSteps[1].phaseAfter, 0);
    EXPECT_EQ (bench.identity().deviceIdBytes, bytes12 ("TALVEK DM-10"));
    EXPECT_EQ (bench.identity().deviceTagBytes[0], 'T');
    EXPECT_EQ (bench.identity().deviceTagBytes[1], '1');

    EXPECT_TRUE (bench.view.fileEnabled);
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_FALSE (w.isUpdating());
}

TEST (StateMachineDetection, NoDriverFits)
{
    Bench bench (instantInstrument (emu::FlashChip::S29GL512_S));
    // Four candidates, none made for the fitted S29GL512_S.
    const auto all = makeBuiltInDrivers();
    bench.inside().builtInDrivers = { all[0], all[1], all[3], all[0] };

    ASSERT_TRUE (pumpUntil ([&] { return bench.log.all().contains ("Please select correct flash model."); }, 30000));
    drain(); // anything that would follow

    EXPECT_EQ (bench.log.count ("Fail.\n"), 4);
    EXPECT_EQ (bench.log.count ("OK.\n"), 0);
    const auto* verdict = bench.log.find ("Please select correct flash model.\n");
    ASSERT_NE (verdict, nullptr);
    EXPECT_TRUE (verdict->bold);
    EXPECT_EQ (verdict->colour, red);
    EXPECT_TRUE (bench.log.all().endsWith ("Please select correct flash model.\n"));

    EXPECT_TRUE (readAddresses (bench.instrument->record()).empty()); // no identity read
    EXPECT_FALSE (bench.view.fileEnabled);
    EXPECT_FALSE (bench.w().isDetectingFlash());
    EXPECT_EQ (bench.identity().versionReadPhase, 0);
    EXPECT_EQ (bench.w().chosenDriver().data, nullptr);
    EXPECT_TRUE (bench.w().jobs().getJobs().empty());
}

TEST (StateMachineDetection, DriverTableComesFromTheBuiltInImages)
{
    const auto drivers = makeBuiltInDrivers();
    const char* flashNames[] = { "S29GL256_S", "S29GL02GS_EST", "S29GL512_S", "S29GL01G_S" };
    ASSERT_EQ (drivers.size(), 4u);
    for (std::size_t i = 0; i < drivers.size(); ++i)
    {
        EXPECT_EQ (drivers[i].data, BuiltInData::detectionDrivers()[i].data);
        EXPECT_EQ (drivers[i].size, 4096);
        EXPECT_STREQ (drivers[i].mcuName.data(), "ZKT828");
        EXPECT_STREQ (drivers[i].flashName.data(), flashNames[i]);
    }
}

//==============================================================================================
// Single messages on a workflow whose link has no device, as a table: the state before,
// the messages, and what the user sees afterwards.

namespace
{
struct Before
{
    bool updating = false;
    bool accepted = false;
    bool executeEnabled = false;
    int phase = 0;
    double progress = 0.0;
    const char* status = "Device connected.";
    ImageSpec file {};            // written and chosen as the update file when `accepted`
    bool withFile = false;
};

struct After
{
    const char* status;           // null: unchanged
    bool executeEnabled;
    bool updating = false;
    bool barVisible = false;
    bool screenSaverBlocked = false;
    std::optional<double> progress {};
    const char* logLine = nullptr;
};

struct Row
{
    const char* what;
    Before before;
    std::function<void (Bench&)> messages;
    After after;
};

ImageSpec modifiedFile()
{
    ImageSpec spec;
    spec.marker = false;
    return spec;
}
} // namespace

TEST (StateMachineMessages, Table)
{
    const Before updatingState { true, true, false, 0, 0.3, "Updating...." };

    const std::vector<Row> rows {
        { "progress range, then write progress", {},
          [] (Bench& b) { b.handle (MessageCode::Progress, 4, 45, 260); b.handle (MessageCode::Progress, 2, 50, 100); },
          { nullptr, false, false, false, false, 0.1525 } },
        { "progress phase 0 leaves the bar", { false, false, false, 0, 0.3 },
          [] (Bench& b) { b.handle (MessageCode::Progress, 0, 7, 9); },
          { nullptr, false, false, false, false, 0.3 } },
        { "no response during an update", updatingState,
          [] (Bench& b) { b.handle (MessageCode::OperationState, 1); b.handle (MessageCode::JobFinished, 1, 5); },
          // OperationState (1) unlocks Execute for the accepted file; the failure locks it again.
          { "Device disconnected. Quit this tool and try again.", false } },
        { "no state change unlocks Execute after no response", updatingState,
          [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 5); b.handle (MessageCode::OperationState, 1); },
          { "Device disconnected. Quit this tool and try again.", false } },
        { "no response alone leaves Execute locked", updatingState,
          [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 5); },
          { "Device disconnected. Quit this tool and try again.", false } },
        { "compare failed", updatingState, [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 2); },
          { "The data read from flash is not correct.", false } },
        { "backup not created", updatingState, [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 1); },
          { "Can't create file to save data.", false } },
        { "lock not created", updatingState, [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 3); },
          { "Can't create lock file!", false } },
        { "lock not deleted", updatingState, [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 4); },
          { "Can't delete lock file!", false } },
        { "a failed flash test during the update", updatingState, [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, 0); },
          { "Update failed. Quit this tool and try again.", false } },
        { "a source file that cannot be opened", updatingState,
          [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, FailureReason::SourceNotOpened); },
          { "Can't open file to read data.", false } },
        { "the device failed on the flash", updatingState,
          [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, FailureReason::FlashFailed); },
          { "Flash operation failed in the device.", false } },
        { "a job that cannot run", updatingState,
          [] (Bench& b) { b.handle (MessageCode::JobFinished, 1, FailureReason::JobRefused); },
          { "Flash job can't run with this data.", false } },
        { "last job done", { true, true, true, 0, 0.9, "Updating...." },
          [] (Bench& b) { b.handle (MessageCode::JobFinished, 0, 0); },
          { "Update completed successfully.", false } },
        { "operation failed without an accepted file", {},
          [] (Bench& b) { b.handle (MessageCode::OperationState, 1); }, { nullptr, false } },
        { "operation failed with an accepted file", { false, true, false },
          [] (Bench& b) { b.handle (MessageCode::OperationState, 1); }, { nullptr, true } },
        { "operation started with an accepted file", { false, true, true },
          [] (Bench& b) { b.handle (MessageCode::OperationState, 0); }, { nullptr, false } },
        { "device not found", { false, true, true, 0, 0, "Connecting to device..." },
          [] (Bench& b) { b.handle (MessageCode::DeviceNotFound); },
          { "Device not found. Quit this tool and try again.", false } },
        { "ports found that the user may not open", { false, true, true, 0, 0, "Connecting to device..." },
          [] (Bench& b) { b.handle (MessageCode::PortsDenied); },
          { "Device found but can't be opened. Add your user to the audio group and log in again.", false } },
        { "identity record reads error", { false, false, false, 1 },
          [] (Bench& b) { b.handle (MessageCode::VersionInfo, 0, 0, 0, errorRecord()); },
          { "Someting error when getting version from device.", false, false, false, false, {},
            "Someting error when getting version from device.\n" } },
        { "identity record while idle only re-checks the file",
          { false, true, true, 0, 0, "Device connected.", modifiedFile(), true },
          [] (Bench& b) { b.handle (MessageCode::VersionInfo, 0, 0, 0, record ({ 'X', 'Y' })); },
          { "The update file is modified!", true, false, false, false, {}, "The update file is modified!\n" } },
        { "second identity record with a sound file", { false, true, true, 2, 0, "Connecting to device...", {}, true },
          [] (Bench& b) { b.handle (MessageCode::VersionInfo, 0, 0, 0, record ({ 'T', '1' })); },
          { "Device connected.", true, false, false, false, {}, "Ready to program" } },
        { "second identity record with a short file", { false, true, true, 2, 0, "Connecting to device...", { 0x30000 }, true },
          [] (Bench& b) { b.handle (MessageCode::VersionInfo, 0, 0, 0, record ({ 'T', '1' })); },
          { "The size of the update file is not correct.", true, false, false, false, {}, "File too small!\n" } },
        { "codes without meaning", { false, true, true },
          [] (Bench& b) { b.handle (0x500C, 1, 2, 3); b.handle (MessageCode::ScanStarted); b.handle (MessageCode::LinkState, 1); },
          { nullptr, true } },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        Bench bench;
        auto& w = bench.w();
        auto inside = bench.inside();
        auto& view = bench.view;
        auto& state = bench.identity();
        state.deviceIdBytes = bytes12 ("TALVEK DM-10");
        state.identityRead = row.before.phase == 0;
        inside.workDriver = { BuiltInData::detectionDrivers()[2].data, 4096 };
        state.deviceTagBytes = bytes12 ("T1");
        if (row.before.withFile)
            inside.updateFilePath = writeImage (bench.state.scratch().getChildFile ("update.bin"), makeImage (row.before.file))
                                   .getFullPathName();
        state.updateFileAccepted = row.before.accepted;
        state.versionReadPhase = static_cast<std::uint8_t> (row.before.phase);
        inside.updating = row.before.updating;
        inside.progressValue = view.progressValue = row.before.progress;
        view.progressVisible = row.before.updating;
        if (row.before.updating)
            w.setScreenSaverBlocked (true);
        view.executeEnabled = row.before.executeEnabled;
        view.status = row.before.status;

        row.messages (bench);

        EXPECT_EQ (bench.status(), row.after.status != nullptr ? row.after.status : row.before.status);
        EXPECT_EQ (view.executeEnabled, row.after.executeEnabled);
        EXPECT_EQ (w.isUpdating(), row.after.updating);
        EXPECT_EQ (view.progressVisible, row.after.barVisible);
        EXPECT_EQ (state.screenSaverBlocked, row.after.screenSaverBlocked);
        EXPECT_EQ (view.screenSaverBlocked, row.after.screenSaverBlocked);
        if (row.after.progress.has_value())
        {
            EXPECT_NEAR (w.shownProgress(), *row.after.progress, 1e-12);
            EXPECT_NEAR (view.progressValue, *row.after.progress, 1e-12);
        }
        if (row.before.updating)
        {
            EXPECT_TRUE (w.jobs().getJobs().empty());
        }
        drain();
        if (row.after.logLine != nullptr)
        {
            EXPECT_TRUE (bench.log.all().contains (row.after.logLine)) << bench.log.all();
        }
    }
}

TEST (StateMachineMessages, IdleIdentityRecordKeepsTheIdentity)
{
    Bench bench;
    bench.identity().deviceIdBytes = bytes12 ("TALVEK DM-10");
    bench.handle (MessageCode::VersionInfo, 0, 0, 0, record ({ 'X', 'Y', 'Z' }));
    EXPECT_EQ (bench.identity().deviceIdBytes, bytes12 ("TALVEK DM-10"));
    EXPECT_EQ (bench.identity().versionReadPhase, 0);
    EXPECT_TRUE (bench.w().jobs().getJobs().empty());
}

TEST (StateMachineMessages, ProgressShowsTheUpdatingText)
{
    Bench bench;
    bench.handle (MessageCode::Progress, 4, 0, 1000);
    bench.handle (MessageCode::Progress, 3, 1, 4);
    EXPECT_DOUBLE_EQ (bench.w().shownProgress(), 0.25);
    EXPECT_DOUBLE_EQ (bench.view.progressValue, 0.25);
    EXPECT_EQ (bench.view.progressText, "Updating...");
    EXPECT_EQ (bench.view.progressColour, 0xFFC0C0C0u);
}

TEST (StateMachineMessages, TwoInstrumentsWarn)
{
    Bench bench;
    bench.handle (MessageCode::MultipleDevices);
    ASSERT_EQ (bench.view.warnings.size(), 1);
    EXPECT_TRUE (bench.view.warnings[0].startsWith ("Warning: Two or more devices! Please check it!\n"));
    EXPECT_GT (bench.view.warnings[0].fromFirstOccurrenceOf ("\n", false, false).length(), 0);
}

TEST (StateMachineMessages, EveryMissingOutputReachesTheViewOnce)
{
    Bench bench;
    bench.view.status = "Updating....";
    bench.handle (MessageCode::NoOutputDevice);
    EXPECT_EQ (bench.view.noOutputBoxes, 1);

    // As the device link sends it: posted to the workflow, once per frame without an output.
    for (int i = 0; i < 2; ++i)
        bench.w().postMessage (new CCustomMessage (MessageCode::NoOutputDevice));
    drain();
    EXPECT_EQ (bench.view.noOutputBoxes, 3);

    // Nothing else is touched: the view decides how many boxes are open at once.
    EXPECT_EQ (bench.status(), "Updating....");
    EXPECT_TRUE (bench.view.warnings.isEmpty());
    EXPECT_TRUE (bench.view.messages.isEmpty());
}
