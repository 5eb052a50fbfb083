// Flash erase, program and read jobs.
//
// Page rule: a range's byte address is page x 20000h + offset. The sector table describes the
// flash from address 0; a job on page p uses it shifted by p x 20000h (the sector at the job's
// offset, erased at its start plus the page base). The flash end is never shifted: both the
// erase and the read clip a range at the absolute flash end and refuse a range that starts at
// or beyond it. So a 12-byte read at page 4Fh reads 9E0000h on every chip of 32 MiB and more,
// and no erase or read is ever sent past the end of the fitted flash.
#include "devicelink/Communication.h"

#include "devicelink/DriverImage.h"
#include "devicelink/JobPaths.h"
#include "devicelink/TickCount.h"
#include "messages/LogPrinter.h"

namespace
{
std::int64_t now() { return getTickCount(); }
int tenths (float percent) { return (int) (percent * 10); }
} // namespace

void Communication::logText (const char* text) const
{
    if (log != nullptr)
        log->printA ("%s", text);
}

void Communication::failJob (int reason, bool postOperationFailed)
{
    stopTimer();
    operation = opNone;
    endOperation();
    if (postOperationFailed)
        post (MessageCode::OperationState, 1);
    post (MessageCode::JobFinished, 1, reason);
}

bool Communication::refuseLongPath (const juce::String& path)
{
    if (! JobPaths::tooLong (path))
        return false;
    if (log != nullptr)
        log->printA ("The file path is longer than %d characters.\n", JobPaths::maxUnits);
    return true;
}

bool Communication::loadFileBuffer (const juce::String& path)
{
    fileBuffer.clear();
    if (path.isEmpty())
        return false;

    const auto file = JobPaths::fileAt (path);
    if (! file.existsAsFile())
        return false;
    juce::FileInputStream in (file);
    if (! in.openedOk() || in.getTotalLength() > DriverImage::maxFlashBytes)
        return false;

    fileBuffer.resize ((size_t) in.getTotalLength());
    return in.read (fileBuffer.data(), (int) fileBuffer.size()) == (int) fileBuffer.size();
}

bool Communication::checkFlashRange (int pageIn, int offsetIn, int lengthIn)
{
    const auto end = std::int64_t (pageIn) * pageSize + offsetIn + lengthIn;
    if (pageIn >= 0 && offsetIn >= 0 && lengthIn >= 0 && end <= DriverImage::maxFlashBytes)
        return true;
    logText ("Flash address is out of range.\n");
    return false;
}

