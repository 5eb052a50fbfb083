// The private folder of the update's files, the recovery decision and the update journal.
#include "WorkflowTestSupport.h"

#include "workflow/Recovery.h"
#include "workflow/UpdateJournal.h"

#include <gtest/gtest.h>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

using namespace workflowtest;

namespace
{
#if ! JUCE_WINDOWS
mode_t modeOf (const juce::File& f)
{
    struct stat info {};
    EXPECT_EQ (::lstat (f.getFullPathName().toRawUTF8(), &info), 0);
    return info.st_mode & 0777;
}
#endif

void writeBytes (const juce::File& f, std::size_t n, char value = 'x')
{
    f.replaceWithData (std::string (n, value).data(), n);
}
} // namespace

TEST (RecoveryFolder, VariableNamesTheFolderAndItIsCreatedPrivate)
{
    ScopedStateFolder state;
    EXPECT_EQ (Recovery::folderLocation(), state.folder);
    EXPECT_FALSE (state.folder.exists());

    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    EXPECT_TRUE (state.folder.isDirectory());
   #if ! JUCE_WINDOWS
    EXPECT_EQ (modeOf (state.folder), 0700u);
    EXPECT_EQ (modeOf (state.folder.getParentDirectory()), 0700u); // a missing parent is made too
   #endif

    const auto paths = Recovery::pathsIn (state.folder);
    EXPECT_EQ (paths.lockFile, state.folder.getChildFile ("zkt_update.lock").getFullPathName());
    EXPECT_EQ (paths.backupFile, state.folder.getChildFile ("zkt_backup.tmp").getFullPathName());
    EXPECT_EQ (paths.readBackFile, state.folder.getChildFile ("zkt_tmp_read.tmp").getFullPathName());
    EXPECT_EQ (paths.versionFile, state.folder.getChildFile ("zkt_read_version.bin").getFullPathName());
}

