#include "app/InstanceChannel.h"

#include "common/Utf8.h"

#if ! JUCE_WINDOWS
 #include <fcntl.h>
 #include <poll.h>
 #include <sys/socket.h>
 #include <sys/stat.h>
 #include <sys/time.h>
 #include <sys/types.h>
 #include <sys/un.h>
 #include <unistd.h>

 #include <cerrno>
 #include <cstddef>
 #include <cstdio>
 #include <cstring>
 #include <optional>
 #include <vector>

namespace
{
// The listener's answer once it has the whole text.
constexpr char acknowledgement = 0x06;

// How long either end waits for the other in the middle of a hand-over.
constexpr int stallMs = 2000;

 #ifdef MSG_NOSIGNAL
constexpr int sendFlags = MSG_NOSIGNAL;
 #else
constexpr int sendFlags = 0; // SO_NOSIGPIPE is set on the socket instead
 #endif

// Takes errno before anything else can change it.
juce::Result failure (const char* what, const juce::File& file)
{
    const int error = errno;
    return juce::Result::fail (juce::String (what) + " " + file.getFullPathName() + ": " + juce::String (std::strerror (error)));
}

bool makeAddress (const juce::File& file, sockaddr_un& address, socklen_t& size)
{
    std::memset (&address, 0, sizeof (address));
    address.sun_family = AF_UNIX;
    const auto path = file.getFullPathName();
    const auto length = path.getNumBytesAsUTF8();
    if (length >= sizeof (address.sun_path))
        return false;
    std::memcpy (address.sun_path, path.toRawUTF8(), length);
    size = static_cast<socklen_t> (offsetof (sockaddr_un, sun_path) + length + 1);
    return true;
}

juce::Result tooLong (const juce::File& file)
{
    return juce::Result::fail (file.getFullPathName() + " is too long for a socket address ("
                               + juce::String (static_cast<int> (sizeof (sockaddr_un::sun_path) - 1)) + " bytes at most)");
}

void prepareDescriptor (int fd)
{
    juce::ignoreUnused (fd);
 #ifndef SOCK_CLOEXEC
    ::fcntl (fd, F_SETFD, FD_CLOEXEC);
 #endif
 #ifdef SO_NOSIGPIPE
    int on = 1;
    ::setsockopt (fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof (on));
 #endif
}

int makeSocket()
{
 #ifdef SOCK_CLOEXEC
    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
 #else
    const int fd = ::socket (AF_UNIX, SOCK_STREAM, 0);
 #endif
    if (fd >= 0)
        prepareDescriptor (fd);
    return fd;
}

int acceptConnection (int listenSocket)
{
 #if JUCE_LINUX || JUCE_BSD
    const int fd = ::accept4 (listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
 #else
    const int fd = ::accept (listenSocket, nullptr, nullptr);
 #endif
    if (fd >= 0)
        prepareDescriptor (fd);
    return fd;
}

// The effective user id of the process at the other end, as the system recorded it at connect
// or listen time.
std::optional<uid_t> peerUser (int connection)
{
 #if JUCE_LINUX
    ucred credentials {};
    socklen_t size = sizeof (credentials);
    if (::getsockopt (connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return credentials.uid;
 #else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid (connection, &uid, &gid) != 0)
        return std::nullopt;
    return uid;
 #endif
}

juce::String describe (std::optional<uid_t> user)
{
    return user.has_value() ? "user " + juce::String (static_cast<juce::int64> (*user)) : juce::String ("an unknown user");
}

bool waitFor (int fd, short events, int timeoutMs)
{
    pollfd p { fd, events, 0 };
    return ::poll (&p, 1, timeoutMs) > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

bool sameFile (const juce::File& file, unsigned long long device, unsigned long long inode)
{
    struct stat info {};
    return ::lstat (file.getFullPathName().toRawUTF8(), &info) == 0
           && static_cast<unsigned long long> (info.st_dev) == device
           && static_cast<unsigned long long> (info.st_ino) == inode;
}

// One hand-over over a connected socket: the listener's user is checked before a byte leaves.
juce::Result handOver (int fd, const juce::File& socketFile, const juce::String& text)
{
    const auto peer = peerUser (fd);
    if (! peer.has_value() || *peer != ::geteuid())
        return juce::Result::fail ("the listener at " + socketFile.getFullPathName() + " is " + describe (peer)
                                   + ", not this user; nothing was sent");

    const timeval stall { stallMs / 1000, (stallMs % 1000) * 1000 };
    ::setsockopt (fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof (stall));
    ::setsockopt (fd, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof (stall));

    const char* data = text.toRawUTF8();
    auto remaining = juce::jmin (text.getNumBytesAsUTF8(), static_cast<size_t> (InstanceChannel::maxTextBytes));
    while (remaining > 0)
    {
        const auto n = ::send (fd, data, remaining, sendFlags);
        if (n <= 0)
            return failure ("Can't send to", socketFile);
        data += n;
        remaining -= static_cast<size_t> (n);
    }
    ::shutdown (fd, SHUT_WR);

    char answer = 0;
    const auto n = ::recv (fd, &answer, 1, 0);
    if (n == 1 && answer == acknowledgement)
        return juce::Result::ok();
    if (n < 0)
        return failure ("No confirmation from the listener at", socketFile);
    return juce::Result::fail ("the listener at " + socketFile.getFullPathName() + " did not take the text");
}
} // namespace

InstanceChannel::InstanceChannel (const juce::File& file)
    : juce::Thread ("Instance channel"), socketFile (file)
{
}

InstanceChannel::~InstanceChannel()
{
    stopThread (stallMs + 1000);
    if (listenSocket >= 0)
    {
        ::close (listenSocket);
        if (sameFile (socketFile, boundDevice, boundInode))
            ::unlink (socketFile.getFullPathName().toRawUTF8());
    }
}

juce::Result InstanceChannel::listen (Receiver newReceiver)
{
    if (listenSocket >= 0)
        return juce::Result::fail ("already listening at " + socketFile.getFullPathName());

    sockaddr_un address;
    socklen_t size = 0;
    if (! makeAddress (socketFile, address, size))
        return tooLong (socketFile);

    const auto path = socketFile.getFullPathName().toStdString();
    struct stat info {};
    if (::lstat (path.c_str(), &info) == 0 && S_ISSOCK (info.st_mode) && ::unlink (path.c_str()) != 0)
        return failure ("Can't remove the old socket", socketFile);

    const int fd = makeSocket();
    if (fd < 0)
        return failure ("Can't make a socket for", socketFile);

    if (::bind (fd, reinterpret_cast<sockaddr*> (&address), size) != 0)
    {
        const auto result = failure ("Can't bind", socketFile);
        ::close (fd);
        return result;
    }

    if (::listen (fd, 8) != 0 || ::lstat (path.c_str(), &info) != 0)
    {
        const auto result = failure ("Can't listen at", socketFile);
        ::close (fd);
        ::unlink (path.c_str());
        return result;
    }

    boundDevice = static_cast<unsigned long long> (info.st_dev);
    boundInode = static_cast<unsigned long long> (info.st_ino);
    listenSocket = fd;
    receiver = std::move (newReceiver);
    startThread();
    return juce::Result::ok();
}

void InstanceChannel::run()
{
    while (! threadShouldExit())
    {
        if (! waitFor (listenSocket, POLLIN, 100))
            continue;

        const int connection = acceptConnection (listenSocket);
        if (connection < 0)
        {
            // Out of descriptors, say: do not spin on a socket that stays readable.
            wait (100);
            continue;
        }

        const auto peer = peerUser (connection);
        if (peer.has_value() && *peer == ::geteuid())
            receiveFrom (connection);
        else
            std::fprintf (stderr, "TALVEK Update Tool: refused a hand-over from %s\n", describe (peer).toRawUTF8());
        ::close (connection);
    }
}

void InstanceChannel::receiveFrom (int connection)
{
    // A sender that stalls is given up on, unconfirmed; a text is never longer than
    // maxTextBytes (the rest is not read).
    std::vector<char> bytes;
    const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (stallMs);
    char chunk[4096];

    while (bytes.size() < static_cast<size_t> (maxTextBytes) && ! threadShouldExit())
    {
        const auto now = juce::Time::getMillisecondCounter();
        if (now >= deadline)
            return;
        if (! waitFor (connection, POLLIN, static_cast<int> (juce::jmin<juce::uint32> (deadline - now, 100))))
            continue;

        const auto wanted = juce::jmin (sizeof (chunk), static_cast<size_t> (maxTextBytes) - bytes.size());
        const auto n = ::read (connection, chunk, wanted);
        if (n < 0)
            return;
        if (n == 0)
            break;
        bytes.insert (bytes.end(), chunk, chunk + n);
    }
    if (threadShouldExit())
        return;

    ::send (connection, &acknowledgement, 1, sendFlags);
    // Only well-formed text reaches a string; anything else still counts as a command line.
    const auto text = utf8::isWellFormed (bytes.data(), bytes.size())
                          ? juce::String::fromUTF8 (bytes.data(), static_cast<int> (bytes.size()))
                          : juce::String ("?");
    juce::MessageManager::callAsync ([callback = receiver, text] { callback (text); });
}

juce::Result InstanceChannel::send (const juce::File& file, const juce::String& text, int timeoutMs)
{
    sockaddr_un address;
    socklen_t size = 0;
    if (! makeAddress (file, address, size))
        return tooLong (file);

    const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (juce::jmax (0, timeoutMs));
    for (;;)
    {
        const int fd = makeSocket();
        if (fd < 0)
            return failure ("Can't make a socket for", file);

        if (::connect (fd, reinterpret_cast<sockaddr*> (&address), size) == 0)
        {
            const auto result = handOver (fd, file, text);
            ::close (fd);
            return result;
        }

        const auto result = failure ("Nobody listens at", file);
        ::close (fd);
        // The running copy may still be starting and not listening yet.
        if (juce::Time::getMillisecondCounter() >= deadline)
            return result;
        juce::Thread::sleep (100);
    }
}

#else

InstanceChannel::InstanceChannel (const juce::File& file) : juce::Thread ("Instance channel"), socketFile (file) {}
InstanceChannel::~InstanceChannel() = default;
juce::Result InstanceChannel::listen (Receiver)
{
    return juce::Result::fail ("the framework hands a second launch's command line over on this system");
}
// The framework's own instance messaging has already delivered the text on this system.
juce::Result InstanceChannel::send (const juce::File&, const juce::String&, int) { return juce::Result::ok(); }
void InstanceChannel::run() {}
void InstanceChannel::receiveFrom (int) {}

#endif
