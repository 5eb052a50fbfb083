// talvek-update recovery export / import: an interrupted update completed from another state
// folder, and the refusals.

#include "CliRun.h"

#include "instance/InstanceLock.h"
#include "workflow/UpdateJournal.h"

#include <gtest/gtest.h>

using namespace clitest;

namespace
{
// What an update interrupted after its backup leaves in `folder`, for the instrument `name`.
void leavePending (const juce::File& folder, const char* name)
{
    ASSERT_TRUE (folder.createDirectory().wasOk());
    const auto paths = Recovery::pathsIn (folder);
    const juce::File backup (paths.backupFile), copy (paths.updateCopyFile);
    backup.replaceWithText (juce::String::repeatedString ("b", 0x20000));
    copy.replaceWithText (juce::String::repeatedString (name, 0x40000 / (int) std::strlen (name)));
    juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!");
    Recovery::Journal journal;
    for (std::size_t i = 0; i < journal.instrument.id.size() && name[i] != 0; ++i)
        journal.instrument.id[i] = static_cast<std::uint8_t> (name[i]);
    journal.fileSize = copy.getSize();
    journal.fileDigest = Recovery::digestOf (copy);
    journal.backupDigest = Recovery::digestOf (backup);
    ASSERT_TRUE (Recovery::writeJournal (juce::File (paths.journalFile), journal).wasOk());
}
} // namespace

TEST (TerminalRecovery, AnInterruptedUpdateCarriedToAnotherFolderCompletesThere)
{
    Bench bench;
    auto config = instant();
    config.faults.push_back (*emu::parseFault ("power-loss@program-block:34"));
    auto& instrument = bench.addInstrument (config);
    const auto ownArea = instrument.readFlash (0x40000, 0x20000);
    const auto file = bench.writeUpdate ("u.bin", 0x40000);

    EXPECT_EQ (bench.run ({ "update", file.getFullPathName(), "--yes" }).exitCode, 7);
    instrument.powerOn();
    ASSERT_NE (instrument.readFlash (0x40000, 0x20000), ownArea) << "the cut came too late";

    const auto carried = bench.file ("carried.rec");
    const auto exported = bench.run ({ "recovery", "export", carried.getFullPathName() });
    ASSERT_EQ (exported.exitCode, 0) << exported;
    EXPECT_TRUE (exported.out.contains ("Recovery file written")) << exported;

    const auto elsewhere = bench.file ("elsewhere");
    const auto imported = bench.runWithState (elsewhere, { "recovery", "import", carried.getFullPathName() });
    ASSERT_EQ (imported.exitCode, 0) << imported;
    EXPECT_TRUE (imported.out.contains ("Recovery file imported")) << imported;

    // The area holds the built-in image, as any unit of the model would: whether this is the
    // unit is the user's word, never --yes alone's.
    const auto unconfirmed = bench.runWithState (elsewhere, { "update", file.getFullPathName(), "--yes" });
    EXPECT_EQ (unconfirmed.exitCode, 8) << unconfirmed;
    const auto completed = bench.runWithState (elsewhere, { "update", file.getFullPathName(), "--yes", "--same-unit" });
    EXPECT_EQ (completed.exitCode, 0) << completed;
    EXPECT_TRUE (instrument.readFlash (0, 0x40000) == bytesOf (file));
    EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);
}

namespace
{
struct Cut
{
    const char* name;
    int smallBlock;  // the 256 KiB update loses power at this program block
    int largeBlock;  // then a 512 KiB update at this one; 0: none
};

enum class Finish
{
    emptyFolder,
    imported,
    damagedImport,
};

class TerminalFinishedElsewhere : public ::testing::TestWithParam<std::tuple<Cut, Finish>>
{
};

const char* nameOf (Finish f)
{
    switch (f)
    {
        case Finish::emptyFolder: return "EmptyFolder";
        case Finish::imported: return "Imported";
        case Finish::damagedImport: return "DamagedImport";
    }
    return "";
}

const Cut cuts[] = { { "AfterTheBackup", 34, 0 }, { "DuringTheWriteBack", 100, 0 }, { "WholeImage", 30, 20 } };
} // namespace

