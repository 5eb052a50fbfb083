#include "devicelink/SafeFiles.h"

namespace
{
// Readers such as the SHA-256 take 64 bytes at a time: one system call each without a buffer.
std::unique_ptr<juce::InputStream> buffered (std::unique_ptr<juce::InputStream> in)
{
    return std::make_unique<juce::BufferedInputStream> (in.release(), 1 << 16, true);
}
} // namespace

#if JUCE_WINDOWS
 #ifndef NOMINMAX
  #define NOMINMAX
 #endif
 #include <windows.h>

// Windows has no FIFOs in the file system and its links are not followed silently in the
// same way; the framework's streams are used as they are.
namespace SafeFiles
{
std::unique_ptr<juce::InputStream> openForReading (const juce::File& file, juce::String* why)
{
    if (! file.existsAsFile())
    {
        if (why != nullptr)
            *why = "not a file";
        return nullptr;
    }
    auto in = std::make_unique<juce::FileInputStream> (file);
    if (! in->openedOk())
    {
        if (why != nullptr)
            *why = in->getStatus().getErrorMessage();
        return nullptr;
    }
    return buffered (std::move (in));
}

std::unique_ptr<juce::OutputStream> createForWriting (const juce::File& file, juce::String* why)
{
    auto out = std::make_unique<juce::FileOutputStream> (file);
    if (! out->openedOk() || ! out->setPosition (0) || out->truncate().failed())
    {
        if (why != nullptr)
            *why = out->getStatus().getErrorMessage();
        return nullptr;
    }
    return out;
}

bool sameFile (const juce::File& a, const juce::File& b)
{
    const auto identify = [] (const juce::File& f, BY_HANDLE_FILE_INFORMATION& info)
    {
        const auto handle = ::CreateFileW (f.getFullPathName().toWideCharPointer(), 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        const bool ok = ::GetFileInformationByHandle (handle, &info) != 0;
        ::CloseHandle (handle);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION x {}, y {};
    return identify (a, x) && identify (b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber
           && x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
} // namespace SafeFiles

#else

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
juce::String errorText (int error) { return juce::String (std::strerror (error)); }

class FdInputStream final : public juce::InputStream
{
public:
    explicit FdInputStream (int fdIn) : fd (fdIn) {}
    ~FdInputStream() override { ::close (fd); }

    juce::int64 getTotalLength() override
    {
        struct stat st {};
        return ::fstat (fd, &st) == 0 ? (juce::int64) st.st_size : -1;
    }

    bool isExhausted() override { return position >= getTotalLength(); }

    int read (void* dest, int bytes) override
    {
        int done = 0;
        while (done < bytes)
        {
            const auto n = ::read (fd, static_cast<char*> (dest) + done, (size_t) (bytes - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += (int) n;
        }
        position += done;
        return done;
    }

    juce::int64 getPosition() override { return position; }

    bool setPosition (juce::int64 newPosition) override
    {
        if (::lseek (fd, (off_t) newPosition, SEEK_SET) < 0)
            return false;
        position = newPosition;
        return true;
    }

private:
    const int fd;
    juce::int64 position = 0;
};

class FdOutputStream final : public juce::OutputStream
{
public:
    explicit FdOutputStream (int fdIn) : fd (fdIn) {}
    ~FdOutputStream() override { ::close (fd); }

    void flush() override {}
    bool setPosition (juce::int64 newPosition) override
    {
        if (::lseek (fd, (off_t) newPosition, SEEK_SET) < 0)
            return false;
        position = newPosition;
        return true;
    }
    juce::int64 getPosition() override { return position; }

    bool write (const void* data, size_t bytes) override
    {
        size_t done = 0;
        while (done < bytes)
        {
            const auto n = ::write (fd, static_cast<const char*> (data) + done, bytes - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false; // a full disk shows here as a short write, then ENOSPC
            done += (size_t) n;
        }
        position += (juce::int64) done;
        return true;
    }

private:
    const int fd;
    juce::int64 position = 0;
};

// O_NONBLOCK keeps the open itself from waiting on a FIFO without a writer; the file is
// then checked through its descriptor and put back into blocking mode.
int openRegular (const juce::File& file, int flags, juce::String* why)
{
    const int fd = ::open (file.getFullPathName().toRawUTF8(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
    {
        if (why != nullptr)
            *why = errno == ELOOP ? juce::String ("a symbolic link") : errorText (errno);
        return -1;
    }
    struct stat st {};
    if (::fstat (fd, &st) != 0 || ! S_ISREG (st.st_mode))
    {
        ::close (fd);
        if (why != nullptr)
            *why = "not a regular file";
        return -1;
    }
    ::fcntl (fd, F_SETFL, ::fcntl (fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
} // namespace

namespace SafeFiles
{
std::unique_ptr<juce::InputStream> openForReading (const juce::File& file, juce::String* why)
{
    const int fd = openRegular (file, O_RDONLY, why);
    if (fd < 0)
        return nullptr;
    return buffered (std::make_unique<FdInputStream> (fd));
}

std::unique_ptr<juce::OutputStream> createForWriting (const juce::File& file, juce::String* why)
{
    const int fd = openRegular (file, O_WRONLY | O_CREAT | O_NOFOLLOW, why);
    if (fd < 0)
        return nullptr;
    if (::ftruncate (fd, 0) != 0)
    {
        if (why != nullptr)
            *why = errorText (errno);
        ::close (fd);
        return nullptr;
    }
    return std::make_unique<FdOutputStream> (fd);
}

std::unique_ptr<juce::OutputStream> adoptForWriting (int fd)
{
    return std::make_unique<FdOutputStream> (fd);
}

bool sameFile (const juce::File& a, const juce::File& b)
{
    struct stat x {}, y {};
    return ::stat (a.getFullPathName().toRawUTF8(), &x) == 0 && ::stat (b.getFullPathName().toRawUTF8(), &y) == 0
           && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}
} // namespace SafeFiles

#endif
