// Flash erase, program and read jobs.
//
// Page rule: a range's byte address is page x 20000h + offset. The sector table describes the
// flash from address 0; a job on page p uses it shifted by p x 20000h (the sector at the job's
// offset, erased at its start plus the page base). The flash end is never shifted: both the
// erase and the read clip a range at the absolute flash end and refuse a range that starts at
// or beyond it. So a 12-byte read at page 4Fh reads 9E0000h on every chip of 32 MiB and more,
// and no erase or read is ever sent past the end of the fitted flash.
#include "devicelink/Communication.h"

#include "devicelink/SafeFiles.h"

#include "devicelink/DriverImage.h"
#include "devicelink/JobPaths.h"
#include "messages/LogPrinter.h"

#include <juce_cryptography/juce_cryptography.h>

namespace
{
int tenths (float percent) { return (int) (percent * 10); }
} // namespace

bool Communication::loadFileBuffer (const juce::String& path)
{
    fileBuffer.clear();
    if (path.isEmpty())
        return false;
    const auto pinned = pinnedContent.find (path);
    if (pinned != pinnedContent.end() && verifiedCopy.has_value() && verifiedCopy->path == path
        && verifiedCopy->sha256 == pinned->second)
    {
        fileBuffer = verifiedCopy->bytes;
        return true;
    }

    juce::String why;
    auto in = SafeFiles::openForReading (JobPaths::fileAt (path), &why);
    if (in == nullptr)
    {
        if (log != nullptr && JobPaths::fileAt (path).exists()) // there, but not a file to use
            log->printW (L"%ls: %ls\n", path.toWideCharPointer(), why.toWideCharPointer());
        return false;
    }
    const auto length = in->getTotalLength();
    if (length < 0 || length > DriverImage::maxFlashBytes)
        return false;

    fileBuffer.resize ((size_t) length);
    if (in->read (fileBuffer.data(), (int) fileBuffer.size()) != (int) fileBuffer.size())
        return false;
    if (! contentAsPinned (path, fileBuffer.data(), fileBuffer.size()))
        return false;
    if (pinned != pinnedContent.end())
        verifiedCopy = VerifiedCopy { path, pinned->second, fileBuffer };
    return true;
}

void Communication::pinContent (const juce::String& path, const juce::String& sha256)
{
    pinnedContent[path] = sha256;
}

void Communication::clearPins()
{
    pinnedContent.clear();
    verifiedCopy.reset();
}

bool Communication::contentAsPinned (const juce::String& path, const void* bytes, std::size_t size) const
{
    const auto pinned = pinnedContent.find (path);
    if (pinned == pinnedContent.end())
        return true;
    if (juce::SHA256 (bytes, size).toHexString().removeCharacters (" ") == pinned->second)
        return true;
    logText ("The file changed after it was checked.\n");
    return false;
}

bool Communication::checkFlashRange (int pageIn, int offsetIn, int lengthIn)
{
    // The start must lie below the limit too: an empty range at 2^29 would still send its
    // address, whose word address wraps to 0 in the wire's 7-bit groups.
    const auto start = std::int64_t (pageIn) * pageSize + offsetIn;
    const auto end = start + lengthIn;
    if (pageIn >= 0 && offsetIn >= 0 && lengthIn >= 0 && start < DriverImage::maxFlashBytes
        && end <= DriverImage::maxFlashBytes)
        return true;
    logText ("Flash address is out of range.\n");
    return false;
}

void Communication::eraseRange (const juce::String& path, int pageIn, int flashOffsetIn, int lengthIn,
                                int fileOffsetIn, float progressStart, float progressEnd)
{
    const int page = pageIn;
    if (path.isEmpty())
    {
        logText ("Please select a file to write first\n");
        engine.refuseStart (FailureReason::SourceNotOpened, true);
        return;
    }
    if (refuseLongPath (path))
    {
        engine.refuseStart (FailureReason::SourceNotOpened, true);
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
            engine.refuseStart (FailureReason::SourceNotOpened, true);
            return;
        }
        available = (std::int64_t) fileBuffer.size();
    }

    const int flashOffset = flashOffsetIn;
    const int fileOffset = fileOffsetIn;
    const int length = lengthIn;
    if (! checkFlashRange (page, flashOffset, length))
    {
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }
    if (fileOffset < 0 || fileOffset > available)
    {
        logText ("File offset is beyond the end of the file.\n");
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }

    const int pageBase = page * pageSize;
    const int start = pageBase + flashOffset;

    int firstSector = -1;
    for (size_t i = 0; i < sectors.size(); ++i)
        if (sectors[i].start == flashOffset)
        {
            firstSector = (int) i;
            break;
        }
    if (firstSector < 0)
    {
        logText ("Flash offset must at the start of one sector!\n");
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }

    const int avail = (int) (available - fileOffset);
    bool lengthChanged = false;
    int programLength = 0;
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
    int endSector = (int) sectors.size();
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

    if (endSector <= firstSector)
    {
        logText ("Something wrong in program...\n");
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }

    logText ("Erasing ...\n");
    post (MessageCode::OperationState, 0);
    post (MessageCode::Progress, ProgressPhase::Erase, 0, 1);
    post (MessageCode::Progress, ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    engine.startErase (page, sectors, firstSector, endSector);
}

