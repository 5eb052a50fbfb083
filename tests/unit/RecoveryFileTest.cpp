// The recovery file: an interrupted update carried whole to another state folder, or not at all.
#include "WorkflowTestSupport.h"

#include "workflow/RecoveryFile.h"

#include <juce_cryptography/juce_cryptography.h>

#include <gtest/gtest.h>

using namespace workflowtest;

namespace
{
juce::String sha (const juce::MemoryBlock& b)
{
    return juce::SHA256 (b.getData(), b.getSize()).toHexString().removeCharacters (" ");
}

juce::MemoryBlock randomBytes (std::size_t n, juce::int64 seed)
{
    juce::Random random (seed);
    juce::MemoryBlock b (n);
    random.fillBitsRandomly (b.getData(), n);
    return b;
}

// A state folder holding what an update interrupted after its backup leaves.
Recovery::Journal leaveInterruptedUpdate (const juce::File& folder, juce::int64 seed = 1)
{
    EXPECT_TRUE (Recovery::prepareFolder (folder).wasOk());
    const auto paths = Recovery::pathsIn (folder);
    const auto backup = randomBytes (0x20000, seed);
    const auto copy = randomBytes (0x40000, seed + 100);
    juce::File (paths.backupFile).replaceWithData (backup.getData(), backup.getSize());
    juce::File (paths.updateCopyFile).replaceWithData (copy.getData(), copy.getSize());
    juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!");
    Recovery::Journal j { { bytes12 ("TALVEK DM-10"), bytes12 ("T1") }, 'B', (juce::int64) copy.getSize(), sha (copy), sha (backup) };
    EXPECT_TRUE (Recovery::writeJournal (juce::File (paths.journalFile), j).wasOk());
    return j;
}

juce::File exportFrom (const juce::File& folder, const juce::File& to)
{
    juce::FileOutputStream out (to);
    EXPECT_TRUE (out.openedOk());
    EXPECT_TRUE (RecoveryFile::write (folder, out).ok());
    return to;
}

juce::StringArray namesIn (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFiles, false))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}
} // namespace

TEST (RecoveryFile, RoundTripGivesIdenticalFilesAndAValidJournal)
{
    ScopedStateFolder state;
    const auto journal = leaveInterruptedUpdate (state.folder);
    const auto file = exportFrom (state.folder, state.scratch().getChildFile ("carried.rec"));

    Recovery::Journal carried;
    ASSERT_TRUE (RecoveryFile::check (file, &carried).ok());
    EXPECT_EQ (carried, journal);

    const auto other = state.scratch().getChildFile ("other");
    ASSERT_TRUE (Recovery::prepareFolder (other).wasOk());
    const auto installed = RecoveryFile::install (file, other);
    ASSERT_TRUE (installed.ok()) << installed.message;
    for (const auto* name : { "zkt_update.journal", "zkt_backup.tmp", "zkt_update_copy.bin", "zkt_update.lock" })
    {
        juce::MemoryBlock a, b;
        EXPECT_TRUE (state.folder.getChildFile (name).loadFileAsData (a));
        EXPECT_TRUE (other.getChildFile (name).loadFileAsData (b)) << name;
        EXPECT_TRUE (a == b) << name;
    }
    Recovery::Journal read;
    EXPECT_EQ (Recovery::readJournal (other.getChildFile ("zkt_update.journal"), read), Recovery::JournalState::valid);
    EXPECT_EQ (read, journal);
    EXPECT_EQ (namesIn (other).size(), 4) << namesIn (other).joinIntoString (" ") << ": nothing is left beside";

    // The same update again is no conflict; without the lock, none is installed.
    juce::File (Recovery::pathsIn (state.folder).lockFile).deleteFile();
    const auto unlocked = exportFrom (state.folder, state.scratch().getChildFile ("unlocked.rec"));
    EXPECT_TRUE (RecoveryFile::install (unlocked, other).ok());
    EXPECT_FALSE (other.getChildFile ("zkt_update.lock").exists());
}

