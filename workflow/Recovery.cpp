#include "workflow/Recovery.h"

#include "devicelink/SafeFiles.h"
#include "workflow/UpdateJournal.h"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#if JUCE_LINUX || JUCE_MAC || JUCE_BSD
 #include <cerrno>
 #include <cstring>
 #include <fcntl.h>
 #include <sys/stat.h>
 #include <unistd.h>
#elif JUCE_WINDOWS
 #ifndef NOMINMAX
  #define NOMINMAX
 #endif
 #include <windows.h>
#endif

namespace Recovery
{
juce::File folderLocation()
{
    const auto overridden = juce::SystemStats::getEnvironmentVariable (folderVariable, {});
    if (overridden.isNotEmpty())
        return juce::File::getCurrentWorkingDirectory().getChildFile (overridden);

   #if JUCE_MAC
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
        .getChildFile ("Application Support")
        .getChildFile ("TALVEK Update Tool");
   #elif JUCE_WINDOWS
    // Not the temporary folder: the system's cleaner empties it, backup and all.
    return juce::File::getSpecialLocation (juce::File::windowsLocalAppData).getChildFile ("TALVEK Update Tool");
   #else
    const auto stateHome = juce::SystemStats::getEnvironmentVariable ("XDG_STATE_HOME", {});
    // Relative values are to be ignored, as for every XDG base directory.
    if (juce::File::isAbsolutePath (stateHome))
        return juce::File (stateHome).getChildFile ("talvek-update-tool");
    return juce::File::getSpecialLocation (juce::File::userHomeDirectory)
        .getChildFile (".local/state/talvek-update-tool");
   #endif
}

#if JUCE_LINUX || JUCE_MAC || JUCE_BSD
namespace
{
juce::Result errnoResult (const juce::String& what, const juce::File& file)
{
    return juce::Result::fail (what + " " + file.getFullPathName() + ": " + juce::String (std::strerror (errno)));
}

// Makes the missing folders of `folder`, each 0700, and notes which ones it made: only those
// may have their mode changed.
juce::Result makeDirectories (const juce::File& folder, juce::Array<juce::File>& made)
{
    struct stat info {};
    if (folder.isRoot() || ::lstat (folder.getFullPathName().toRawUTF8(), &info) == 0)
        return juce::Result::ok();

    if (auto parent = makeDirectories (folder.getParentDirectory(), made); parent.failed())
        return parent;

    if (::mkdir (folder.getFullPathName().toRawUTF8(), 0700) == 0)
        made.add (folder);
    else if (errno != EEXIST)
        return errnoResult ("Can't create", folder);
    return juce::Result::ok();
}

bool writableByOthers (const struct stat& info)
{
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whoever may rename entries in a folder above the state folder could put another folder in
// its place: each one up to the root must belong to this user or to root, and nobody else may
// write in it unless it is sticky (as /tmp is, where only an entry's owner may rename it).
juce::Result checkAncestors (const juce::File& folder)
{
    const auto uid = ::geteuid();
    for (auto above = folder.getParentDirectory();; above = above.getParentDirectory())
    {
        struct stat info {};
        if (::stat (above.getFullPathName().toRawUTF8(), &info) != 0)
            return errnoResult ("Can't examine", above);
        const auto why = info.st_uid != uid && info.st_uid != 0 ? juce::String ("belongs to another user")
                         : writableByOthers (info) && (info.st_mode & S_ISVTX) == 0 ? juce::String ("can be written by other users")
                         : juce::String();
        if (why.isNotEmpty())
            return juce::Result::fail (above.getFullPathName() + " " + why + ", who could put another folder in place of the "
                                       "state folder " + folder.getFullPathName());
        if (above.isRoot())
            return juce::Result::ok();
    }
}

int syncDescriptor (int fd)
{
   #if JUCE_MAC
    // fsync on macOS leaves the data in the drive's cache.
    if (::fcntl (fd, F_FULLFSYNC) == 0)
        return 0;
   #endif
    return ::fsync (fd);
}

juce::Result syncPath (const juce::File& file, int flags)
{
    const int fd = ::open (file.getFullPathName().toRawUTF8(), flags | O_CLOEXEC);
    if (fd < 0)
        return errnoResult ("Can't open", file);
    const int result = syncDescriptor (fd);
    const int savedErrno = errno;
    ::close (fd);
    errno = savedErrno;
    return result == 0 ? juce::Result::ok() : errnoResult ("Can't flush", file);
}
} // namespace

juce::Result prepareFolder (const juce::File& folder)
{
    juce::Array<juce::File> made;
    if (auto result = makeDirectories (folder, made); result.failed())
        return result;

    // Examined through a descriptor of the folder itself, never through a link to it, so that
    // what is checked is what is tightened.
    const int fd = ::open (folder.getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
    {
        if (errno == ENOTDIR || errno == ELOOP)
            return juce::Result::fail (folder.getFullPathName() + " is not a folder");
        return errnoResult ("Can't open", folder);
    }
    struct stat info {};
    juce::Result result = juce::Result::ok();
    if (::fstat (fd, &info) != 0)
        result = errnoResult ("Can't examine", folder);
    else if (info.st_uid != ::geteuid())
        result = juce::Result::fail (folder.getFullPathName() + " belongs to another user");
    else if (made.contains (folder))
    {
        // Made just now: its mode is this tool's to set, whatever the umask left.
        if ((info.st_mode & 07777) != 0700 && ::fchmod (fd, 0700) != 0)
            result = errnoResult ("Can't make private", folder);
    }
    else if (writableByOthers (info))
    {
        // Someone else's files there could pose as a journal or a backup; the folder's mode is
        // not this tool's to change.
        result = juce::Result::fail (folder.getFullPathName() + " can be written by other users: the state folder must "
                                     "be yours alone (make it private with chmod 700, or name another folder in "
                                     + juce::String (folderVariable) + ")");
    }
    ::close (fd);
    if (result.failed())
        return result;
    // The folders it really lies in, links resolved.
    char* real = ::realpath (folder.getFullPathName().toRawUTF8(), nullptr);
    if (real == nullptr)
        return errnoResult ("Can't examine", folder);
    const juce::File resolved (juce::String::fromUTF8 (real));
    std::free (real);
    return checkAncestors (resolved);
}

juce::Result syncToDisk (const juce::File& file)
{
    if (auto data = syncPath (file, O_RDONLY); data.failed())
        return data;
    // A new file is only safe once its name is, too.
    return syncPath (file.getParentDirectory(), O_RDONLY | O_DIRECTORY);
}
#else
juce::Result prepareFolder (const juce::File& folder)
{
    if (folder.isDirectory())
        return juce::Result::ok();
    return folder.createDirectory();
}

namespace
{
juce::Result windowsFailure (const juce::String& what, const juce::File& file, DWORD error)
{
    wchar_t text[256] {};
    ::FormatMessageW (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                      (DWORD) std::size (text), nullptr);
    return juce::Result::fail (what + " " + file.getFullPathName() + ": " + juce::String (text).trim());
}
} // namespace

juce::Result syncToDisk (const juce::File& file)
{
    // OPEN_EXISTING: a missing file is an error to report, not one to create empty. NTFS logs
    // the file's name with its metadata, which the flush commits as well. Backup semantics let
    // the same call open a folder, to force out its entries after a removal.
    const auto handle = ::CreateFileW (file.getFullPathName().toWideCharPointer(), GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // Some Windows versions and file systems refuse to open or flush a folder at all. Its
    // entries are then left to the file system's own journal: a removal lost to a power cut
    // only leaves the record of a finished update, and completing it again writes the same bytes.
    const auto refusedForFolder = [&file] (DWORD error)
    {
        return file.isDirectory()
            && (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER);
    };
    if (handle == INVALID_HANDLE_VALUE)
    {
        const auto error = ::GetLastError();
        return refusedForFolder (error) ? juce::Result::ok() : windowsFailure ("Can't open", file, error);
    }
    const bool flushed = ::FlushFileBuffers (handle) != 0;
    const auto error = ::GetLastError();
    ::CloseHandle (handle);
    if (flushed || refusedForFolder (error))
        return juce::Result::ok();
    return windowsFailure ("Can't flush", file, error);
}
#endif

Paths pathsIn (const juce::File& folder)
{
    return { folder.getChildFile (lockFileName).getFullPathName(),
             folder.getChildFile (backupFileName).getFullPathName(),
             folder.getChildFile (readBackFileName).getFullPathName(),
             folder.getChildFile (versionFileName).getFullPathName(),
             folder.getChildFile (updateCopyFileName).getFullPathName(),
             folder.getChildFile (stagedCopyFileName).getFullPathName(),
             folder.getChildFile (journalFileName).getFullPathName() };
}

Decision decide (const juce::File& lockFile, const juce::File& backupFile, const juce::String& backupDigest)
{
    if (! lockFile.exists())
        return Decision::takeFreshBackup;
    if (backupFile.existsAsFile() && backupFile.getSize() == FlashLayout::paramAreaLength
        && backupDigest.isNotEmpty() && digestOf (backupFile) == backupDigest)
        return Decision::restoreFromBackup;
    return Decision::cannotRecover;
}
juce::Result replaceWith (const juce::File& fresh, const juce::File& target)
{
    if (auto synced = syncToDisk (fresh); synced.failed())
        return synced;
    // std::filesystem's rename replaces an existing file on Windows too; std::rename does not.
    const auto path = [] (const juce::File& f) { return std::filesystem::path (reinterpret_cast<const char8_t*> (f.getFullPathName().toRawUTF8())); };
    std::error_code renamed;
    std::filesystem::rename (path (fresh), path (target), renamed);
    if (renamed)
        return juce::Result::fail ("Can't replace " + target.getFullPathName() + ": " + juce::String (renamed.message()));
    return syncToDisk (target);
}

juce::Result copyUpdateFile (const juce::File& chosen, const juce::File& copy)
{
    juce::String why;
    auto in = SafeFiles::openForReading (chosen, &why);
    if (in == nullptr)
        return juce::Result::fail (chosen.getFullPathName() + ": " + why);
    auto out = SafeFiles::createForWriting (copy, &why);
    if (out == nullptr)
        return juce::Result::fail (copy.getFullPathName() + ": " + why);

    std::vector<char> buffer (1 << 20);
    juce::int64 copied = 0;
    for (;;)
    {
        const int n = in->read (buffer.data(), (int) buffer.size());
        if (n < 0)
            return juce::Result::fail (chosen.getFullPathName() + ": read error");
        if (n == 0)
            break;
        if (! out->write (buffer.data(), (size_t) n))
            return juce::Result::fail (copy.getFullPathName() + ": " + juce::String (std::strerror (errno)));
        copied += n;
    }
    out.reset();
    // A file that changed size while it was copied is no file to write.
    if (copied != in->getTotalLength() || copy.getSize() != copied)
        return juce::Result::fail (chosen.getFullPathName() + ": changed while it was copied");
    return syncToDisk (copy);
}

} // namespace Recovery
