// Updates interrupted at several points of the 256 KiB script, by a pulled cable or a killed
// tool, and completed by the next run; and the refusal when the backup is gone. In simulated
// time.
#include "SimulatedBench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace workflowtest;

namespace
{
struct Interruption
{
    const char* name;
    emu::FaultPoint point;
    std::uint64_t n;
    bool killTool;          // the tool goes away instead of the cable
    bool lockLeft;          // what the interruption leaves behind
    bool identityErased;    // block 0 erased and not yet written again
    bool areaCantTell;      // the area holds only what any unit of the model would: the user is asked
};

// Program blocks of the script from the first: 1-16 the parameter image at 40000h, 17 the
// zero block, 18-49 block 1 (20000h), 50-81 block 0 (with the identity at 1FFF4h), 82-113 the
// backup written back to 40000h.
const Interruption interruptions[] = {
    { "CableDuringBackupRead", emu::FaultPoint::ReadBlock, 10, false, false, false, false },
    { "CableAtParameterErase", emu::FaultPoint::Erase, 1, false, true, false, false },
    { "CableWritingBlock1", emu::FaultPoint::ProgramBlock, 30, false, true, false, true },
    // The identity question already had the user's word for it.
    { "CableWritingBlock0", emu::FaultPoint::ProgramBlock, 60, false, true, true, false },
    { "CableWritingBackBackup", emu::FaultPoint::ProgramBlock, 100, false, true, false, false },
    { "ToolKilledWritingBlock1", emu::FaultPoint::ProgramBlock, 40, true, true, false, true },
};

void PrintTo (const Interruption& cut, std::ostream* out) { *out << cut.name; }

class InterruptedUpdate : public ::testing::TestWithParam<Interruption>
{
};
} // namespace

TEST_P (InterruptedUpdate, NextRunCompletesFromTheBackup)
{
    const auto& cut = GetParam();
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto paths = bench.state.paths();

    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled);
    bench.instrument->clearRecord();
    // The tool is killed while it waits for the Ack of the chosen block, which never comes:
    // the instrument is left exactly there, however fast the two sides run.
    bench.instrument->injectFault ({ cut.killTool ? emu::FaultKind::DropReply : emu::FaultKind::CablePull, cut.point, cut.n });
    bench.execute (true);

    if (cut.killTool)
    {
        ASSERT_TRUE (bench.runUntil ([&] { return bench.instrument->record().programmed.size() >= cut.n; }, 60000));
        bench.stop();
    }
    else
    {
        ASSERT_TRUE (bench.waitForStatus ("Device disconnected. Quit this tool and try again.", 60000))
            << bench.status() << "\n" << bench.log.all();
        EXPECT_FALSE (bench.w().isUpdating());
        EXPECT_FALSE (bench.view.progressVisible);
        EXPECT_FALSE (bench.identity().screenSaverBlocked);
        EXPECT_FALSE (bench.view.screenSaverBlocked);
    }
    EXPECT_EQ (juce::File (paths.lockFile).exists(), cut.lockLeft);
    if (cut.lockLeft)
    {
        EXPECT_TRUE (readAll (juce::File (paths.backupFile)) == ownArea);
    }

    // The next run of the tool, on the same instrument.
    bench.start();
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    bench.settle();
    // The journal names the instrument; with its identity erased only the user can say it is
    // the same one, and is asked once the journal's file is chosen.
    EXPECT_EQ (bench.log.all().contains ("identity of this device can't be read"), cut.identityErased);
    if (cut.identityErased)
    {
        EXPECT_EQ (bench.flash (0x1FFF4, 12), std::vector<std::uint8_t> (12, 0xFF));
    }
    bench.view.questions.clear();
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled) << bench.log.all();
    EXPECT_EQ (bench.view.questions.size(), cut.identityErased ? 1 : 0);
    bench.instrument->clearRecord();
    bench.view.kinds.clear();
    bench.view.sameUnit = true;
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("Update completed successfully.", 120000)) << bench.status() << "\n" << bench.log.all();
    EXPECT_EQ (std::count (bench.view.kinds.begin(), bench.view.kinds.end(), WorkflowView::Question::sameUnit),
               cut.areaCantTell ? 1 : 0);

    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (file));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
    EXPECT_FALSE (juce::File (paths.lockFile).exists());
    // With the lock left, the area was read only to check it, never taken as the backup: it
    // may no longer hold the instrument's data.
    EXPECT_TRUE (readAll (juce::File (paths.backupFile)) == ownArea);
}

INSTANTIATE_TEST_SUITE_P (Points, InterruptedUpdate, ::testing::ValuesIn (interruptions),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST (InterruptedUpdateRefused, LockWithoutBackup)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady());
    const auto before = bench.flash (0, 0x60000);
    const auto paths = bench.state.paths();
    ASSERT_TRUE (Recovery::prepareFolder (bench.state.folder).wasOk());
    juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!");
    juce::File (paths.backupFile).deleteFile();

    bench.choose (bench.writeUpdate ("update-256k.bin", 0x40000));
    bench.instrument->clearRecord();
    for (int press = 0; press < 2; ++press)
    {
        bench.execute (true);
        EXPECT_EQ (bench.status(), "Found an error can't be fixed in the last update.");
        EXPECT_FALSE (bench.w().isUpdating());
    }
    bench.runFor (300);
    EXPECT_EQ (bench.instrument->record().framesIn, 0u); // nothing was sent
    EXPECT_TRUE (bench.flash (0, 0x60000) == before);
}

