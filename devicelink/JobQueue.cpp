#include "devicelink/JobQueue.h"

#include "devicelink/MidiPorts.h"

#include <cstring>

JobName makeJobName (const char* text)
{
    JobName name {};
    if (text != nullptr)
        std::memcpy (name.data(), text, strnlen (text, name.size() - 1));
    return name;
}

namespace
{
// The flash-range jobs share one set of fields; each kind uses the ones it needs.
FlashJob rangeJob (JobKind kind, const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                   float progressStart, float progressEnd)
{
    FlashJob job;
    job.kind = kind;
    job.path = path;
    job.page = page;
    job.fileOffset = fileOffset;
    job.flashOffset = flashOffset;
    job.length = length;
    job.progressStart = progressStart;
    job.progressEnd = progressEnd;
    return job;
}
} // namespace

JobQueue::JobQueue (std::unique_ptr<MidiPortSystem> ports, Clock& clock)
    : communication (std::move (ports), clock)
{
}

JobQueue::~JobQueue() = default;

void JobQueue::clear()
{
    jobs.clear();
    nextIndex = 0;
    current.kind = JobKind::None;
}

void JobQueue::add (const FlashJob& job)
{
    jobs.push_back (job);
}

void JobQueue::addSendDriver (const std::uint8_t* data, int length, const char* name,
                              float progressStart, float progressEnd, bool settleFirst)
{
    FlashJob job;
    job.kind = JobKind::SendDriver;
    job.settleFirst = settleFirst;
    job.data = data;
    job.dataLength = length;
    job.name = makeJobName (name);
    job.progressStart = progressStart;
    job.progressEnd = progressEnd;
    add (job);
}

void JobQueue::addTestFlash (const char* mcuName, const char* flashName, const std::uint8_t* data, int length,
                             bool settleFirst)
{
    FlashJob job;
    job.kind = JobKind::TestFlash;
    job.argument = 0;
    job.settleFirst = settleFirst;
    job.mcuName = makeJobName (mcuName);
    job.flashName = makeJobName (flashName);
    job.data = data;
    job.dataLength = length;
    add (job);
}

void JobQueue::addEraseRange (const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                              float progressStart, float progressEnd)
{
    add (rangeJob (JobKind::EraseRange, path, page, fileOffset, flashOffset, length, progressStart, progressEnd));
}

void JobQueue::addEraseParamSector (float progressStart, float progressEnd)
{
    add (rangeJob (JobKind::EraseParamSector, {}, 0, 0, paramSectorOffset, paramSectorLength, progressStart,
                   progressEnd));
}

void JobQueue::addProgramFile (const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                               float progressStart, float progressEnd)
{
    add (rangeJob (JobKind::ProgramFile, path, page, fileOffset, flashOffset, length, progressStart, progressEnd));
}

void JobQueue::addProgramData (const std::uint8_t* data, int flashOffset, int length,
                               float progressStart, float progressEnd)
{
    auto job = rangeJob (JobKind::ProgramData, {}, 0, 0, flashOffset, length, progressStart, progressEnd);
    job.data = data;
    add (job);
}

void JobQueue::addReadToFile (const juce::String& path, int page, int flashOffset, int length,
                              float progressStart, float progressEnd)
{
    add (rangeJob (JobKind::ReadToFile, path, page, 0, flashOffset, length, progressStart, progressEnd));
}

void JobQueue::addCompareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath)
{
    FlashJob job;
    job.kind = JobKind::CompareFiles;
    job.path = writtenPath;
    job.fileOffset = offset;
    job.readBackPath = readBackPath;
    add (job);
}

void JobQueue::addReadVersionInfo (const juce::String& path)
{
    FlashJob job;
    job.kind = JobKind::ReadVersionInfo;
    job.path = path;
    add (job);
}

void JobQueue::addSaveIoState()
{
    FlashJob job;
    job.kind = JobKind::SaveIoState;
    job.argument = 0;
    add (job);
}

void JobQueue::addBackupLock (const juce::String& path, int mode)
{
    FlashJob job;
    job.kind = JobKind::BackupLock;
    job.path = path;
    job.mode = mode;
    add (job);
}

namespace
{
using Runner = void (*) (Communication&, const FlashJob&);

// The operation each kind starts, indexed by kind; null entries start nothing.
constexpr std::array<Runner, 13> dispatch {
    nullptr,
    nullptr,
    // SendDriver
    [] (Communication& c, const FlashJob& j) {
        c.sendDriver (j.data, j.dataLength, j.name.data(), j.progressStart, j.progressEnd, j.settleFirst);
    },
    // TestFlash
    [] (Communication& c, const FlashJob& j) { c.testFlash (j.argument, j.flashName.data(), j.settleFirst); },
    // EraseRange
    [] (Communication& c, const FlashJob& j) {
        c.eraseRange (j.path, j.page, j.flashOffset, j.length, j.fileOffset, j.progressStart, j.progressEnd);
    },
    // EraseParamSector
    [] (Communication& c, const FlashJob& j) {
        c.eraseRange (JobQueue::noFilePath, 0, JobQueue::paramSectorOffset, JobQueue::paramSectorLength, 0,
                      j.progressStart, j.progressEnd);
    },
    // ProgramFile
    [] (Communication& c, const FlashJob& j) {
        c.programFile (j.path, j.page, j.fileOffset, j.flashOffset, j.length, j.progressStart, j.progressEnd);
    },
    // ProgramData
    [] (Communication& c, const FlashJob& j) {
        c.programData (j.data, j.page, j.flashOffset, j.length, j.progressStart, j.progressEnd);
    },
    // ReadToFile
    [] (Communication& c, const FlashJob& j) {
        c.readToFile (j.path, j.page, j.flashOffset, j.length, j.progressStart, j.progressEnd);
    },
    // CompareFiles
    [] (Communication& c, const FlashJob& j) { c.compareFiles (j.path, j.fileOffset, j.readBackPath); },
    // ReadVersionInfo
    [] (Communication& c, const FlashJob& j) { c.readVersionInfo (j.path); },
    // SaveIoState
    [] (Communication& c, const FlashJob&) { c.testFlash (0, "Save_IO_Sta"); },
    // BackupLock
    [] (Communication& c, const FlashJob& j) { c.backupLock (j.path, j.mode); },
};
} // namespace

int JobQueue::runNext()
{
    if (nextIndex >= jobs.size())
    {
        current.kind = JobKind::None;
        return 1;
    }

    current = jobs[nextIndex];

    const auto kind = static_cast<int> (current.kind);
    if (kind >= 0 && kind < static_cast<int> (dispatch.size()) && dispatch[(size_t) kind] != nullptr)
    {
        // Set first: a job that cannot start still reports its end.
        running = true;
        dispatch[(size_t) kind] (communication, current);
    }

    ++nextIndex;
    return 0;
}

bool JobQueue::noDriverUploadNext() const
{
    return ! (nextIndex < jobs.size() && jobs[nextIndex].kind == JobKind::SendDriver);
}

bool JobQueue::skipToNextDriverUpload()
{
    while (nextIndex < jobs.size() && jobs[nextIndex].kind != JobKind::SendDriver)
        ++nextIndex;
    return nextIndex < jobs.size();
}

void JobQueue::rescan()
{
    communication.rescan();
}
