#pragma once

// The terminal tool's own files outside the state folder: where `read` and `recovery export`
// put their results, and the --log file. Each is checked for what it is before anything is
// written, and checked again where a swap could slip in between.

#include <juce_core/juce_core.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace cli
{
// A file as the system knows it, whatever name reaches it (a link, another path, a hard link):
// device and inode on POSIX, volume serial and file index on Windows.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t index = 0;

    bool operator== (const FileIdentity&) const = default;
};

// The identity of what `file` names, links followed; nothing when it can't be examined.
std::optional<FileIdentity> identityOf (const juce::File& file);

// A place for a result: a new name in a folder this user may write in, or an existing regular
// file this user may write. Never a link, a folder, a device node, a FIFO or a socket.
struct OutputTarget
{
    juce::File file;
    bool exists = false;
    FileIdentity identity;      // of the existing file
    int mode = 0666;            // permission bits the result gets (the existing file's)
};

juce::Result checkOutputTarget (const juce::File& file, OutputTarget& target);

// Writes the result to a new file beside the target, forces it to the disk and renames it over
// the target, refusing when the target changed since it was checked (a file or link that
// appeared on a new name, another file put in place of the checked one). `write` gets the
// new file's stream. The target is left as it was on every failure.
juce::Result publish (const OutputTarget& target, const std::function<juce::Result (juce::OutputStream&)>& write);

// The --log file, opened without emptying it first: refused (`inUse` set) when it is, by
// identity, one of `protectedFiles` or a file of `stateFolder`, or would be made in that
// folder; emptied only once it is known to be none of them and a regular file. A new log is
// made at the name itself, never through a link. Null, with the reason in `why`, when refused
// or not writable.
std::unique_ptr<juce::OutputStream> openLogFile (const juce::File& file, const std::vector<FileIdentity>& protectedFiles,
                                                 const juce::File& stateFolder, juce::String& why, bool& inUse);
} // namespace cli