void Communication::programFile (const juce::String& path, int pageIn, int fileOffsetIn, int flashOffsetIn,
                                 int lengthIn, float progressStart, float progressEnd)
{
    fileBuffer.clear();
    if (refuseLongPath (path))
    {
        engine.refuseStart (FailureReason::SourceNotOpened, true);
        return;
    }
    if (! loadFileBuffer (path))
    {
        logText ("Can't open file to program.\n");
        engine.refuseStart (FailureReason::SourceNotOpened, true);
        return;
    }
    if (! checkFlashRange (pageIn, flashOffsetIn, lengthIn))
    {
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }
    if (fileOffsetIn < 0 || fileOffsetIn > (std::int64_t) fileBuffer.size())
    {
        logText ("File offset is beyond the end of the file.\n");
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }

    post (MessageCode::OperationState, 0);

    const int avail = (int) fileBuffer.size() - fileOffsetIn;
    const int programLength = lengthIn == 0 ? avail : juce::jmin (lengthIn, avail);
    post (MessageCode::Progress, ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    engine.startProgram (fileBuffer.data() + fileOffsetIn, pageIn * pageSize + flashOffsetIn, programLength);
}

void Communication::programData (const std::uint8_t* data, int pageIn, int flashOffsetIn, int lengthIn,
                                 float progressStart, float progressEnd)
{
    if (data == nullptr)
    {
        logText ("No data to program.\n");
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }
    if (! checkFlashRange (pageIn, flashOffsetIn, lengthIn))
    {
        engine.refuseStart (FailureReason::JobRefused, true);
        return;
    }

    post (MessageCode::Progress, ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    engine.startProgram (data, pageIn * pageSize + flashOffsetIn, lengthIn);
}

void Communication::readToFile (const juce::String& path, int pageIn, int flashOffsetIn, int lengthIn,
                                float progressStart, float progressEnd)
{
    readFile.reset();

    if (path.isEmpty())
    {
        logText ("Please select a file to save the data.\n");
        engine.refuseStart (FailureReason::ReadFileNotMade, false);
        return;
    }
    if (refuseLongPath (path))
    {
        engine.refuseStart (FailureReason::ReadFileNotMade, false);
        return;
    }

    // Checked before the file is created, so a refused read leaves no empty file behind.
    const std::int64_t start = std::int64_t (pageIn) * pageSize + flashOffsetIn;
    if (! checkFlashRange (pageIn, flashOffsetIn, lengthIn))
    {
        engine.refuseStart (FailureReason::JobRefused, false);
        return;
    }
    if (start >= flashEnd())
    {
        logText ("Read address is beyond the end of the flash.\n");
        engine.refuseStart (FailureReason::JobRefused, false);
        return;
    }

    juce::String why;
    auto stream = SafeFiles::createForWriting (JobPaths::fileAt (path), &why);
    if (stream == nullptr)
    {
        if (log != nullptr && JobPaths::fileAt (path).exists()) // there, but not a file to use
            log->printW (L"%ls: %ls\n", path.toWideCharPointer(), why.toWideCharPointer());
        logText ("Can't create file to save.\n");
        engine.refuseStart (FailureReason::ReadFileNotMade, false);
        return;
    }
    readFile = std::move (stream);
    readFileTarget = JobPaths::fileAt (path);
    readFileBytes = 0;

    post (MessageCode::OperationState, 0);
    // A length of 0 reads to the flash end; a range past it is clipped there (page rule above).
    post (MessageCode::Progress, ProgressPhase::Range, tenths (progressStart), tenths (progressEnd));
    engine.startRead ((int) start, TransferEngine::readLength (flashEnd(), pageIn, flashOffsetIn, lengthIn));
}