TEST (RecoveryFile, ADamagedFileIsRefusedAndNothingIsInstalled)
{
    ScopedStateFolder state;
    leaveInterruptedUpdate (state.folder);
    const auto good = exportFrom (state.folder, state.scratch().getChildFile ("good.rec"));
    juce::MemoryBlock bytes;
    ASSERT_TRUE (good.loadFileAsData (bytes));
    const auto total = (juce::int64) bytes.getSize();
    const auto headerLength = bytes.toString().indexOf ("\ncheck ") + 72;
    ASSERT_GT (headerLength, 72);

    struct Case
    {
        const char* what;
        std::function<void (juce::MemoryBlock&)> damage;
    };
    const auto cut = [] (juce::int64 at) { return [at] (juce::MemoryBlock& b) { b.setSize ((size_t) at); }; };
    const auto flip = [] (juce::int64 at) { return [at] (juce::MemoryBlock& b) { static_cast<char*> (b.getData())[at] ^= 0x04; }; };
    const std::vector<Case> cases {
        { "empty", cut (0) },
        { "cut in the header", cut (20) },
        { "cut before the check line ends", cut (headerLength - 1) },
        { "cut in the journal", cut (headerLength + 10) },
        { "cut in the backup", cut (headerLength + 0x1000) },
        { "one byte short", cut (total - 1) },
        { "a byte too many", [] (juce::MemoryBlock& b) { b.append ("x", 1); } },
        { "flip in the first line", flip (3) },
        { "flip in a size", flip (headerLength - 150) },
        { "flip in the check", flip (headerLength - 10) },
        { "flip in the journal", flip (headerLength + 40) },
        { "flip in the backup", flip (headerLength + 0x10000) },
        { "flip in the update file", flip (total - 1) },
        { "the journal fails its own check, every digest fitting",
          [&] (juce::MemoryBlock& b)
          {
              // Rebuilt around a journal whose text was changed: only the journal's check can tell.
              auto text = b.toString().substring (0, (int) headerLength);
              const auto journalSize = text.fromFirstOccurrenceOf ("zkt_update.journal ", false, false).getIntValue();
              juce::MemoryBlock journal (static_cast<const char*> (b.getData()) + headerLength, (size_t) journalSize);
              static_cast<char*> (journal.getData())[journal.toString().indexOf ("script ") + 7] = 'A';
              const auto oldDigest = sha (juce::MemoryBlock (static_cast<const char*> (b.getData()) + headerLength, (size_t) journalSize));
              text = text.replace (oldDigest, sha (journal));
              const auto body = text.upToLastOccurrenceOf ("check ", false, false);
              text = body + "check " + juce::SHA256 (body.toUTF8()).toHexString().removeCharacters (" ") + "\n";
              juce::MemoryBlock rebuilt;
              rebuilt.append (text.toRawUTF8(), text.getNumBytesAsUTF8());
              rebuilt.append (journal.getData(), journal.getSize());
              rebuilt.append (static_cast<const char*> (b.getData()) + headerLength + journalSize,
                              b.getSize() - (size_t) (headerLength + journalSize));
              b = rebuilt;
          } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto damaged = bytes;
        c.damage (damaged);
        const auto file = state.scratch().getChildFile ("damaged.rec");
        file.deleteFile();
        ASSERT_TRUE (file.create().wasOk() && file.appendData (damaged.getData(), damaged.getSize()));
        EXPECT_EQ (RecoveryFile::check (file).problem, RecoveryFile::Problem::damagedFile);

        const auto other = state.scratch().getChildFile ("other");
        other.deleteRecursively();
        ASSERT_TRUE (Recovery::prepareFolder (other).wasOk());
        const auto installed = RecoveryFile::install (file, other);
        EXPECT_EQ (installed.problem, RecoveryFile::Problem::damagedFile) << installed.message;
        EXPECT_TRUE (installed.message.contains ("is not a whole recovery file")) << installed.message;
        EXPECT_TRUE (namesIn (other).isEmpty()) << namesIn (other).joinIntoString (" ");
    }
}

TEST (RecoveryFile, ADifferentPendingUpdateIsNeverReplaced)
{
    ScopedStateFolder state;
    leaveInterruptedUpdate (state.folder, 1);
    const auto file = exportFrom (state.folder, state.scratch().getChildFile ("one.rec"));

    const auto other = state.scratch().getChildFile ("other");
    const auto waiting = leaveInterruptedUpdate (other, 7);
    juce::MemoryBlock backupBefore;
    ASSERT_TRUE (other.getChildFile ("zkt_backup.tmp").loadFileAsData (backupBefore));

    const auto installed = RecoveryFile::install (file, other);
    EXPECT_EQ (installed.problem, RecoveryFile::Problem::differentPending);
    EXPECT_TRUE (installed.message.contains ("a different interrupted update waits")) << installed.message;
    Recovery::Journal still;
    EXPECT_EQ (Recovery::readJournal (other.getChildFile ("zkt_update.journal"), still), Recovery::JournalState::valid);
    EXPECT_EQ (still, waiting);
    juce::MemoryBlock backupAfter;
    ASSERT_TRUE (other.getChildFile ("zkt_backup.tmp").loadFileAsData (backupAfter));
    EXPECT_TRUE (backupAfter == backupBefore);
    EXPECT_EQ (namesIn (other).size(), 4);

    // A damaged record there is not replaced either.
    other.getChildFile ("zkt_update.journal").replaceWithText ("talvek-update-journal 1\nbroken\n");
    EXPECT_EQ (RecoveryFile::install (file, other).problem, RecoveryFile::Problem::damagedRecord);
}

TEST (RecoveryFile, NothingToExportWithoutAPendingUpdate)
{
    ScopedStateFolder state;
    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    // A backup of a finished update stays behind; it is no pending update.
    state.file ("zkt_backup.tmp").replaceWithData (randomBytes (0x20000, 3).getData(), 0x20000);
    juce::MemoryOutputStream out;
    const auto none = RecoveryFile::write (state.folder, out);
    EXPECT_EQ (none.problem, RecoveryFile::Problem::nothingPending);
    EXPECT_TRUE (none.message.contains ("there is nothing to export")) << none.message;

    leaveInterruptedUpdate (state.folder);
    state.file ("zkt_backup.tmp").replaceWithText ("changed");
    EXPECT_EQ (RecoveryFile::write (state.folder, out).problem, RecoveryFile::Problem::damagedRecord);
}
