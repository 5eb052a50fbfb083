// The two update scripts, job by job, and the recovery decision that chooses between the
// variants of the 256 KiB one.
#include "WorkflowTestSupport.h"

#include "devicelink/JobQueue.h"
#include "messages/LogPrinter.h"
#include "workflow/UpdateScript.h"
#include "workflow/UpdateJournal.h"

#include <gtest/gtest.h>

using namespace workflowtest;

namespace
{
// Stand-ins: the script only passes these pointers on.
const std::uint8_t workDriver[16] {};
const std::uint8_t specialDriver[16] {};
const std::uint8_t paramArea[16] {};
const std::uint8_t zeroBlock[16] {};
const UpdateScript::Blocks blocks { workDriver, 4096, specialDriver, 4096, paramArea, zeroBlock };

enum class Src { none, update, backup, readBack, lock, work, special, param, zero };

struct Row
{
    const char* step;
    JobKind kind;
    Src src = Src::none;
    int page = 0, fileOffset = 0, flashOffset = 0, length = 0;
    float start = 0, end = 0;
    const char* name = "";
    int mode = 0;
    Src second = Src::none;
};

Row sendDriver (const char* step, Src which, float s, float e)
{
    return { step, JobKind::SendDriver, which, 0, 0, 0, 0, s, e, which == Src::work ? "Work" : "Sepcial" };
}
Row eraseParam (const char* step, float s, float e) { return { step, JobKind::EraseParamSector, Src::none, 0, 0, 0x40000, 0x20000, s, e }; }
Row programData (const char* step, Src which, int at, int n, float s, float e) { return { step, JobKind::ProgramData, which, 0, 0, at, n, s, e }; }
Row saveIo (const char* step) { return { step, JobKind::SaveIoState }; }
Row erase (const char* step, Src f, int fileOff, int flashOff, int n, float s, float e) { return { step, JobKind::EraseRange, f, 0, fileOff, flashOff, n, s, e }; }
Row program (const char* step, Src f, int fileOff, int flashOff, int n, float s, float e) { return { step, JobKind::ProgramFile, f, 0, fileOff, flashOff, n, s, e }; }
Row read (const char* step, Src f, int flashOff, int n, float s, float e) { return { step, JobKind::ReadToFile, f, 0, 0, flashOff, n, s, e }; }
Row compare (const char* step, Src written, Src back) { return { step, JobKind::CompareFiles, written, 0, 0, 0, 0, 0, 0, "", 0, back }; }
Row lock (const char* step, int mode) { return { step, JobKind::BackupLock, Src::lock, 0, 0, 0, 0, 0, 0, "", mode }; }

class Scripts : public ::testing::Test
{
protected:
    Scripts() { EXPECT_TRUE (Recovery::prepareFolder (state.folder).wasOk()); }

    juce::String pathOf (Src s) const
    {
        switch (s)
        {
            case Src::update:   return updateFile;
            case Src::backup:   return paths.backupFile;
            case Src::readBack: return paths.readBackFile;
            case Src::lock:     return paths.lockFile;
            default:            return {};
        }
    }

    static const std::uint8_t* dataOf (Src s)
    {
        switch (s)
        {
            case Src::work:    return workDriver;
            case Src::special: return specialDriver;
            case Src::param:   return paramArea;
            case Src::zero:    return zeroBlock;
            default:           return nullptr;
        }
    }

    // By default the journal vouches for the backup as it is.
    UpdateScript::Kind queue (int size, std::optional<juce::String> backupDigest = std::nullopt)
    {
        return UpdateScript::queue (jobs, updateFile, size, blocks, paths,
                                    backupDigest.value_or (Recovery::digestOf (juce::File (paths.backupFile))));
    }

