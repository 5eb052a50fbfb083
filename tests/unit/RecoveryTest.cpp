// The private folder of the update's files, the recovery decision and the saved identity.
#include "WorkflowTestSupport.h"

#include "workflow/Recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace workflowtest;

namespace
{
mode_t modeOf (const juce::File& f)
{
    struct stat info {};
    EXPECT_EQ (::lstat (f.getFullPathName().toRawUTF8(), &info), 0);
    return info.st_mode & 0777;
}

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
    EXPECT_EQ (modeOf (state.folder), 0700u);
    EXPECT_EQ (modeOf (state.folder.getParentDirectory()), 0700u); // a missing parent is made too

    const auto paths = Recovery::pathsIn (state.folder);
    EXPECT_EQ (paths.lockFile, state.folder.getChildFile ("zkt_update.lock").getFullPathName());
    EXPECT_EQ (paths.backupFile, state.folder.getChildFile ("zkt_backup.tmp").getFullPathName());
    EXPECT_EQ (paths.readBackFile, state.folder.getChildFile ("zkt_tmp_read.tmp").getFullPathName());
    EXPECT_EQ (paths.versionFile, state.folder.getChildFile ("zkt_read_version.bin").getFullPathName());
}

TEST (RecoveryFolder, LooseModeIsTightenedAndSymlinkOrFileRefused)
{
    ScopedStateFolder state;
    ASSERT_TRUE (state.folder.createDirectory().wasOk());
    ::chmod (state.folder.getFullPathName().toRawUTF8(), 0777);
    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    EXPECT_EQ (modeOf (state.folder), 0700u);

    // A link planted where the folder should be must not redirect the backup.
    const auto elsewhere = state.scratch().getChildFile ("elsewhere");
    ASSERT_TRUE (elsewhere.createDirectory().wasOk());
    const auto link = state.scratch().getChildFile ("linked");
    ASSERT_TRUE (elsewhere.createSymbolicLink (link, true));
    EXPECT_TRUE (Recovery::prepareFolder (link).failed());

    const auto plainFile = state.scratch().getChildFile ("plain");
    writeBytes (plainFile, 3);
    EXPECT_TRUE (Recovery::prepareFolder (plainFile).failed());
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
        EXPECT_EQ (Recovery::decide (juce::File (paths.lockFile), juce::File (paths.backupFile)), c.expected)
            << c.what;
    }
}

TEST (RecoveryIdentity, SavedRecordStandsInOnlyForErasedBytes)
{
    ScopedStateFolder state;
    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    const juce::File file (state.paths().identityFile);

    const Recovery::Identity real { bytes12 ("TALVEK DM-10"), bytes12 ("T1") };
    EXPECT_FALSE (Recovery::loadIdentity (file).has_value());
    ASSERT_TRUE (Recovery::saveIdentity (file, real).wasOk());
    const auto saved = Recovery::loadIdentity (file);
    ASSERT_TRUE (saved.has_value());
    EXPECT_EQ (saved->id, real.id);
    EXPECT_EQ (saved->tag, real.tag);

    Bytes12 erased;
    erased.fill (0xFF);
    const Recovery::Identity other { bytes12 ("OTHER MODEL!"), bytes12 ("Q9") };

    struct Case
    {
        const char* what;
        Recovery::Identity read;
        Recovery::Identity expected;
    };
    const Case cases[] = {
        { "intact identity is kept", real, real },
        { "another instrument is kept", other, other },
        { "erased identity takes the saved one", { erased, erased }, real },
        { "erased tag of the same instrument takes the saved tag", { real.id, erased }, real },
        { "erased tag of another instrument stays", { other.id, erased }, { other.id, erased } },
    };
    for (const auto& c : cases)
    {
        const auto got = Recovery::effectiveIdentity (c.read, saved);
        EXPECT_EQ (got.id, c.expected.id) << c.what;
        EXPECT_EQ (got.tag, c.expected.tag) << c.what;
    }

    EXPECT_EQ (Recovery::effectiveIdentity ({ erased, erased }, std::nullopt).id, erased);

    writeBytes (file, 5); // a damaged record is no record
    EXPECT_FALSE (Recovery::loadIdentity (file).has_value());
}

TEST (RecoveryDurability, SyncReportsAMissingFile)
{
    ScopedStateFolder state;
    ASSERT_TRUE (Recovery::prepareFolder (state.folder).wasOk());
    const auto file = state.folder.getChildFile ("data");
    EXPECT_TRUE (Recovery::syncToDisk (file).failed());
    writeBytes (file, 10);
    EXPECT_TRUE (Recovery::syncToDisk (file).wasOk());
}
