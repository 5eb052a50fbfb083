// File jobs run through the queue: compare, version record, lock file; and their refusals.
#include "JobTestSupport.h"

#include "devicelink/FileJobs.h"
#include "devicelink/JobQueue.h"

#include <gtest/gtest.h>

using namespace jobtest;

namespace
{
struct FileJobsQueue : ::testing::Test, QueueWithoutDevice
{
    // Runs the one queued job and waits for its JobFinished.
    std::pair<int, int> runOne()
    {
        EXPECT_EQ (queue.runNext(), 0);
        if (! pumpUntil ([&] { return ! messages.finished().empty(); }, 2000))
            return { -1, -1 };
        return messages.finished().front();
    }

    TempFolder temp;
};

std::vector<std::uint8_t> bytes (std::initializer_list<int> list)
{
    std::vector<std::uint8_t> out;
    for (int b : list)
        out.push_back ((std::uint8_t) b);
    return out;
}
} // namespace

TEST_F (FileJobsQueue, CompareVerdicts)
{
    const auto written = bytes ({ 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 });
    struct Case
    {
        const char* what;
        std::vector<std::uint8_t> written;
        int offset;
        std::vector<std::uint8_t> readBack;
        const char* verdict;
        std::pair<int, int> finished;
    };
    const Case cases[] = {
        { "tail matches", written, 4, bytes ({ 4, 5, 6, 7, 8, 9 }), "\nOK!\n", { 0, 0 } },
        { "read-back longer", written, 4, bytes ({ 4, 5, 6, 7, 8, 9, 0x55 }), "\nOK! (One file is longer.)\n", { 0, 0 } },
        { "nothing after the offset", bytes ({ 1, 2, 3 }), 3, {}, "\nOK!\n", { 0, 0 } },
        // Bytes written but never read back are not verified.
        { "read-back shorter but matching", written, 0, bytes ({ 0, 1, 2 }), "\nFAIL!\n", { 1, FailureReason::FilesDiffer } },
        { "read-back empty", written, 4, {}, "\nFAIL!\n", { 1, FailureReason::FilesDiffer } },
        { "last byte differs", written, 4, bytes ({ 4, 5, 6, 7, 8, 0x19 }), "\nFAIL!\n", { 1, FailureReason::FilesDiffer } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        messages.messages.clear();
        log.printer.clearLog();
        const auto w = temp.write ("written.bin", c.written);
        const auto r = temp.write ("read.tmp", c.readBack);
        queue.clear();
        queue.addCompareFiles (w, c.offset, r);

        EXPECT_EQ (runOne(), c.finished);
        EXPECT_EQ (log.text(), juce::String ("Start comparing...\n") + c.verdict);
    }
}

TEST_F (FileJobsQueue, CompareOfALargeFileFindsADifferenceFarIn)
{
    auto data = pattern (300000);
    const auto w = temp.write ("big.bin", data);
    data[299990] ^= 0x01;
    const auto r = temp.write ("big.tmp", data);
    queue.addCompareFiles (w, 0, r);
    EXPECT_EQ (runOne(), std::make_pair (1, (int) FailureReason::FilesDiffer));
}

TEST_F (FileJobsQueue, VersionRecordTakesTheFirstTwelveBytesAsUnits)
{
    const auto twelve = bytes ({ 'T', 'A', 'L', 0x80, 0xFF, 0x00, 0x9D, 'K', ' ', 'D', 'M', '1' });
    auto withTail = twelve;
    withTail.push_back ('X');

    for (const auto& content : { twelve, withTail })
    {
        const auto record = FileJobs::readVersionRecord (temp.write ("v.bin", content));
        ASSERT_EQ (record->size(), 143u);
        for (size_t i = 0; i < 12; ++i)
            EXPECT_EQ ((int) (*record)[i], (int) twelve[i]) << i;
        for (size_t i = 12; i < 143; ++i)
            ASSERT_EQ ((int) (*record)[i], 0) << i;
    }

    const auto shortRecord = FileJobs::readVersionRecord (temp.write ("s.bin", bytes ({ 7, 8 })));
    EXPECT_EQ ((*shortRecord)[1], 8);
    EXPECT_EQ ((*shortRecord)[2], 0);
}

TEST_F (FileJobsQueue, VersionRecordOfAMissingFileIsError)
{
    for (const auto& path : { temp.file ("absent.bin").getFullPathName(), juce::String() })
    {
        const auto record = FileJobs::readVersionRecord (path);
        ASSERT_EQ (record->size(), 143u);
        EXPECT_EQ (std::u16string (record->c_str()), u"error");
    }
}

TEST_F (FileJobsQueue, ReadVersionInfoPostsTheRecord)
{
    queue.addReadVersionInfo (temp.write ("v.bin", pattern (12)));
    queue.addReadVersionInfo (temp.file ("absent.bin").getFullPathName());
    queue.runNext();
    queue.runNext();

    ASSERT_TRUE (pumpUntil ([&] { return messages.of (MessageCode::VersionInfo).size() == 2; }, 2000));
    const auto posted = messages.of (MessageCode::VersionInfo);
    ASSERT_TRUE (posted[0].data.has_value());
    EXPECT_EQ (posted[0].data->size(), 143u);
    EXPECT_EQ ((*posted[0].data)[11], pattern (12)[11]);
    EXPECT_EQ (std::u16string (posted[1].data->c_str()), u"error");
    EXPECT_TRUE (messages.finished().empty());
}

TEST_F (FileJobsQueue, LockFileIsCreatedWithItsTextAndDeleted)
{
    const auto lock = temp.file ("zkt_update.lock");
    lock.replaceWithText ("an older and much longer content\n");

    queue.addBackupLock (lock.getFullPathName(), 0);
    EXPECT_EQ (runOne(), std::make_pair (0, 0));
    const auto content = readAll (lock);
    EXPECT_EQ (std::string (content.begin(), content.end()), "ZKT backup lock!");

    messages.messages.clear();
    queue.clear();
    queue.addBackupLock (lock.getFullPathName(), 1);
    EXPECT_EQ (runOne(), std::make_pair (0, 0));
    EXPECT_FALSE (lock.exists());

    messages.messages.clear();
    queue.clear();
    queue.addBackupLock (lock.getFullPathName(), 1);
    EXPECT_EQ (runOne(), std::make_pair (0, 0)) << "an absent lock counts as deleted";
    EXPECT_EQ (log.text(), "");
}

TEST_F (FileJobsQueue, LockFileFailures)
{
    const auto blocker = temp.file ("dir-with-content");
    blocker.getChildFile ("inside").create();

    struct Case
    {
        const char* what;
        juce::String path;
        int mode;
        std::pair<int, int> finished;
    };
    const Case cases[] = {
        { "create in a missing folder", temp.file ("missing/zkt_update.lock").getFullPathName(), 0,
          { 1, FailureReason::LockNotCreated } },
        { "delete a folder that is not empty", blocker.getFullPathName(), 1, { 1, FailureReason::LockNotDeleted } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        messages.messages.clear();
        queue.clear();
        queue.addBackupLock (c.path, c.mode);
        EXPECT_EQ (runOne(), c.finished);
    }
    EXPECT_TRUE (blocker.getChildFile ("inside").exists());
}

// Jobs that used to end without any message, and paths too long to use whole: each now ends
// with JobFinished (1, reason) and its log line. The device-bound cases are in FlashJobsTest.
TEST_F (FileJobsQueue, RefusedFileJobsReportAFailure)
{
    const auto present = temp.write ("present.bin", pattern (16));
    const auto absent = temp.file ("absent.bin").getFullPathName();
    const auto tooLong = longPath (temp.dir, 260);
    const auto longest = longPath (temp.dir, 259);
    const juce::String longLine = "The file path is longer than 259 characters.\n";
    const auto shortImage = pattern (19);

    struct Case
    {
        const char* what;
        std::function<void (JobQueue&)> add;
        juce::String log;
        std::pair<int, int> finished;
    };
    const Case cases[] = {
        { "compare, written file missing", [&] (JobQueue& q) { q.addCompareFiles (absent, 0, present); },
          "Start comparing...\nCan't open source file.\n", { 1, FailureReason::SourceNotOpened } },
        { "compare, read-back file missing", [&] (JobQueue& q) { q.addCompareFiles (present, 0, absent); },
          "Start comparing...\nCan't open source file.\n", { 1, FailureReason::SourceNotOpened } },
        { "compare, written file shorter than the offset", [&] (JobQueue& q) { q.addCompareFiles (present, 17, present); },
          "Start comparing...\nWrite file length < Source offset!\n", { 1, FailureReason::JobRefused } },
        { "compare, negative offset", [&] (JobQueue& q) { q.addCompareFiles (present, -1, present); },
          "Start comparing...\nWrite file length < Source offset!\n", { 1, FailureReason::JobRefused } },
        { "compare, path too long", [&] (JobQueue& q) { q.addCompareFiles (tooLong, 0, present); },
          "Start comparing...\n" + longLine, { 1, FailureReason::SourceNotOpened } },
        { "read, empty path", [&] (JobQueue& q) { q.addReadToFile ({}, 0, 0, 12, 0, 100); },
          "Please select a file to save the data.\n", { 1, FailureReason::ReadFileNotMade } },
        { "read, path too long", [&] (JobQueue& q) { q.addReadToFile (tooLong, 0, 0, 12, 0, 100); },
          longLine, { 1, FailureReason::ReadFileNotMade } },
        { "program, file missing", [&] (JobQueue& q) { q.addProgramFile (absent, 0, 0, 0, 0, 0, 100); },
          "Can't open file to program.\n", { 1, FailureReason::SourceNotOpened } },
        { "program, path too long", [&] (JobQueue& q) { q.addProgramFile (tooLong, 0, 0, 0, 0, 0, 100); },
          longLine, { 1, FailureReason::SourceNotOpened } },
        { "program, file offset past the end", [&] (JobQueue& q) { q.addProgramFile (present, 0, 17, 0, 0, 0, 100); },
          "File offset is beyond the end of the file.\n", { 1, FailureReason::JobRefused } },
        { "program, no data", [&] (JobQueue& q) { q.addProgramData (nullptr, 0, 4096, 0, 100); },
          "No data to program.\n", { 1, FailureReason::JobRefused } },
        { "erase, empty path", [&] (JobQueue& q) { q.addEraseRange ({}, 0, 0, 0, 0, 0, 100); },
          "Please select a file to write first\n", { 1, FailureReason::SourceNotOpened } },
        { "erase, file missing", [&] (JobQueue& q) { q.addEraseRange (absent, 0, 0, 0, 0, 0, 100); },
          "Can't open file to program.\n", { 1, FailureReason::SourceNotOpened } },
        { "erase, path too long", [&] (JobQueue& q) { q.addEraseRange (tooLong, 0, 0, 0, 0, 0, 100); },
          longLine, { 1, FailureReason::SourceNotOpened } },
        { "erase, file offset past the end", [&] (JobQueue& q) { q.addEraseRange (present, 0, 17, 0, 0, 0, 100); },
          "File offset is beyond the end of the file.\n", { 1, FailureReason::JobRefused } },
        { "erase, negative flash offset", [&] (JobQueue& q) { q.addEraseRange (present, 0, 0, -0x20000, 0, 0, 100); },
          "Flash address is out of range.\n", { 1, FailureReason::JobRefused } },
        { "program, page past any flash", [&] (JobQueue& q) { q.addProgramFile (present, 0x7FFF, 0, 0, 0, 0, 100); },
          "Flash address is out of range.\n", { 1, FailureReason::JobRefused } },
        // 1000h x 20000h is 2^29: a word address there wraps to 0 on the wire.
        { "program, empty range at the wire's address limit", [&] (JobQueue& q) { q.addProgramFile (present, 0x1000, 0, 0, 0, 0, 100); },
          "Flash address is out of range.\n", { 1, FailureReason::JobRefused } },
        { "erase, no sector table", [&] (JobQueue& q) { q.addEraseRange (present, 0, 0, 0, 0, 0, 100); },
          "Flash offset must at the start of one sector!\n", { 1, FailureReason::JobRefused } },
        { "driver without geometry", [&] (JobQueue& q) { q.addSendDriver (shortImage.data(), 19, "Short", 0, 100); },
          "Flash infomation is not correct.", { 1, FailureReason::JobRefused } },
        { "lock, path too long", [&] (JobQueue& q) { q.addBackupLock (tooLong, 0); },
          longLine, { 1, FailureReason::LockNotCreated } },
        { "lock delete, path too long", [&] (JobQueue& q) { q.addBackupLock (tooLong, 1); },
          longLine, { 1, FailureReason::LockNotDeleted } },
        { "compare, longest path accepted", [&] (JobQueue& q) { q.addCompareFiles (longest, 0, present); },
          "Start comparing...\nCan't open source file.\n", { 1, FailureReason::SourceNotOpened } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        messages.messages.clear();
        log.printer.clearLog();
        log.text();
        queue.clear();
        c.add (queue);
        EXPECT_EQ (runOne(), c.finished);
        pumpFor (20);
        EXPECT_EQ (messages.finished().size(), 1u);
        EXPECT_EQ (log.text(), c.log);
    }
    EXPECT_FALSE (juce::File (tooLong).exists());
    EXPECT_FALSE (juce::File (tooLong.substring (0, 259)).exists());
}

TEST_F (FileJobsQueue, VersionRecordOfATooLongPathIsError)
{
    const auto path = longPath (temp.dir, 300);
    queue.addReadVersionInfo (path);
    queue.runNext();
    ASSERT_TRUE (pumpUntil ([&] { return ! messages.of (MessageCode::VersionInfo).empty(); }, 2000));
    EXPECT_EQ (std::u16string (messages.of (MessageCode::VersionInfo)[0].data->c_str()), u"error");
    EXPECT_EQ (log.text(), "The file path is longer than 259 characters.\n");
}