    void expectJobs (const std::vector<Row>& rows) const
    {
        const auto& got = jobs.getJobs();
        ASSERT_EQ (got.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i)
        {
            const auto& row = rows[i];
            const auto& job = got[i];
            SCOPED_TRACE (row.step);
            ASSERT_EQ (job.kind, row.kind);
            switch (row.kind)
            {
                case JobKind::SendDriver:
                    EXPECT_EQ (job.data, dataOf (row.src));
                    EXPECT_EQ (job.dataLength, 4096);
                    EXPECT_STREQ (job.name.data(), row.name);
                    break;
                case JobKind::ProgramData:
                    EXPECT_EQ (job.data, dataOf (row.src));
                    break;
                case JobKind::EraseRange:
                case JobKind::ProgramFile:
                case JobKind::ReadToFile:
                case JobKind::BackupLock:
                    EXPECT_EQ (job.path, pathOf (row.src));
                    break;
                case JobKind::CompareFiles:
                    EXPECT_EQ (job.path, pathOf (row.src));
                    EXPECT_EQ (job.readBackPath, pathOf (row.second));
                    EXPECT_EQ (job.fileOffset, 0);
                    break;
                default:
                    break;
            }
            if (row.kind != JobKind::CompareFiles && row.kind != JobKind::BackupLock && row.kind != JobKind::SaveIoState)
            {
                EXPECT_EQ (job.page, row.page);
                EXPECT_EQ (job.flashOffset, row.flashOffset);
                EXPECT_EQ (job.length, row.length);
                EXPECT_FLOAT_EQ (job.progressStart, row.start);
                EXPECT_FLOAT_EQ (job.progressEnd, row.end);
            }
            if (row.kind == JobKind::EraseRange || row.kind == JobKind::ProgramFile)
            {
                EXPECT_EQ (job.fileOffset, row.fileOffset);
            }
            if (row.kind == JobKind::BackupLock)
            {
                EXPECT_EQ (job.mode, row.mode);
            }
        }
    }

    static std::vector<Row> scriptB (int size, bool withBackup)
    {
        std::vector<Row> rows { sendDriver ("first upload", Src::work, 0, 100) };
        if (withBackup)
        {
            rows.push_back (read ("B1", Src::backup, 0x40000, 0x20000, 0, 4));
            rows.push_back (read ("B1, read again", Src::readBack, 0x40000, 0x20000, 4, 7));
            rows.push_back (compare ("B1, both reads agree", Src::backup, Src::readBack));
            rows.push_back (lock ("B2", 0));
        }
        const std::vector<Row> rest {
            sendDriver ("B3", Src::work, 7, 9),
            eraseParam ("B4", 9, 18),
            programData ("B5", Src::param, 0x40000, 0x10000, 18, 25),
            sendDriver ("B6", Src::special, 25, 27),
            saveIo ("B7"),
            sendDriver ("B8", Src::work, 27, 29),
            programData ("B9", Src::zero, 0xF000, 0x1000, 29, 30),
            erase ("B10", Src::update, 0x20000, 0x20000, 0x20000, 30, 37),
            program ("B11", Src::update, 0x20000, 0x20000, 0x20000, 37, 46),
            erase ("B12", Src::update, 0, 0, 0x20000, 46, 55),
            program ("B13", Src::update, 0, 0, 0x20000, 55, 64),
            erase ("B14", Src::backup, 0, 0x40000, 0x20000, 64, 73),
            program ("B15", Src::backup, 0, 0x40000, 0x20000, 73, 82),
            read ("B17", Src::readBack, 0, size, 82, 91),
            compare ("B18", Src::update, Src::readBack),
            sendDriver ("B19", Src::work, 91, 93),
            read ("B20", Src::readBack, 0x40000, 0x20000, 93, 100),
            compare ("B21", Src::backup, Src::readBack),
            lock ("B16, once everything is verified", 1),
        };
        rows.insert (rows.end(), rest.begin(), rest.end());
        return rows;
    }

