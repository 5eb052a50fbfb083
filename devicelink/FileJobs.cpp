#include "devicelink/FileJobs.h"

#include "devicelink/JobPaths.h"
#include "devicelink/SafeFiles.h"
#include "messages/LogPrinter.h"

#include <cstring>
#include <vector>

namespace
{
std::unique_ptr<juce::InputStream> openForReading (const juce::String& path)
{
    if (path.isEmpty() || JobPaths::tooLong (path))
        return nullptr;
    return SafeFiles::openForReading (JobPaths::fileAt (path));
}

// Compares the next `count` bytes of both streams; false at the first difference or a short read.
bool sameBytes (juce::InputStream& a, juce::InputStream& b, std::int64_t count)
{
    constexpr int chunk = 65536;
    std::vector<char> bufferA (chunk), bufferB (chunk);
    while (count > 0)
    {
        const int n = (int) juce::jmin<std::int64_t> (chunk, count);
        if (a.read (bufferA.data(), n) != n || b.read (bufferB.data(), n) != n)
            return false;
        if (std::memcmp (bufferA.data(), bufferB.data(), (size_t) n) != 0)
            return false;
        count -= n;
    }
    return true;
}

void logText (CLogPrinter* log, const char* text)
{
    if (log != nullptr)
        log->printA ("%s", text);
}
} // namespace

namespace FileJobs
{
bool refuseLongPath (const juce::String& path, CLogPrinter* log)
{
    if (! JobPaths::tooLong (path))
        return false;
    if (log != nullptr)
        log->printA ("The file path is longer than %d characters.\n", JobPaths::maxUnits);
    return true;
}

namespace
{
// The written bytes from `offset` on against the whole read-back file; `written` null: it could
// not be opened.
Result compareWith (std::unique_ptr<juce::InputStream> written, int offset, const juce::String& readBackPath, CLogPrinter* log)
{
    auto readBack = written != nullptr ? openForReading (readBackPath) : nullptr;
    if (written == nullptr || readBack == nullptr)
    {
        logText (log, "Can't open source file.\n");
        return { false, FailureReason::SourceNotOpened };
    }
    const auto writtenLength = written->getTotalLength();
    const auto readBackLength = readBack->getTotalLength();
    if (offset < 0 || writtenLength < offset)
    {
        logText (log, "Write file length < Source offset!\n");
        return { false, FailureReason::JobRefused };
    }

    const auto remaining = writtenLength - offset;
    // A read-back shorter than what was written leaves bytes unverified: no match.
    const bool readBackShort = readBackLength < remaining;
    const bool lengthsDiffer = remaining != readBackLength;
    const bool same = written->setPosition (offset)
                      && sameBytes (*written, *readBack, juce::jmin (remaining, readBackLength));
    written.reset();
    readBack.reset();

    if (log != nullptr)
        log->setBold (true);
    logText (log, "\n");
    Result result { true, FailureReason::None };
    if (! same || readBackShort)
    {
        logText (log, "FAIL!\n");
        result = { false, FailureReason::FilesDiffer };
    }
    else if (lengthsDiffer)
    {
        logText (log, "OK! (One file is longer.)\n");
    }
    else
    {
        logText (log, "OK!\n");
    }
    if (log != nullptr)
        log->setBold (false);
    return result;
}

} // namespace

Result compareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath, CLogPrinter* log)
{
    logText (log, "Start comparing...\n");
    if (refuseLongPath (writtenPath, log) || refuseLongPath (readBackPath, log))
        return { false, FailureReason::SourceNotOpened };
    return compareWith (openForReading (writtenPath), offset, readBackPath, log);
}

Result compareBytes (const void* written, std::size_t size, int offset, const juce::String& readBackPath, CLogPrinter* log)
{
    logText (log, "Start comparing...\n");
    if (refuseLongPath (readBackPath, log))
        return { false, FailureReason::SourceNotOpened };
    return compareWith (std::make_unique<juce::MemoryInputStream> (written, size, false), offset, readBackPath, log);
}

std::unique_ptr<std::u16string> readVersionRecord (const juce::String& path)
{
    auto record = std::make_unique<std::u16string> ((size_t) versionRecordUnits, u'\0');

    auto in = openForReading (path);
    if (in == nullptr)
    {
        const std::u16string error = u"error";
        std::copy (error.begin(), error.end(), record->begin());
        return record;
    }

    std::uint8_t bytes[12] = {};
    const int got = in->read (bytes, (int) sizeof (bytes));
    for (int i = 0; i < got; ++i)
        (*record)[(size_t) i] = bytes[i];
    return record;
}

Result backupLock (const juce::String& path, int mode, CLogPrinter* log)
{
    if (mode == 0)
    {
        bool made = false;
        if (! path.isEmpty() && ! refuseLongPath (path, log))
        {
            // Never through a link planted where the lock belongs.
            auto out = SafeFiles::createForWriting (JobPaths::fileAt (path));
            made = out != nullptr && out->write (lockText, std::strlen (lockText));
        }
        return made ? Result { true, FailureReason::None } : Result { false, FailureReason::LockNotCreated };
    }
    if (mode == 1)
    {
        // No path names no file: nothing to delete (and never the working directory).
        const bool deleted = path.isEmpty() || (! refuseLongPath (path, log) && JobPaths::fileAt (path).deleteFile());
        return deleted ? Result { true, FailureReason::None } : Result { false, FailureReason::LockNotDeleted };
    }
    return { true, FailureReason::None };
}
} // namespace FileJobs
