#pragma once

// The jobs that never talk to the device: comparing a written file with its read-back, the
// version record of a file's first bytes, and the lock file of an update in progress. Each one
// logs its own lines and returns how it ended; the job runner turns that into JobFinished.

#include "messages/CustomMessage.h"

#include <juce_core/juce_core.h>

#include <memory>
#include <string>

class CLogPrinter;

namespace FileJobs
{
struct Result
{
    bool ok = true;
    int reason = FailureReason::None; // FailureReason when not ok
};

constexpr int versionRecordUnits = 143;
constexpr const char* lockText = "ZKT backup lock!";

// Logs and returns true when a job's path is too long to be used whole.
bool refuseLongPath (const juce::String& path, CLogPrinter* log);

// The written file from `offset` on against the whole read-back file.
Result compareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath, CLogPrinter* log);
// The same, against written bytes already in memory.
Result compareBytes (const void* written, std::size_t size, int offset, const juce::String& readBackPath, CLogPrinter* log);

// 143 UTF-16 units: the first 12 bytes of the file, one unit each, then zeros; or "error".
std::unique_ptr<std::u16string> readVersionRecord (const juce::String& path);

// mode 0 creates the lock file, 1 deletes it, anything else does nothing.
Result backupLock (const juce::String& path, int mode, CLogPrinter* log);
} // namespace FileJobs