// The instrument's own area is never replaced under a success, a refusal writes nothing, and
// the home folder completes the update with the area back afterwards.
TEST_P (TerminalFinishedElsewhere, KeepsTheOwnAreaOrRefusesThenHomeCompletes)
{
    const auto& [cut, finish] = GetParam();
    Bench bench;
    auto& instrument = bench.addInstrument (instant());
    const auto ownArea = instrument.readFlash (0x40000, 0x20000);
    const auto small = bench.writeUpdate ("u.bin", 0x40000);
    const auto large = bench.writeUpdate ("u512.bin", 0x80000, 5);

    const auto cutAt = [&] (const juce::File& file, int block)
    {
        instrument.injectFault (*emu::parseFault ("power-loss@program-block:" + std::to_string (block)));
        const auto run = bench.run ({ "update", file.getFullPathName(), "--yes", "--same-unit" });
        EXPECT_EQ (run.exitCode, 7) << run;
        instrument.powerOn();
    };
    cutAt (small, cut.smallBlock);
    if (cut.largeBlock != 0)
        cutAt (large, cut.largeBlock);
    const auto left = instrument.readFlash (0, 0x80000);

    const auto elsewhere = bench.file ("elsewhere");
    const auto carried = bench.file ("carried.rec");
    if (finish != Finish::emptyFolder)
    {
        const auto exported = bench.run ({ "recovery", "export", carried.getFullPathName() });
        ASSERT_EQ (exported.exitCode, 0) << exported;
    }
    if (finish == Finish::damagedImport)
    {
        juce::MemoryBlock bytes;
        ASSERT_TRUE (carried.loadFileAsData (bytes));
        static_cast<char*> (bytes.getData())[bytes.getSize() / 2] ^= 0x10;
        ASSERT_TRUE (carried.replaceWithData (bytes.getData(), bytes.getSize()));
    }
    if (finish != Finish::emptyFolder)
    {
        const auto imported = bench.runWithState (elsewhere, { "recovery", "import", carried.getFullPathName() });
        EXPECT_EQ (imported.exitCode, finish == Finish::imported ? 0 : 9) << imported;
    }

    // Elsewhere, as a script would: --yes, and the unit named only where an import brought it.
    juce::StringArray command { "update", small.getFullPathName(), "--yes", "--json" };
    if (finish == Finish::imported)
        command.add ("--same-unit");
    const auto there = bench.runWithState (elsewhere, command);
    const std::vector<std::uint8_t> areaLeft (left.begin() + 0x40000, left.begin() + 0x60000);
    if (finish == Finish::imported)
    {
        EXPECT_EQ (there.exitCode, 0) << there;
        EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);
    }
    else if (there.exitCode == 0)
    {
        EXPECT_FALSE (there.out.contains ("settingsReplaced")) << there;
        EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == areaLeft) << "a success replaced the area";
    }
    else
    {
        EXPECT_EQ (there.exitCode, 8) << there;
        EXPECT_TRUE (there.out.contains ("--replace-settings")) << there;
        EXPECT_TRUE (instrument.readFlash (0, 0x80000) == left);
    }

    const auto home = bench.run ({ "update", small.getFullPathName(), "--yes", "--same-unit" });
    EXPECT_EQ (home.exitCode, 0) << home;
    EXPECT_TRUE (instrument.readFlash (0, 0x40000) == bytesOf (small));
    EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);
}

INSTANTIATE_TEST_SUITE_P (Table, TerminalFinishedElsewhere,
                          ::testing::Combine (::testing::ValuesIn (cuts),
                                              ::testing::Values (Finish::emptyFolder, Finish::imported, Finish::damagedImport)),
                          [] (const auto& info)
                          {
                              return std::string (std::get<0> (info.param).name) + "_" + nameOf (std::get<1> (info.param));
                          });

TEST (TerminalRecovery, Refusals)
{
    Bench bench;
    bench.addInstrument (instant());
    const auto carried = bench.file ("carried.rec");

    // Nothing pending: nothing is written.
    const auto none = bench.run ({ "recovery", "export", carried.getFullPathName() });
    EXPECT_EQ (none.exitCode, 9) << none;
    EXPECT_TRUE (none.err.contains ("there is nothing to export")) << none;
    EXPECT_FALSE (carried.exists());

    // Not a recovery file.
    const auto junk = bench.file ("junk.rec");
    junk.replaceWithText ("talvek-recovery 1\nzkt_update.journal 10 00\n");
    const auto damaged = bench.run ({ "recovery", "import", junk.getFullPathName() });
    EXPECT_EQ (damaged.exitCode, 9) << damaged;
    EXPECT_TRUE (damaged.err.contains ("is not a whole recovery file")) << damaged;
    EXPECT_FALSE (bench.state().getChildFile ("zkt_update.journal").exists());

    // The instance lock is taken like every other command's.
    {
        InstanceLock lock (bench.state());
        ASSERT_EQ (lock.tryAcquire(), InstanceLock::Outcome::acquired);
        EXPECT_EQ (bench.run ({ "recovery", "import", junk.getFullPathName() }).exitCode, 10);
    }

    // A different interrupted update waiting here is never replaced.
    const auto other = bench.file ("other");
    leavePending (other, "TALVEK DM-20");
    ASSERT_EQ (bench.runWithState (other, { "recovery", "export", carried.getFullPathName() }).exitCode, 0);
    leavePending (bench.state(), "TALVEK DM-10");
    const auto journalBefore = bench.state().getChildFile ("zkt_update.journal").loadFileAsString();
    const auto different = bench.run ({ "recovery", "import", carried.getFullPathName() });
    EXPECT_EQ (different.exitCode, 8) << different;
    EXPECT_TRUE (different.err.contains ("a different interrupted update waits")) << different;
    EXPECT_EQ (bench.state().getChildFile ("zkt_update.journal").loadFileAsString(), journalBefore);

    const auto usage = bench.run ({ "recovery", "send", carried.getFullPathName() });
    EXPECT_EQ (usage.exitCode, 2) << usage;
}
