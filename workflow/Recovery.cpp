#include "workflow/Recovery.h"

#include "devicelink/SafeFiles.h"
#include "workflow/UpdateJournal.h"

#include <algorithm>
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

juce::Result makeDirectories (const juce::File& folder)
{
    if (folder.isDirectory() || folder.isRoot())
        return juce::Result::ok();

    if (auto parent = makeDirectories (folder.getParentDirectory()); parent.failed())
        return parent;

    if (::mkdir (folder.getFullPathName().toRawUTF8(), 0700) != 0 && errno != EEXIST)
        return errnoResult ("Can't create", folder);
    return juce::Result::ok();
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
    if (auto made = makeDirectories (folder); made.failed())
        return made;

    struct stat info {};
    if (::lstat (folder.getFullPathName().toRawUTF8(), &info) != 0)
        return errnoResult ("Can't examine", folder);
    if (! S_ISDIR (info.st_mode))
        return juce::Result::fail (folder.getFullPathName() + " is not a folder");
    if (info.st_uid != ::geteuid())
        return juce::Result::fail (folder.getFullPathName() + " belongs to another user");
    if ((info.st_mode & 077) != 0 && ::chmod (folder.getFullPathName().toRawUTF8(), 0700) != 0)
        return errnoResult ("Can't make private", folder);
    return juce::Result::ok();
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