    static std::vector<Row> scriptA (int size)
    {
        return {
            sendDriver ("first upload", Src::work, 0, 100),
            eraseParam ("A1", 0, 2),
            programData ("A2", Src::param, 0x40000, 0x10000, 2, 4),
            sendDriver ("A3", Src::special, 4, 4),
            saveIo ("A4"),
            sendDriver ("A5", Src::work, 4, 4),
            programData ("A6", Src::zero, 0xF000, 0x1000, 4, 4.5f),
            erase ("A7", Src::update, 0x60000, 0x60000, 0, 4.5f, 26),
            program ("A8", Src::update, 0x60000, 0x60000, 0, 26, 50),
            erase ("A9", Src::update, 0x20000, 0x20000, 0x20000, 50, 52),
            program ("A10", Src::update, 0x20000, 0x20000, 0x20000, 52, 54),
            erase ("A11", Src::update, 0, 0, 0x20000, 54, 56),
            program ("A12", Src::update, 0, 0, 0x20000, 56, 58),
            erase ("A13", Src::update, 0x40000, 0x40000, 0x20000, 58, 60),
            program ("A14", Src::update, 0x40000, 0x40000, 0x20000, 60, 62),
            read ("A15", Src::readBack, 0, size, 62, 99),
            compare ("A16", Src::update, Src::readBack),
            lock ("a pending restore cleared, once everything is verified", 1),
        };
    }

    void writeLock() const { juce::File (paths.lockFile).replaceWithText ("ZKT backup lock!"); }
    void writeBackup (std::size_t n) const { juce::File (paths.backupFile).replaceWithData (std::string (n, 'b').data(), n); }

    ScopedStateFolder state;
    Recovery::Paths paths = state.paths();
    juce::String updateFile = state.scratch().getChildFile ("update.bin").getFullPathName();
    JobQueue jobs;
};
} // namespace

TEST_F (Scripts, KeepAreaWithFreshBackup)
{
    EXPECT_EQ (queue (0x40000), UpdateScript::Kind::keepAreaFresh);
    expectJobs (scriptB (0x40000, true));
    EXPECT_EQ (jobs.getJobs().size(), 24u); // the first upload, B1 read twice and compared, B2 to B21
}

TEST_F (Scripts, KeepAreaRestoresAnInterruptedUpdate)
{
    writeLock();
    writeBackup (0x20000);
    EXPECT_EQ (queue (0x40000), UpdateScript::Kind::keepAreaRestore);
    expectJobs (scriptB (0x40000, false));
    EXPECT_EQ (jobs.getJobs().size(), 20u);          // B3 to B21
    EXPECT_FLOAT_EQ (jobs.getJobs()[1].progressStart, 7.0f); // the bar starts at 7 %
    EXPECT_TRUE (juce::File (paths.lockFile).exists()); // deleted only by B16
}

TEST_F (Scripts, LockWithoutUsableBackupQueuesNothingMore)
{
    for (const auto backup : { std::int64_t (-1), std::int64_t (0x1F000) })
    {
        jobs.clear();
        juce::File (paths.backupFile).deleteFile();
        writeLock();
        if (backup >= 0)
            writeBackup (static_cast<std::size_t> (backup));
        EXPECT_EQ (queue (0x40000), UpdateScript::Kind::refused);
        expectJobs ({ sendDriver ("first upload", Src::work, 0, 100) });
        EXPECT_TRUE (juce::File (paths.lockFile).exists());
    }

    // A whole backup that is not the one the journal names (changed, or no journal at all).
    writeBackup (0x20000);
    for (const auto& digest : { juce::String(), juce::String::repeatedString ("0", 64) })
    {
        jobs.clear();
        EXPECT_EQ (queue (0x40000, digest), UpdateScript::Kind::refused);
        EXPECT_EQ (jobs.getJobs().size(), 1u);
    }
}

TEST_F (Scripts, FullImageClearsTheLockLastAndKeepsTheBackup)
{
    writeLock();
    writeBackup (0x20000);
    EXPECT_EQ (queue (0x80000), UpdateScript::Kind::fullImage);
    expectJobs (scriptA (0x80000));
    // Until the whole image is verified a failed script must leave the restore pending.
    EXPECT_TRUE (juce::File (paths.lockFile).exists());
    EXPECT_TRUE (juce::File (paths.backupFile).exists());
}

TEST_F (Scripts, SizeBoundary)
{
    EXPECT_EQ (queue (0x40000), UpdateScript::Kind::keepAreaFresh);
    expectJobs (scriptB (0x40000, true));
    jobs.clear();
    EXPECT_EQ (queue (0x40001), UpdateScript::Kind::fullImage);
    expectJobs (scriptA (0x40001));
}
