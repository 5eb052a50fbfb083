// File jobs: compare, version record and lock file. They never talk to the device.
#include "devicelink/Communication.h"

#include "devicelink/JobPaths.h"
#include "messages/LogPrinter.h"

static_assert (JobPaths::maxUnits == Communication::maxPathUnits);

namespace
{
std::unique_ptr<juce::FileInputStream> openForReading (const juce::String& path)
{
    if (path.isEmpty() || JobPaths::tooLong (path))
        return nullptr;
    const auto file = JobPaths::fileAt (path);
    if (! file.existsAsFile())
        return nullptr;
    auto in = std::make_unique<juce::FileInputStream> (file);
    return in->openedOk() ? std::move (in) : nullptr;
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
} // namespace

void Communication::compareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath)
{
    logText ("Start comparing...\n");

    if (refuseLongPath (writtenPath) || refuseLongPath (readBackPath))
    {
        post (MessageCode::JobFinished, 1, FailureReason::SourceNotOpened);
        return;
    }

    auto written = openForReading (writtenPath);
    auto readBack = written != nullptr ? openForReading (readBackPath) : nullptr;
    if (written == nullptr || readBack == nullptr)
    {
        logText ("Can't open source file.\n");
        post (MessageCode::JobFinished, 1, FailureReason::SourceNotOpened);
        return;
    }

    const auto writtenLength = written->getTotalLength();
    const auto readBackLength = readBack->getTotalLength();
    if (offset < 0 || writtenLength < offset)
    {
        logText ("Write file length < Source offset!\n");
        post (MessageCode::JobFinished, 1, FailureReason::JobRefused);
        return;
    }

    const auto remaining = writtenLength - offset;
    const bool lengthsDiffer = remaining != readBackLength;
    const bool same = written->setPosition (offset)
                      && sameBytes (*written, *readBack, juce::jmin (remaining, readBackLength));
    written.reset();
    readBack.reset();

    if (log != nullptr)
        log->setBold (true);
    logText ("\n");
    if (! same)
    {
        logText ("FAIL!\n");
        post (MessageCode::JobFinished, 1, FailureReason::FilesDiffer);
    }
    else if (lengthsDiffer)
    {
        logText ("OK! (One file is longer.)\n");
        post (MessageCode::JobFinished, 0, 0);
    }
    else
    {
        logText ("OK!\n");
        post (MessageCode::JobFinished, 0, 0);
    }
    if (log != nullptr)
        log->setBold (false);
}

std::unique_ptr<std::u16string> Communication::readVersionRecord (const juce::String& path)
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

void Communication::readVersionInfo (const juce::String& path)
{
    // A path too long to use gives the "error" record, which the receiver reports.
    refuseLongPath (path);
    postCustomMessage (listener, MessageCode::VersionInfo, 0, 0, 0, readVersionRecord (path));
}

void Communication::backupLock (const juce::String& path, int mode)
{
    if (mode == 0)
    {
        bool made = false;
        if (! path.isEmpty() && ! refuseLongPath (path))
        {
            juce::FileOutputStream out (JobPaths::fileAt (path));
            made = out.openedOk() && out.setPosition (0) && out.truncate().wasOk()
                   && out.write ("ZKT backup lock!", 16);
            out.flush();
            made = made && out.getStatus().wasOk();
        }
        if (made)
            post (MessageCode::JobFinished, 0, 0);
        else
            post (MessageCode::JobFinished, 1, FailureReason::LockNotCreated);
    }
    else if (mode == 1)
    {
        // No path names no file: nothing to delete (and never the working directory).
        const bool deleted = path.isEmpty() || (! refuseLongPath (path) && JobPaths::fileAt (path).deleteFile());
        if (deleted)
            post (MessageCode::JobFinished, 0, 0);
        else
            post (MessageCode::JobFinished, 1, FailureReason::LockNotDeleted);
    }
    else
    {
        post (MessageCode::JobFinished, 0, 0);
    }
}
