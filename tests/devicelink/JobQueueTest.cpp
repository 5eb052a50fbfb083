// The job queue: records, the runner and its end of script, without a device.
#include "JobTestSupport.h"

#include "devicelink/JobQueue.h"

#include <gtest/gtest.h>

using namespace jobtest;

namespace
{
struct QueueFixture : ::testing::Test, QueueWithoutDevice
{
};

// A job that runs without a device and reports at once.
FlashJob noOpLockJob()
{
    FlashJob job;
    job.kind = JobKind::BackupLock;
    job.mode = 7; // neither create nor delete: succeeds doing nothing
    return job;
}
} // namespace

TEST_F (QueueFixture, EmptyQueueIsFinishedAtOnce)
{
    EXPECT_TRUE (queue.noDriverUploadNext());
    EXPECT_EQ (queue.runNext(), 1);
    EXPECT_EQ (queue.current.kind, JobKind::None);
    pumpFor (20);
    EXPECT_TRUE (messages.messages.empty());
}

TEST_F (QueueFixture, RunsEachJobOnceThenReportsTheEnd)
{
    queue.add (noOpLockJob());
    queue.add (noOpLockJob());

    EXPECT_EQ (queue.runNext(), 0);
    EXPECT_EQ (queue.current.kind, JobKind::BackupLock);
    EXPECT_EQ (queue.runNext(), 0);
    EXPECT_EQ (queue.runNext(), 1);
    EXPECT_EQ (queue.current.kind, JobKind::None);
    EXPECT_EQ (queue.runNext(), 1);

    ASSERT_TRUE (pumpUntil ([&] { return messages.finished().size() == 2; }));
    EXPECT_EQ (messages.finished(), (std::vector<std::pair<int, int>> { { 0, 0 }, { 0, 0 } }));
}

TEST_F (QueueFixture, UnknownKindIsSkippedWithoutReport)
{
    FlashJob odd;
    odd.kind = static_cast<JobKind> (13);
    queue.add (odd);

    EXPECT_EQ (queue.runNext(), 0);
    EXPECT_EQ (queue.getNextIndex(), 1u);
    EXPECT_EQ (queue.runNext(), 1);
    pumpFor (20);
    EXPECT_TRUE (messages.messages.empty());
}

TEST_F (QueueFixture, NoDriverUploadNextLooksOnlyAtTheNextJob)
{
    FlashJob odd;
    odd.kind = static_cast<JobKind> (13);
    queue.add (odd);
    queue.addSendDriver (nullptr, 0, "S29GL256_S", 0, 100);

    EXPECT_TRUE (queue.noDriverUploadNext());  // next is the unknown job
    queue.runNext();
    EXPECT_FALSE (queue.noDriverUploadNext()); // next is the SendDriver

    queue.clear();
    EXPECT_TRUE (queue.noDriverUploadNext());
    EXPECT_EQ (queue.getNextIndex(), 0u);
    EXPECT_TRUE (queue.getJobs().empty());
    EXPECT_EQ (queue.current.kind, JobKind::None);
}

