#pragma once

// Opening the files the jobs read and write, safely: only regular files, never waiting on a
// FIFO or a device node (which would freeze the message thread), and a destination never
// reached through a symbolic link, so a link planted in the tool's folder cannot make a read
// overwrite another file. What is checked is what is then read or written: the checks are made
// on the open file, not on its name.

#include <juce_core/juce_core.h>

#include <memory>

namespace SafeFiles
{
// A regular file opened for reading; null, with the reason in `why`, for anything else.
std::unique_ptr<juce::InputStream> openForReading (const juce::File& file, juce::String* why = nullptr);

// A regular file (made when missing, emptied when present) opened for writing from its start;
// null, with the reason, when it is anything else or a symbolic link. Writes are all-or-nothing:
// a write that the system takes only in part fails.
std::unique_ptr<juce::OutputStream> createForWriting (const juce::File& file, juce::String* why = nullptr);

#if ! JUCE_WINDOWS
// An open descriptor as an output stream that owns it (closes it when it goes); writes are
// all-or-nothing as above.
std::unique_ptr<juce::OutputStream> adoptForWriting (int fd);
#endif

// Whether two names reach the same file (a hard link, another spelling of the path): compared by
// the file's identity, never by its name. False when either cannot be examined.
bool sameFile (const juce::File& a, const juce::File& b);
} // namespace SafeFiles