// A whole-image update that fails after an interrupted 256 KiB one has rewritten 40000h with
// the built-in image: the restore must stay pending, so that the next 256 KiB update writes the
// instrument's own area back instead of backing up what the failed script left there.
TEST (InterruptedUpdates, AFailedWholeImageUpdateKeepsTheRestorePending)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto large = bench.writeUpdate ("update-512k.bin", 0x80000);
    const auto paths = bench.state.paths();
    const auto lost = "Device disconnected. Quit this tool and try again.";
    bench.view.sameUnit = true; // the area holds the built-in image: the user says it is this unit

    auto runCut = [&] (const juce::File& file, std::uint64_t block)
    {
        bench.choose (file);
        ASSERT_TRUE (bench.view.executeEnabled) << bench.log.all();
        bench.instrument->clearRecord();
        bench.instrument->injectFault ({ emu::FaultKind::CablePull, emu::FaultPoint::ProgramBlock, block });
        bench.execute (true);
        ASSERT_TRUE (bench.waitForStatus (lost, 60000)) << bench.status() << "\n" << bench.log.all();
        bench.start();
        ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    };

    runCut (small, 30); // writing block 1: the backup and the lock are made
    ASSERT_TRUE (juce::File (paths.lockFile).exists());
    runCut (large, 20); // past the built-in image at 40000h, inside the rest of the image
    EXPECT_TRUE (juce::File (paths.lockFile).exists());
    EXPECT_FALSE (bench.flash (0x40000, 0x20000) == ownArea);

    bench.choose (small);
    ASSERT_TRUE (bench.view.executeEnabled) << bench.log.all();
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("Update completed successfully.", 120000)) << bench.status() << "\n" << bench.log.all();
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (small));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
    EXPECT_FALSE (juce::File (paths.lockFile).exists());
}

// In HS mode a read carries no check bytes: a backup read that a bit flip spoiled would be
// written back and then compared with itself. It is read twice, and a mismatch stops the
// update before the lock is made and before anything is erased.
TEST (BackupRead, ACorruptHsBackupIsCaughtBeforeTheLock)
{
    auto config = instantInstrument();
    config.mode = emu::LinkMode::HS;
    SimBench bench (config);
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto before = bench.flash (0, 0x60000);
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled);

    bench.instrument->clearRecord();
    bench.instrument->injectFault (*emu::parseFault ("corrupt-read@read-block:3"));
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("The data read from flash is not correct.", 60000))
        << bench.status() << "\n" << bench.log.all();
    EXPECT_FALSE (juce::File (bench.state.paths().lockFile).exists());
    EXPECT_EQ (bench.instrument->record().count (emu::EventKind::Erase), 0u);
    EXPECT_TRUE (bench.flash (0, 0x60000) == before);
}

namespace
{
emu::Identity otherInstrument()
{
    auto identity = emu::Identity::defaults();
    const char id[] = "TALVEK DM-20";
    std::copy (id, id + 12, identity.id.begin());
    return identity;
}

// Interrupts a 256 KiB update by a pulled cable at the given program block; the journal, the
// lock and the backup are left.
void interruptAt (SimBench& bench, const juce::File& file, std::uint64_t block)
{
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled) << bench.log.all();
    bench.instrument->injectFault ({ emu::FaultKind::CablePull, emu::FaultPoint::ProgramBlock, block });
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("Device disconnected. Quit this tool and try again.", 60000)) << bench.log.all();
    bench.instrument->clearFaults();
}

std::map<std::string, std::vector<std::uint8_t>> filesIn (const juce::File& folder)
{
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto& f : folder.findChildFiles (juce::File::findFiles, false))
        files[f.getFileName().toStdString()] = readAll (f);
    return files;
}
} // namespace