TEST_F (QueueFixture, EnqueueOperationsStoreEachArgumentInItsField)
{
    const std::uint8_t image[4] = {};
    queue.addSendDriver (image, 4096, "S29GL02GS_EST", 4.0f, 4.5f);
    queue.addTestFlash ("ZKT828", "S29GL512_S", image, 4096);
    queue.addEraseRange ("/tmp/a.bin", 2, 0x60000, 0x20000, 0x1000, 4.5f, 26.0f);
    queue.addEraseParamSector (9.0f, 18.0f);
    queue.addProgramFile ("/tmp/b.bin", 3, 0x20000, 0x40000, 0x800, 26.0f, 50.0f);
    queue.addProgramData (image, 0xF000, 0x1000, 29.0f, 30.0f);
    queue.addReadToFile ("/tmp/c.tmp", 0x4F, 0x10, 12, 0.0f, 100.0f);
    queue.addCompareFiles ("/tmp/a.bin", 8, "/tmp/c.tmp");
    queue.addReadVersionInfo ("/tmp/v.bin");
    queue.addSaveIoState();
    queue.addBackupLock ("/tmp/zkt_update.lock", 1);

    const auto& jobs = queue.getJobs();
    ASSERT_EQ (jobs.size(), 11u);

    EXPECT_EQ (jobs[0].kind, JobKind::SendDriver);
    EXPECT_EQ (jobs[0].data, image);
    EXPECT_EQ (jobs[0].dataLength, 4096);
    EXPECT_STREQ (jobs[0].name.data(), "S29GL02GS_EST");
    EXPECT_EQ (jobs[0].progressStart, 4.0f);
    EXPECT_EQ (jobs[0].progressEnd, 4.5f);

    EXPECT_EQ (jobs[1].kind, JobKind::TestFlash);
    EXPECT_STREQ (jobs[1].mcuName.data(), "ZKT828");
    EXPECT_STREQ (jobs[1].flashName.data(), "S29GL512_S");
    EXPECT_EQ (jobs[1].data, image);
    EXPECT_EQ (jobs[1].dataLength, 4096);
    EXPECT_EQ (jobs[1].argument, 0);

    EXPECT_EQ (jobs[2].kind, JobKind::EraseRange);
    EXPECT_EQ (jobs[2].path, "/tmp/a.bin");
    EXPECT_EQ (jobs[2].page, 2);
    EXPECT_EQ (jobs[2].fileOffset, 0x60000);
    EXPECT_EQ (jobs[2].flashOffset, 0x20000);
    EXPECT_EQ (jobs[2].length, 0x1000);

    EXPECT_EQ (jobs[3].kind, JobKind::EraseParamSector);
    EXPECT_EQ (jobs[3].page, 0);
    EXPECT_EQ (jobs[3].flashOffset, 0x40000);
    EXPECT_EQ (jobs[3].length, 0x20000);
    EXPECT_EQ (jobs[3].progressStart, 9.0f);

    EXPECT_EQ (jobs[4].kind, JobKind::ProgramFile);
    EXPECT_EQ (jobs[4].page, 3);
    EXPECT_EQ (jobs[4].fileOffset, 0x20000);
    EXPECT_EQ (jobs[4].flashOffset, 0x40000);
    EXPECT_EQ (jobs[4].length, 0x800);

    EXPECT_EQ (jobs[5].kind, JobKind::ProgramData);
    EXPECT_EQ (jobs[5].page, 0);
    EXPECT_EQ (jobs[5].flashOffset, 0xF000);
    EXPECT_EQ (jobs[5].length, 0x1000);

    EXPECT_EQ (jobs[6].kind, JobKind::ReadToFile);
    EXPECT_EQ (jobs[6].page, 0x4F);
    EXPECT_EQ (jobs[6].flashOffset, 0x10);
    EXPECT_EQ (jobs[6].length, 12);

    EXPECT_EQ (jobs[7].kind, JobKind::CompareFiles);
    EXPECT_EQ (jobs[7].path, "/tmp/a.bin");
    EXPECT_EQ (jobs[7].fileOffset, 8);
    EXPECT_EQ (jobs[7].readBackPath, "/tmp/c.tmp");

    EXPECT_EQ (jobs[8].kind, JobKind::ReadVersionInfo);
    EXPECT_EQ (jobs[9].kind, JobKind::SaveIoState);
    EXPECT_EQ (jobs[10].kind, JobKind::BackupLock);
    EXPECT_EQ (jobs[10].mode, 1);
}

TEST (JobName, KeepsAtMostSeventeenCharactersAndItsTerminator)
{
    EXPECT_STREQ (makeJobName ("Work").data(), "Work");
    EXPECT_STREQ (makeJobName (nullptr).data(), "");
    const auto cut = makeJobName ("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_STREQ (cut.data(), "ABCDEFGHIJKLMNOPQ");
    EXPECT_EQ (cut.back(), '\0');
}