void Communication::eraseRange (const juce::String& path, int pageIn, int flashOffsetIn, int lengthIn,
                                int fileOffsetIn, float progressStart, float progressEnd)
{
    const juce::ScopedLock sl (lock);

    page = pageIn;
    if (path.isEmpty())
    {
        logText ("Please select a file to write first\n");
        failJob (FailureReason::SourceNotOpened, true);
        return;
    }
    if (refuseLongPath (path))
    {
        failJob (FailureReason::SourceNotOpened, true);
        return;
    }

    std::int64_t available = 0;
    if (path == "***")
    {
        available = lengthIn;
    }
    else
    {
        if (! loadFileBuffer (path))
        {
            logText ("Can't open file to program.\n");
            failJob (FailureReason::SourceNotOpened, true);
            return;
        }
        available = (std::int64_t) fileBuffer.size();
    }

    flashOffset = flashOffsetIn;
    fileOffset = fileOffsetIn;
    length = lengthIn;
    if (! checkFlashRange (page, flashOffset, length))
    {
        failJob (FailureReason::JobRefused, true);
        return;
    }
    if (fileOffset < 0 || fileOffset > available)
    {
        logText ("File offset is beyond the end of the file.\n");
        failJob (FailureReason::JobRefused, true);
        return;
    }

    const int pageBase = page * pageSize;
    const int start = pageBase + flashOffset;

    firstSector = -1;
    for (size_t i = 0; i < sectors.size(); ++i)
        if (sectors[i].start == flashOffset)
        {
            firstSector = (int) i;
            break;
        }
    if (firstSector < 0)
    {
        logText ("Flash offset must at the start of one sector!\n");
        failJob (FailureReason::JobRefused, true);
        return;
    }

    const int avail = (int) (available - fileOffset);
    bool lengthChanged = false;
    if (length == 0 || length > avail)
    {
        programLength = avail;
        lengthChanged = true;
    }
    else
    {
        programLength = length;
    }

    // Clip at the absolute flash end first, then round up to the next (shifted) sector start:
    // every sector erased then starts inside the flash.
    std::int64_t end = std::int64_t (start) + programLength;
    const int deviceEnd = flashEnd();
    if (end > deviceEnd)
    {
        logText ("Program length is larger than the flash size.\n");
        end = deviceEnd;
    }
    endSector = (int) sectors.size();
    for (size_t j = 0; j < sectors.size(); ++j)
        if (std::int64_t (sectors[j].start) + pageBase >= end)
        {
            endSector = (int) j;
            end = sectors[j].start + pageBase;
            break;
        }

    if (end - start != programLength)
    {
        programLength = (int) (end - start);
        lengthChanged = true;
    }
    if (programLength > avail)
    {
        programLength = avail;
        lengthChanged = true;
    }
    if (lengthChanged && log != nullptr)
        log->printA ("Program length is set to %xh bytes.\n", programLength);

    startTick = now();
    operation = opErase;

    if (endSector <= firstSector)
    {
        logText ("Something wrong in program...\n");
        failJob (FailureReason::JobRefused, true);
        return;
    }

    currentSector = firstSector;
    logText ("Erasing ...\n");
    post (MessageCode::OperationState, 0);
    postProgress (ProgressPhase::Erase, 0, 1);
    phaseTick = now();
    postProgress (ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    eraseNextSector();
    startTimer (500);
}

void Communication::programFile (const juce::String& path, int pageIn, int fileOffsetIn, int flashOffsetIn,
                                 int lengthIn, float progressStart, float progressEnd)
{
    const juce::ScopedLock sl (lock);

    fileBuffer.clear();
    if (refuseLongPath (path))
    {
        failJob (FailureReason::SourceNotOpened, true);
        return;
    }
    if (! loadFileBuffer (path))
    {
        logText ("Can't open file to program.\n");
        failJob (FailureReason::SourceNotOpened, true);
        return;
    }
    if (! checkFlashRange (pageIn, flashOffsetIn, lengthIn))
    {
        failJob (FailureReason::JobRefused, true);
        return;
    }
    if (fileOffsetIn < 0 || fileOffsetIn > (std::int64_t) fileBuffer.size())
    {
        logText ("File offset is beyond the end of the file.\n");
        failJob (FailureReason::JobRefused, true);
        return;
    }

    post (MessageCode::OperationState, 0);
    startTimer (500);

    page = pageIn;
    fileOffset = fileOffsetIn;
    flashOffset = flashOffsetIn;
    length = lengthIn;

    const int avail = (int) fileBuffer.size() - fileOffset;
    programLength = length == 0 ? avail : juce::jmin (length, avail);

    baseAddress = page * pageSize + flashOffset;
    operation = opProgram;
    phaseTick = now();
    postProgress (ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    startTransfer (fileBuffer.data() + fileOffset, baseAddress, programLength, true);
}

void Communication::programData (const std::uint8_t* data, int pageIn, int flashOffsetIn, int lengthIn,
                                 float progressStart, float progressEnd)
{
    const juce::ScopedLock sl (lock);

    if (data == nullptr)
    {
        logText ("No data to program.\n");
        failJob (FailureReason::JobRefused, true);
        return;
    }
    if (! checkFlashRange (pageIn, flashOffsetIn, lengthIn))
    {
        failJob (FailureReason::JobRefused, true);
        return;
    }

    page = pageIn;
    flashOffset = flashOffsetIn;
    length = lengthIn;
    fileOffset = 0;
    programLength = length;
    baseAddress = page * pageSize + flashOffset;
    operation = opProgram;
    phaseTick = now();
    postProgress (ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    startTimer (500);
    startTransfer (data, baseAddress, programLength, true);
}

void Communication::readToFile (const juce::String& path, int pageIn, int flashOffsetIn, int lengthIn,
                                float progressStart, float progressEnd)
{
    const juce::ScopedLock sl (lock);

    startTick = now();
    readFile.reset();

    if (path.isEmpty())
    {
        logText ("Please select a file to save the data.\n");
        failJob (FailureReason::ReadFileNotMade, false);
        return;
    }
    if (refuseLongPath (path))
    {
        failJob (FailureReason::ReadFileNotMade, false);
        return;
    }

    // Checked before the file is created, so a refused read leaves no empty file behind.
    const std::int64_t start = std::int64_t (pageIn) * pageSize + flashOffsetIn;
    if (! checkFlashRange (pageIn, flashOffsetIn, lengthIn))
    {
        failJob (FailureReason::JobRefused, false);
        return;
    }
    if (start >= flashEnd())
    {
        logText ("Read address is beyond the end of the flash.\n");
        failJob (FailureReason::JobRefused, false);
        return;
    }

    auto stream = std::make_unique<juce::FileOutputStream> (JobPaths::fileAt (path));
    if (! stream->openedOk() || ! stream->setPosition (0) || stream->truncate().failed())
    {
        logText ("Can't create file to save.\n");
        failJob (FailureReason::ReadFileNotMade, false);
        return;
    }
    readFile = std::move (stream);

    operation = opRead;
    post (MessageCode::OperationState, 0);
    startTimer (500);

    page = pageIn;
    flashOffset = flashOffsetIn;
    // A length of 0 reads to the flash end; a range past it is clipped there (page rule above).
    length = lengthIn;
    if (length == 0 || start + length > flashEnd())
        length = (int) (flashEnd() - start);

    postProgress (ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    startRead();
}