// File modes and links planted by other users: POSIX only.
#if ! JUCE_WINDOWS
// A folder the tool did not make keeps its mode: one that others can write in (or put another
// folder in place of) is refused, since their files could pose as a journal or a backup.
TEST (RecoveryFolder, AFolderOthersCanWriteInIsRefusedAndKeepsItsMode)
{
    struct Case
    {
        const char* what;
        mode_t above;   // the folder the state folder lies in
        mode_t mode;    // the state folder's own, before
        bool accepted;
    };
    const Case cases[] {
        { "private", 0700, 0700, true },
        { "readable by others, not writable", 0700, 0755, true },
        { "shared with everyone", 0700, 0777, false },
        { "shared, sticky like /tmp", 0700, 01777, false },
        { "group-writable", 0700, 0770, false },
        { "others may write in the folder above", 0777, 0700, false },
        { "a sticky folder above, like /tmp", 01777, 0700, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ScopedStateFolder state;
        const auto above = state.scratch().getChildFile ("above");
        const auto folder = above.getChildFile ("state");
        ASSERT_TRUE (folder.createDirectory().wasOk());
        ASSERT_EQ (::chmod (folder.getFullPathName().toRawUTF8(), c.mode), 0);
        ASSERT_EQ (::chmod (above.getFullPathName().toRawUTF8(), c.above), 0);

        const auto prepared = Recovery::prepareFolder (folder);
        EXPECT_EQ (prepared.wasOk(), c.accepted) << prepared.getErrorMessage();
        if (! c.accepted)
        {
            EXPECT_TRUE (prepared.getErrorMessage().contains ("can be written by other users")) << prepared.getErrorMessage();
        }
        struct stat info {};
        ASSERT_EQ (::lstat (folder.getFullPathName().toRawUTF8(), &info), 0);
        EXPECT_EQ (info.st_mode & 07777, c.mode) << "the mode of a folder the tool did not make was changed";
    }
}

TEST (RecoveryFolder, AFolderItMakesIsPrivateWhateverTheUmask)
{
    ScopedStateFolder state;
    const auto old = ::umask (0);
    const auto prepared = Recovery::prepareFolder (state.folder);
    ::umask (old);
    ASSERT_TRUE (prepared.wasOk()) << prepared.getErrorMessage();
    EXPECT_EQ (modeOf (state.folder), 0700u);
}

TEST (RecoveryFolder, SymlinkFileOrAnotherUsersFolderRefused)
{
    ScopedStateFolder state;
    // A link planted where the folder should be must not redirect the backup.
    const auto elsewhere = state.scratch().getChildFile ("elsewhere");
    ASSERT_TRUE (elsewhere.createDirectory().wasOk());
    const auto link = state.scratch().getChildFile ("linked");
    ASSERT_TRUE (elsewhere.createSymbolicLink (link, true));
    EXPECT_TRUE (Recovery::prepareFolder (link).failed());

    const auto plainFile = state.scratch().getChildFile ("plain");
    writeBytes (plainFile, 3);
    EXPECT_TRUE (Recovery::prepareFolder (plainFile).failed());

    if (::geteuid() == 0)
    {
        ASSERT_EQ (::chown (elsewhere.getFullPathName().toRawUTF8(), 65534, 65534), 0);
        const auto prepared = Recovery::prepareFolder (elsewhere);
        EXPECT_TRUE (prepared.getErrorMessage().contains ("belongs to another user")) << prepared.getErrorMessage();
    }
}

TEST (RecoveryFolder, DefaultFollowsXdgStateHome)
{
    const char* old = std::getenv (Recovery::folderVariable);
    const std::string saved = old != nullptr ? old : "";
    const char* oldXdg = std::getenv ("XDG_STATE_HOME");
    const std::string savedXdg = oldXdg != nullptr ? oldXdg : "";
    ::unsetenv (Recovery::folderVariable);

    ::setenv ("XDG_STATE_HOME", "/somewhere/state", 1);
    EXPECT_EQ (Recovery::folderLocation().getFullPathName(), "/somewhere/state/talvek-update-tool");
    ::setenv ("XDG_STATE_HOME", "relative/state", 1); // ignored, as every relative XDG path
    EXPECT_EQ (Recovery::folderLocation(),
               juce::File::getSpecialLocation (juce::File::userHomeDirectory)
                   .getChildFile (".local/state/talvek-update-tool"));

    oldXdg != nullptr ? ::setenv ("XDG_STATE_HOME", savedXdg.c_str(), 1) : ::unsetenv ("XDG_STATE_HOME");
    if (old != nullptr)
        ::setenv (Recovery::folderVariable, saved.c_str(), 1);
}
#else
TEST (RecoveryFolder, DefaultIsInLocalApplicationDataNotTheTemporaryFolder)
{
    const ScopedEnvironment unset (Recovery::folderVariable, std::nullopt);
    const auto folder = Recovery::folderLocation();
    EXPECT_EQ (folder, juce::File::getSpecialLocation (juce::File::windowsLocalAppData).getChildFile ("TALVEK Update Tool"));
    EXPECT_FALSE (folder.isAChildOf (juce::File::getSpecialLocation (juce::File::tempDirectory)));
}
#endif

TEST (RecoveryDecision, ByLockAndBackup)
{
    struct Case
    {
        const char* what;
        bool lock;
        std::int64_t backupSize; // -1: no backup file
        Recovery::Decision expected;
    };
    const Case cases[] = {
        { "no lock, no backup", false, -1, Recovery::Decision::takeFreshBackup },
        { "no lock, partial backup", false, 0x1000, Recovery::Decision::takeFreshBackup },
        { "no lock, complete backup", false, 0x20000, Recovery::Decision::takeFreshBackup },
        { "lock, complete backup", true, 0x20000, Recovery::Decision::restoreFromBackup },
        { "lock, no backup", true, -1, Recovery::Decision::cannotRecover },
        { "lock, short backup", true, 0x1FFFF, Recovery::Decision::cannotRecover },
        { "lock, empty backup", true, 0, Recovery::Decision::cannotRecover },
        { "lock, long backup", true, 0x20001, Recovery::Decision::cannotRecover },
    };

    for (const auto& c : cases)
    {
        ScopedStateFolder state;
        ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
        const auto paths = state.paths();
        if (c.lock)
            juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!");
        if (c.backupSize >= 0)
            writeBytes (juce::File (paths.backupFile), static_cast<std::size_t> (c.backupSize));
        const juce::File backup (paths.backupFile);
        EXPECT_EQ (Recovery::decide (juce::File (paths.lockFile), backup, Recovery::digestOf (backup)), c.expected)
            << c.what;
        // A backup the journal does not vouch for is never written back.
        if (c.lock)
        {
            EXPECT_EQ (Recovery::decide (juce::File (paths.lockFile), backup, {}), Recovery::Decision::cannotRecover)
                << c.what;
            EXPECT_EQ (Recovery::decide (juce::File (paths.lockFile), backup, Recovery::digestOf (state.folder)),
                       Recovery::Decision::cannotRecover) << c.what;
        }
    }
}

TEST (RecoveryJournal, RoundTripAndDamage)
{
    ScopedStateFolder state;
    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    const juce::File file (state.paths().journalFile);
    Recovery::Journal read;
    EXPECT_EQ (Recovery::readJournal (file, read), Recovery::JournalState::none);

    const Recovery::Journal journal { { bytes12 ("TALVEK DM-10"), bytes12 ("T1") }, 'B', 0x40000,
                                      juce::String::repeatedString ("ab", 32), juce::String::repeatedString ("0f", 32) };
    for (auto backup : { journal.backupDigest, juce::String() })
    {
        auto j = journal;
        j.backupDigest = backup;
        ASSERT_TRUE (Recovery::writeJournal (file, j).wasOk());
        ASSERT_EQ (Recovery::readJournal (file, read), Recovery::JournalState::valid);
        EXPECT_TRUE (read == j);
    }
    EXPECT_FALSE (file.getSiblingFile ("zkt_update.journal.new").exists());

    // Any change to a line, a cut anywhere, or something that is not a file: not to be trusted.
    const auto text = file.loadFileAsString();
    const juce::String damaged[] = {
        text.replace ("script B", "script A"),
        text.replace ("file-size 262144", "file-size 262145"),
        text.substring (0, text.length() - 2),
        text.substring (0, text.indexOf ("check")),
        {},
        juce::String::repeatedString ("x", 5000),
    };
    for (const auto& bad : damaged)
    {
        file.replaceWithText (bad);
        EXPECT_EQ (Recovery::readJournal (file, read), Recovery::JournalState::damaged) << bad;
    }
    file.deleteFile();
    ASSERT_TRUE (file.createDirectory().wasOk());
    EXPECT_EQ (Recovery::readJournal (file, read), Recovery::JournalState::damaged);
    ASSERT_TRUE (file.deleteRecursively());

    ASSERT_TRUE (Recovery::writeJournal (file, journal).wasOk());
    ASSERT_TRUE (Recovery::removeJournal (file).wasOk());
    EXPECT_EQ (Recovery::readJournal (file, read), Recovery::JournalState::none);
}

// What an interruption can leave in the identity and tag bytes, against what another
// instrument holds there.
TEST (RecoveryJournal, BindsTheInstrumentByIdentityAndTag)
{
    const auto id = bytes12 ("TALVEK DM-10");
    const auto tag = bytes12 ("T1");
    const Recovery::Journal journal { { id, tag }, 'B', 0x40000, {}, {} };
    Bytes12 erased;
    erased.fill (0xFF);

    auto cut = [] (Bytes12 bytes, std::size_t from, std::uint8_t orMask = 0xFF)
    {
        for (auto i = from; i < bytes.size(); ++i)
            bytes[i] |= orMask;
        return bytes;
    };
    auto otherTagTail = tag;
    otherTagTail[5] = 0x00; // bytes past the two that files are matched on

    struct Case
    {
        const char* what;
        Bytes12 id, tag;
        Recovery::Binding expected;
    };
    const Case cases[] = {
        { "intact", id, tag, Recovery::Binding::sameInstrument },
        { "tag bytes that files are not matched on", id, otherTagTail, Recovery::Binding::sameInstrument },
        { "identity erased", erased, tag, Recovery::Binding::unreadable },
        { "identity programmed in part", cut (id, 1), tag, Recovery::Binding::unreadable },
        { "identity erased in part", cut (id, 8), tag, Recovery::Binding::unreadable },
        { "a byte caught between old and erased", cut (id, 11, 0x80), tag, Recovery::Binding::unreadable },
        { "tag erased", id, erased, Recovery::Binding::unreadable },
        { "everything erased", erased, erased, Recovery::Binding::unreadable },
        { "another model", bytes12 ("OTHER MODEL!"), tag, Recovery::Binding::otherInstrument },
        { "another tag", id, bytes12 ("Q9"), Recovery::Binding::otherInstrument },
        { "another model, partly erased", cut (bytes12 ("OTHER MODEL!"), 4), tag, Recovery::Binding::otherInstrument },
        { "all zeros", {}, {}, Recovery::Binding::otherInstrument },
    };
    for (const auto& c : cases)
        EXPECT_EQ (Recovery::bind (journal, { c.id, c.tag }), c.expected) << c.what;
}

TEST (RecoveryDurability, SyncReportsAMissingFile)
{
    ScopedStateFolder state;
    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    const auto file = state.folder.getChildFile ("data");
    const auto missing = Recovery::syncToDisk (file);
    EXPECT_TRUE (missing.failed());
    EXPECT_TRUE (missing.getErrorMessage().contains (file.getFullPathName())) << missing.getErrorMessage();
    EXPECT_FALSE (file.exists()) << "the sync made the file it should have reported missing";
    writeBytes (file, 10);
    EXPECT_TRUE (Recovery::syncToDisk (state.folder).wasOk()); // a folder, after a removal
    EXPECT_TRUE (Recovery::syncToDisk (file).wasOk());
}
