#include "cli/LocalFiles.h"

#include "devicelink/SafeFiles.h"
#include "workflow/Recovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if JUCE_WINDOWS
 #ifndef NOMINMAX
  #define NOMINMAX
 #endif
 #include <windows.h>
#else
 #include <fcntl.h>
 #include <sys/stat.h>
 #include <unistd.h>
#endif

namespace cli
{
namespace
{
juce::String pathOf (const juce::File& f) { return f.getFullPathName(); }

// A name beside `file` that nobody else has: made with O_EXCL, so never a planted one.
juce::File besideName (const juce::File& file, int attempt)
{
    return file.getSiblingFile ("." + file.getFileName() + ".talvek-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64())
                                + juce::String (attempt));
}
} // namespace

#if ! JUCE_WINDOWS
namespace
{
juce::String errorText (int error) { return juce::String (std::strerror (error)); }

FileIdentity identityFrom (const struct stat& st)
{
    return { static_cast<std::uint64_t> (st.st_dev), static_cast<std::uint64_t> (st.st_ino) };
}


bool folderWritable (const juce::File& folder)
{
    return ::access (pathOf (folder).toRawUTF8(), W_OK | X_OK) == 0;
}

// Puts `from` in place of `to` only while `to` is still absent: a name taken in between (a
// file, a link, a FIFO) is never replaced.
int renameNoReplace (const char* from, const char* to)
{
   #if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2 (AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
   #endif
    // File systems without it: a hard link fails just the same on a name that exists.
    if (::link (from, to) != 0)
        return -1;
    ::unlink (from);
    return 0;
}
} // namespace

std::optional<FileIdentity> identityOf (const juce::File& file)
{
    struct stat st {};
    if (::stat (pathOf (file).toRawUTF8(), &st) != 0)
        return std::nullopt;
    return identityFrom (st);
}

juce::Result checkOutputTarget (const juce::File& file, OutputTarget& target)
{
    target = {};
    target.file = file;
    const auto path = pathOf (file);
    struct stat st {};
    if (::lstat (path.toRawUTF8(), &st) != 0)
    {
        if (errno != ENOENT)
            return juce::Result::fail ("can't examine " + path + ": " + errorText (errno));
        const auto folder = file.getParentDirectory();
        if (! folder.isDirectory())
            return juce::Result::fail ("no folder " + pathOf (folder));
        if (! folderWritable (folder))
            return juce::Result::fail ("can't write in the folder " + pathOf (folder) + ": " + errorText (errno));
        return juce::Result::ok();
    }
    if (S_ISLNK (st.st_mode))
        return juce::Result::fail (path + " is a symbolic link: name the file itself");
    if (S_ISDIR (st.st_mode))
        return juce::Result::fail (path + " is a folder");
    if (! S_ISREG (st.st_mode))
        return juce::Result::fail (path + " is not a regular file (a device, FIFO or socket is never written)");

    // Whether this user may write it is the system's to say: an open for writing, which
    // empties nothing and never waits.
    const int fd = ::open (path.toRawUTF8(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return juce::Result::fail ("can't write " + path + ": " + errorText (errno));
    struct stat opened {};
    const bool same = ::fstat (fd, &opened) == 0 && S_ISREG (opened.st_mode) && identityFrom (opened) == identityFrom (st);
    ::close (fd);
    if (! same)
        return juce::Result::fail (path + " changed while it was checked");
    if (! folderWritable (file.getParentDirectory()))
        return juce::Result::fail ("can't replace " + path + ": its folder is not writable: " + errorText (errno));

    target.exists = true;
    target.identity = identityFrom (st);
    target.mode = static_cast<int> (st.st_mode & 0777);
    return juce::Result::ok();
}

juce::Result publish (const OutputTarget& target, const std::function<juce::Result (juce::OutputStream&)>& write)
{
    const auto path = pathOf (target.file);
    juce::File beside;
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt)
    {
        beside = besideName (target.file, attempt);
        fd = ::open (pathOf (beside).toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t> (target.mode));
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return juce::Result::fail ("can't write beside " + path + ": " + errorText (errno));
    // The existing file's permission bits, exactly (the mask applies only to a new file).
    if (target.exists)
        ::fchmod (fd, static_cast<mode_t> (target.mode));

    const auto stream = SafeFiles::adoptForWriting (fd);
    const auto fail = [&] (const juce::String& why)
    {
        ::unlink (pathOf (beside).toRawUTF8());
        return juce::Result::fail (why);
    };
    if (const auto written = write (*stream); written.failed())
        return fail (written.getErrorMessage());
    if (::fsync (fd) != 0)
        return fail ("can't flush " + pathOf (beside) + ": " + errorText (errno));
    struct stat made {};
    if (::fstat (fd, &made) != 0)
        return fail ("can't examine " + pathOf (beside) + ": " + errorText (errno));

    if (target.exists)
    {
        // Only the very file that was checked is replaced.
        struct stat now {};
        if (::lstat (path.toRawUTF8(), &now) != 0 || ! S_ISREG (now.st_mode) || ! (identityFrom (now) == target.identity))
            return fail (path + " changed while the result was being made; it was left as it is");
        if (std::rename (pathOf (beside).toRawUTF8(), path.toRawUTF8()) != 0)
            return fail ("can't replace " + path + ": " + errorText (errno));
    }
    else if (renameNoReplace (pathOf (beside).toRawUTF8(), path.toRawUTF8()) != 0)
    {
        return fail (errno == EEXIST ? path + " appeared while the result was being made; it was left as it is"
                                     : "can't write " + path + ": " + errorText (errno));
    }

    struct stat placed {};
    if (::lstat (path.toRawUTF8(), &placed) != 0 || ! (identityFrom (placed) == identityFrom (made)))
        return juce::Result::fail (path + " was changed right after it was written");
    return Recovery::syncToDisk (target.file);
}

std::unique_ptr<juce::OutputStream> openLogFile (const juce::File& file, const std::vector<FileIdentity>& protectedFiles,
                                                 const juce::File& stateFolder, juce::String& why, bool& inUse)
{
    inUse = false;
    const auto path = pathOf (file);
    const auto stateIdentity = identityOf (stateFolder);

    // A new log is made at its own name (O_EXCL follows no link): never in the state folder.
    int fd = ::open (path.toRawUTF8(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    bool made = false;
    if (fd < 0 && errno == ENOENT)
    {
        if (stateIdentity.has_value() && identityOf (file.getParentDirectory()) == stateIdentity)
        {
            inUse = true;
            why = "the log file " + path + " would be made in the state folder";
            return nullptr;
        }
        fd = ::open (path.toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        made = fd >= 0;
    }
    if (fd < 0)
    {
        why = "can't write the log file " + path + ": " + errorText (errno);
        return nullptr;
    }
    auto stream = SafeFiles::adoptForWriting (fd);

    struct stat st {};
    if (::fstat (fd, &st) != 0)
    {
        why = "can't examine the log file " + path + ": " + errorText (errno);
        return nullptr;
    }
    const auto identity = identityFrom (st);
    bool clash = std::find (protectedFiles.begin(), protectedFiles.end(), identity) != protectedFiles.end();
    if (! made && ! clash && stateIdentity.has_value())
    {
        if (identity == *stateIdentity)
            clash = true;
        for (const auto& entry : stateFolder.findChildFiles (juce::File::findFilesAndDirectories, false, "*",
                                                              juce::File::FollowSymlinks::no))
            clash = clash || identityOf (entry) == identity;
    }
    if (clash)
    {
        inUse = true;
        why = "the log file " + path + " is a file this run reads or writes, or a file of the state folder";
        return nullptr;
    }
    // A terminal or /dev/null takes the log as it is; only a regular file is emptied.
    if (S_ISREG (st.st_mode) && ::ftruncate (fd, 0) != 0)
    {
        why = "can't empty the log file " + path + ": " + errorText (errno);
        return nullptr;
    }
    ::fcntl (fd, F_SETFL, ::fcntl (fd, F_GETFL) & ~O_NONBLOCK);
    return stream;
}
#else
// Windows: the same rules through the system's own calls (the file index identifies a file,
// reparse points stand for links, GetFileType tells a disk file from a device).
namespace
{
juce::String lastErrorText()
{
    wchar_t text[256] {};
    ::FormatMessageW (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ::GetLastError(), 0, text,
                      (DWORD) std::size (text), nullptr);
    return juce::String (text).trim();
}

std::optional<FileIdentity> identityOfHandle (HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info {};
    if (! ::GetFileInformationByHandle (handle, &info))
        return std::nullopt;
    return FileIdentity { info.dwVolumeSerialNumber, (std::uint64_t (info.nFileIndexHigh) << 32) | info.nFileIndexLow };
}

HANDLE openHandle (const juce::File& file, DWORD access, DWORD creation, DWORD flags)
{
    return ::CreateFileW (pathOf (file).toWideCharPointer(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, creation, flags, nullptr);
}
} // namespace

std::optional<FileIdentity> identityOf (const juce::File& file)
{
    const auto handle = openHandle (file, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const auto identity = identityOfHandle (handle);
    ::CloseHandle (handle);
    return identity;
}

juce::Result checkOutputTarget (const juce::File& file, OutputTarget& target)
{
    target = {};
    target.file = file;
    const auto path = pathOf (file);
    const auto attributes = ::GetFileAttributesW (path.toWideCharPointer());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        if (! file.getParentDirectory().isDirectory())
            return juce::Result::fail ("no folder " + pathOf (file.getParentDirectory()));
        return juce::Result::ok();
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return juce::Result::fail (path + " is a symbolic link: name the file itself");
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return juce::Result::fail (path + " is a folder");
    const auto handle = openHandle (file, GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE)
        return juce::Result::fail ("can't write " + path + ": " + lastErrorText());
    const bool disk = ::GetFileType (handle) == FILE_TYPE_DISK;
    const auto identity = identityOfHandle (handle);
    ::CloseHandle (handle);
    if (! disk || ! identity.has_value())
        return juce::Result::fail (path + " is not a regular file (a device, FIFO or socket is never written)");
    target.exists = true;
    target.identity = *identity;
    return juce::Result::ok();
}

juce::Result publish (const OutputTarget& target, const std::function<juce::Result (juce::OutputStream&)>& write)
{
    const auto path = pathOf (target.file);
    const auto beside = besideName (target.file, 0);
    {
        juce::FileOutputStream stream (beside);
        if (! stream.openedOk())
            return juce::Result::fail ("can't write beside " + path + ": " + stream.getStatus().getErrorMessage());
        if (const auto written = write (stream); written.failed())
        {
            beside.deleteFile();
            return written;
        }
    }
    const auto fail = [&] (const juce::String& why)
    {
        beside.deleteFile();
        return juce::Result::fail (why);
    };
    if (const auto synced = Recovery::syncToDisk (beside); synced.failed())
        return fail (synced.getErrorMessage());
    if (target.exists && identityOf (target.file) != target.identity)
        return fail (path + " changed while the result was being made; it was left as it is");
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (target.exists ? MOVEFILE_REPLACE_EXISTING : 0);
    if (! ::MoveFileExW (pathOf (beside).toWideCharPointer(), path.toWideCharPointer(), flags))
        return fail ("can't write " + path + ": " + lastErrorText());
    return juce::Result::ok();
}

std::unique_ptr<juce::OutputStream> openLogFile (const juce::File& file, const std::vector<FileIdentity>& protectedFiles,
                                                 const juce::File& stateFolder, juce::String& why, bool& inUse)
{
    inUse = false;
    const auto identity = identityOf (file);
    bool clash = identity.has_value() && std::find (protectedFiles.begin(), protectedFiles.end(), *identity) != protectedFiles.end();
    clash = clash || identityOf (file.getParentDirectory()) == identityOf (stateFolder);
    if (clash)
    {
        inUse = true;
        why = "the log file " + pathOf (file) + " is a file this run reads or writes, or a file of the state folder";
        return nullptr;
    }
    auto stream = std::make_unique<juce::FileOutputStream> (file);
    if (! stream->openedOk() || ! stream->setPosition (0) || stream->truncate().failed())
    {
        why = "can't write the log file " + pathOf (file) + ": " + stream->getStatus().getErrorMessage();
        return nullptr;
    }
    return stream;
}
#endif
} // namespace cli