// The update of one instrument was interrupted after its backup was taken; another one is
// connected. Nothing of the first may go into it, and the first's files must survive for it.
TEST (InterruptedUpdates, AnotherInstrumentGetsNothingAndTheFilesAreKept)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    interruptAt (bench, file, 30);
    const auto firstLeft = bench.flash (0, 0x60000);
    const auto files = filesIn (bench.state.folder);
    ASSERT_TRUE (files.count ("zkt_update.journal") && files.count ("zkt_update.lock"));

    bench.instrument->generateContent (otherInstrument());
    const auto other = bench.flash (0, 0x60000);
    std::string error;
    const auto otherFile = bench.state.scratch().getChildFile ("other-256k.bin");
    ASSERT_TRUE (emu::writeUpdateFile (otherFile.getFullPathName().toStdString(), otherInstrument(), 0x40000, 2, &error));

    bench.start();
    ASSERT_TRUE (bench.waitForStatus ("The last update was for another device. Connect that device to complete it.", 30000))
        << bench.status() << "\n" << bench.log.all();
    bench.settle();
    EXPECT_FALSE (bench.view.fileEnabled);
    EXPECT_FALSE (bench.view.executeEnabled);
    // Even a file of its own is not taken while the other's update is pending.
    bench.instrument->clearRecord();
    bench.choose (otherFile);
    bench.execute (true);
    bench.runFor (300);
    EXPECT_NE (bench.status(), "Updating....");
    EXPECT_EQ (bench.instrument->record().framesIn, 0u);
    EXPECT_TRUE (bench.flash (0, 0x60000) == other);
    EXPECT_TRUE (filesIn (bench.state.folder) == files);

    // The first instrument again: its update completes with its own area, on the user's word,
    // as its area holds only the built-in image.
    bench.instrument->writeFlash (0, firstLeft);
    bench.instrument->writeFlash (emu::tagAddress, emu::Identity::defaults().tag);
    bench.view.sameUnit = true;
    bench.start();
    ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled) << bench.log.all();
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("Update completed successfully.", 120000)) << bench.log.all();
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (file));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
    EXPECT_FALSE (juce::File (bench.state.paths().journalFile).exists());
    EXPECT_FALSE (juce::File (bench.state.paths().lockFile).exists());
}

// With the identity bytes erased by the interruption, the tool cannot tell which instrument
// this is: only the interrupted update's own file is offered, and only after the user said so.
TEST (InterruptedUpdates, AnUnreadableIdentityAsksAndTakesOnlyTheJournalsFile)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto newer = bench.writeUpdate ("update-256k-newer.bin", 0x40000, 9); // same identity
    interruptAt (bench, file, 60); // inside block 0: the identity is erased
    ASSERT_EQ (bench.flash (0x1FFF4, 12), std::vector<std::uint8_t> (12, 0xFF));

    bench.start();
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    bench.view.questions.clear();
    bench.view.messages.clear();

    bench.choose (newer);
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_TRUE (bench.view.questions.isEmpty());
    EXPECT_EQ (bench.view.messages.joinIntoString ("|"), "Message: The selected file is not supported.");

    bench.choose (file);
    bench.view.confirm = false;
    bench.choose (file);
    EXPECT_EQ (bench.view.questions.size(), 2);
    EXPECT_FALSE (bench.view.executeEnabled);

    bench.view.confirm = true;
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled);
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("Update completed successfully.", 120000)) << bench.log.all();
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (file));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
}

TEST (InterruptedUpdates, ADamagedJournalRestoresNothing)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    interruptAt (bench, file, 30);
    const juce::File journal (bench.state.paths().journalFile);
    journal.replaceWithText (journal.loadFileAsString().replace ("script B", "script A"));
    const auto left = bench.flash (0, 0x60000);

    bench.start();
    ASSERT_TRUE (bench.waitForStatus ("Found an error can't be fixed in the last update.", 30000)) << bench.log.all();
    bench.settle();
    EXPECT_FALSE (bench.view.fileEnabled);
    EXPECT_TRUE (bench.log.all().contains ("The record of the last update is damaged"));
    bench.execute (true);
    bench.runFor (300);
    EXPECT_TRUE (bench.flash (0, 0x60000) == left);
    EXPECT_TRUE (journal.exists());
}

// Instruments of one model carry the same identity. One whose own area is not what the
// interrupted update left gets nothing of the other's backup.
TEST (InterruptedUpdates, TheSameModelWithOtherDataGetsNoRestore)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    interruptAt (bench, file, 30);
    const auto files = filesIn (bench.state.folder);

    // Another instrument of the model: fresh content, its own area different from the first's.
    bench.instrument->generateContent();
    std::vector<std::uint8_t> ownOfOther (0x20000);
    for (std::size_t i = 0; i < ownOfOther.size(); ++i)
        ownOfOther[i] = static_cast<std::uint8_t> (i * 7 + 3);
    bench.instrument->writeFlash (0x40000, ownOfOther);
    const auto other = bench.flash (0, 0x60000);

    bench.start();
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    bench.choose (bench.writeUpdate ("update-256k-newer.bin", 0x40000, 9));
    ASSERT_TRUE (bench.view.executeEnabled);
    bench.instrument->clearRecord();
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus ("The last update was for another device. Connect that device to complete it.", 60000))
        << bench.status() << "\n" << bench.log.all();
    EXPECT_EQ (bench.instrument->record().count (emu::EventKind::Erase), 0u);
    EXPECT_TRUE (bench.flash (0, 0x60000) == other);
    EXPECT_FALSE (bench.view.fileEnabled);
    EXPECT_FALSE (bench.w().isUpdating());
    auto now = filesIn (bench.state.folder);
    now.erase ("zkt_tmp_read.tmp"); // the area read for the check
    auto before = files;
    before.erase ("zkt_tmp_read.tmp");
    before.erase ("zkt_update_copy.bin");
    now.erase ("zkt_update_copy.bin");
    EXPECT_TRUE (now == before);
}
