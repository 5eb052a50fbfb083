// Execute on the workflow: the confirmation, what is set up before the first job, and
// the recovery decision's refusal. The scripts themselves are checked in UpdateScriptTest.
#include "WorkflowBench.h"
#include "workflow/UpdateJournal.h"

#include "devicelink/BuiltInData.h"

#include "devicelink/JobQueue.h"

#include <gtest/gtest.h>

using namespace workflowtest;

namespace
{
class Execute : public ::testing::Test
{
protected:
    Execute()
    {
        bench.identity().deviceIdBytes = bytes12 ("TALVEK DM-10");
        bench.identity().identityRead = true;
        bench.identity().deviceTagBytes = bytes12 ("T1");
        bench.inside().workDriver = { BuiltInData::detectionDrivers()[2].data, 4096 }; // a 64 MiB flash
        bench.view.status = "Device connected.";
        bench.view.fileEnabled = true;
        EXPECT_TRUE (Recovery::prepareFolder (bench.state.folder).wasOk());
    }

    void chooseImage (std::size_t size)
    {
        ImageSpec spec;
        spec.size = size;
        bench.choose (writeImage (bench.state.scratch().getChildFile ("update.bin"), makeImage (spec)));
        ASSERT_TRUE (bench.view.executeEnabled);
    }

    void expectNothingStarted()
    {
        auto& w = bench.w();
        EXPECT_FALSE (w.isUpdating());
        EXPECT_FALSE (bench.view.progressVisible);
        EXPECT_FALSE (bench.identity().screenSaverBlocked);
        EXPECT_FALSE (bench.view.screenSaverBlocked);
        EXPECT_EQ (w.jobs().getNextIndex(), 0u);
    }

    Bench bench;
};
} // namespace

TEST_F (Execute, NoChangesNothing)
{
    chooseImage (0x40000);
    bench.execute (false);
    ASSERT_EQ (bench.view.questions.size(), 1);
    EXPECT_EQ (bench.view.questions[0], "Confirmation: Are you sure to update? \nDo not shut power off \nwhile updating.");
    EXPECT_EQ (bench.status(), "Device connected.");
    EXPECT_TRUE (bench.view.fileEnabled);
    EXPECT_TRUE (bench.view.executeEnabled);
    EXPECT_TRUE (bench.w().jobs().getJobs().empty());
    expectNothingStarted();
}

TEST_F (Execute, YesStartsTheScript)
{
    chooseImage (0x40000);
    drain();
    ASSERT_TRUE (bench.log.all().isNotEmpty());
    bench.execute (true);
    auto& w = bench.w();

    EXPECT_EQ (bench.status(), "Updating....");
    EXPECT_FALSE (bench.view.fileEnabled);
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_TRUE (w.isUpdating());
    EXPECT_TRUE (bench.view.progressVisible);
    EXPECT_TRUE (bench.identity().screenSaverBlocked);
    EXPECT_TRUE (bench.view.screenSaverBlocked);

    EXPECT_EQ (w.jobs().getJobs().size(), 24u);
    EXPECT_EQ (w.jobs().getNextIndex(), 1u);
    EXPECT_EQ (w.jobs().current.kind, JobKind::SendDriver);
    EXPECT_EQ (w.jobs().current.data, BuiltInData::detectionDrivers()[2].data);
    EXPECT_STREQ (w.jobs().current.name.data(), "Work");
    EXPECT_FLOAT_EQ (w.jobs().current.progressStart, 0.0f);
    EXPECT_FLOAT_EQ (w.jobs().current.progressEnd, 100.0f);

    // Only the backup read comes before the flash changes: the checked copy is staged, and the
    // journal goes on the disk once that read has been judged, before the lock.
    EXPECT_FALSE (juce::File (bench.state.paths().journalFile).exists());
    EXPECT_FALSE (juce::File (bench.state.paths().updateCopyFile).exists());
    EXPECT_EQ (juce::File (bench.state.paths().stagedCopyFile).getSize(), 0x40000);

    drain();
    EXPECT_FALSE (bench.log.all().contains ("File version:")); // the log was cleared
}

TEST_F (Execute, LockWithoutUsableBackupRefuses)
{
    chooseImage (0x40000);
    const auto paths = bench.state.paths();
    for (const int backup : { -1, 0x1FFFF })
    {
        SCOPED_TRACE (backup);
        juce::File (paths.backupFile).deleteFile();
        juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!");
        if (backup >= 0)
            juce::File (paths.backupFile).replaceWithData (std::string (static_cast<std::size_t> (backup), 'b').data(),
                                                          static_cast<std::size_t> (backup));
        bench.execute (true);
        EXPECT_EQ (bench.status(), "Found an error can't be fixed in the last update.");
        EXPECT_FALSE (bench.view.fileEnabled);
        EXPECT_TRUE (bench.view.executeEnabled);
        EXPECT_TRUE (bench.w().jobs().getJobs().empty()); // not even the first upload is left
        expectNothingStarted();
        EXPECT_TRUE (juce::File (paths.lockFile).exists());
    }
}

TEST_F (Execute, LargerFileClearsTheLockOnlyAtTheEnd)
{
    chooseImage (0x80000);
    const auto paths = bench.state.paths();
    juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!");
    bench.execute (true);
    EXPECT_TRUE (juce::File (paths.lockFile).exists());
    EXPECT_EQ (bench.w().jobs().getJobs().size(), 18u);
    EXPECT_EQ (bench.w().jobs().getJobs().back().kind, JobKind::BackupLock);
    EXPECT_TRUE (bench.w().isUpdating());
}

TEST_F (Execute, WrongSizeIsRefusedBeforeTheQuestion)
{
    for (const std::size_t size : { std::size_t (0x30000), std::size_t (0x50000) })
    {
        chooseImage (size); // the identity matches, so File... enables Execute
        bench.execute (true);
        EXPECT_TRUE (bench.view.questions.isEmpty());
        EXPECT_EQ (bench.status(), "The size of the update file is not correct.");
        expectNothingStarted();
    }
}

// The lock is made only to be forced to the disk; a lock that cannot be says so, in its own
// words, and the update goes no further.
TEST_F (Execute, ALockThatCannotBeForcedToDiskEndsTheUpdate)
{
    auto& w = bench.w();
    auto inside = bench.inside();
    inside.updating = true;
    inside.jobQueue.current.kind = JobKind::BackupLock;
    inside.jobQueue.current.mode = 0;
    inside.jobQueue.current.path = bench.state.paths().lockFile; // never made: it cannot be synced
    bench.handle (MessageCode::JobFinished, 0, 0);
    EXPECT_EQ (bench.status(), "Can't create lock file!");
    EXPECT_FALSE (w.isUpdating());
}
