#pragma once

// Stream sockets on POSIX systems and on Windows behind one small set of calls, for the socket
// ports of the device link, the emulated instrument and the tests that play either end.
// Everything here is plain C++ and the system's socket interface: the emulator uses it too.
//
// Besides Unix-domain sockets (POSIX only) a port can be loopback TCP, written "tcp:PORT":
// Windows (and Wine, which refuses AF_UNIX) has no other socket the emulator could listen on.
// Only 127.0.0.1 is ever used, so nothing outside the machine can reach either end.

#if defined(_WIN32)
 #ifndef NOMINMAX
  #define NOMINMAX
 #endif
 #include <winsock2.h>
 #include <ws2tcpip.h>
#else
 #include <arpa/inet.h>
 #include <cerrno>
 #include <cstring>
 #include <fcntl.h>
 #include <netinet/in.h>
 #include <netinet/tcp.h>
 #include <poll.h>
 #include <sys/socket.h>
 #include <unistd.h>
#endif

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sockets
{
#if defined(_WIN32)
using Handle = SOCKET;
inline const Handle invalidHandle = INVALID_SOCKET;
using PollEntry = WSAPOLLFD;
constexpr short pollIn = POLLRDNORM;
constexpr short pollOut = POLLWRNORM;
#else
using Handle = int;
constexpr Handle invalidHandle = -1;
using PollEntry = pollfd;
constexpr short pollIn = POLLIN;
constexpr short pollOut = POLLOUT;
#endif

// Winsock must be started once per process before any other call; elsewhere there is nothing
// to start. The start is never undone: sockets may be closed during static destruction.
inline bool startUp()
{
#if defined(_WIN32)
    static const bool started = []
    {
        WSADATA data {};
        return WSAStartup (MAKEWORD (2, 2), &data) == 0;
    }();
    return started;
#else
    return true;
#endif
}

inline int lastError()
{
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

inline std::string errorText (int code)
{
#if defined(_WIN32)
    char text[256] {};
    const auto n = FormatMessageA (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD> (code), 0, text, sizeof (text), nullptr);
    std::string result (text, n);
    while (! result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result.empty() ? "error " + std::to_string (code) : result;
#else
    return std::strerror (code);
#endif
}

inline bool wouldBlock (int code)
{
#if defined(_WIN32)
    return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS;
#else
    return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS;
#endif
}

inline bool interrupted (int code)
{
#if defined(_WIN32)
    return code == WSAEINTR;
#else
    return code == EINTR;
#endif
}

// The other end is gone: a pulled cable, not a passing condition.
inline bool connectionLost (int code)
{
#if defined(_WIN32)
    return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAENOTCONN || code == WSAESHUTDOWN
        || code == WSAENETRESET;
#else
    return code == EPIPE || code == ECONNRESET || code == ENOTCONN || code == ECONNABORTED;
#endif
}

inline bool permissionDenied (int code)
{
#if defined(_WIN32)
    return code == WSAEACCES;
#else
    return code == EACCES || code == EPERM;
#endif
}

inline void close (Handle h)
{
    if (h == invalidHandle)
        return;
#if defined(_WIN32)
    ::closesocket (h);
#else
    ::close (h);
#endif
}

inline bool setNonBlocking (Handle h)
{
#if defined(_WIN32)
    u_long on = 1;
    return ::ioctlsocket (h, static_cast<long> (FIONBIO), &on) == 0;
#else
    const int flags = ::fcntl (h, F_GETFL);
    return flags >= 0 && ::fcntl (h, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

inline int poll (PollEntry* entries, unsigned count, int timeoutMs)
{
#if defined(_WIN32)
    return ::WSAPoll (entries, count, timeoutMs);
#else
    return ::poll (entries, count, timeoutMs);
#endif
}

// A peer that has gone must not raise SIGPIPE: it is a pulled cable.
inline long send (Handle h, const void* data, std::size_t size)
{
#if defined(_WIN32)
    return ::send (h, static_cast<const char*> (data), static_cast<int> (size), 0);
#else
    return static_cast<long> (::send (h, data, size, MSG_NOSIGNAL));
#endif
}

inline long receive (Handle h, void* data, std::size_t size)
{
#if defined(_WIN32)
    return ::recv (h, static_cast<char*> (data), static_cast<int> (size), 0);
#else
    return static_cast<long> (::recv (h, data, size, 0));
#endif
}

constexpr std::string_view tcpPrefix = "tcp:";

inline bool isTcpAddress (std::string_view address) { return address.starts_with (tcpPrefix); }

// The port of "tcp:PORT"; nothing for any other text. Port 0 (any free port) is for listening.
inline std::optional<std::uint16_t> tcpPort (std::string_view address)
{
    if (! isTcpAddress (address))
        return std::nullopt;
    const auto digits = address.substr (tcpPrefix.size());
    unsigned value = 0;
    const auto [end, error] = std::from_chars (digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t> (value);
}

inline std::string tcpAddress (std::uint16_t port) { return std::string (tcpPrefix) + std::to_string (port); }

namespace detail
{
inline sockaddr_in loopback (std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons (port);
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    return address;
}

// MIDI frames are small and each waits for its reply: coalescing them would add a delay the
// link's watchdogs count.
inline void noDelay (Handle h)
{
    int on = 1;
    ::setsockopt (h, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*> (&on), sizeof (on));
}

inline Handle fail (Handle h, int& error)
{
    error = lastError();
    close (h);
    return invalidHandle;
}

// A TCP socket, not inherited by programs this one starts; invalidHandle with the reason in `error`.
inline Handle tcpSocket (int& error)
{
    if (! startUp())
    {
        error = lastError();
        return invalidHandle;
    }
    Handle h = ::socket (AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (h == invalidHandle)
    {
        error = lastError();
        return invalidHandle;
    }
#if ! defined(_WIN32)
    ::fcntl (h, F_SETFD, FD_CLOEXEC);
#endif
    return h;
}
} // namespace detail

// A non-blocking connection to 127.0.0.1:port, or invalidHandle with the reason in `error`.
// The connect itself waits at most timeoutMs, so a listener that never accepts cannot hold it.
inline Handle connectLoopback (std::uint16_t port, int timeoutMs, int& error)
{
    Handle h = detail::tcpSocket (error);
    if (h == invalidHandle)
        return invalidHandle;
    if (! setNonBlocking (h))
        return detail::fail (h, error);
    detail::noDelay (h);

    const auto address = detail::loopback (port);
    if (::connect (h, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0)
    {
        if (! wouldBlock (lastError()))
            return detail::fail (h, error);
        PollEntry entry { h, pollOut, 0 };
        const int ready = sockets::poll (&entry, 1, timeoutMs);
        if (ready <= 0)
        {
            error = ready == 0 ?
#if defined(_WIN32)
                                 WSAETIMEDOUT
#else
                                 ETIMEDOUT
#endif
                               : lastError();
            close (h);
            return invalidHandle;
        }
        int soError = 0;
        socklen_t length = sizeof (soError);
        ::getsockopt (h, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*> (&soError), &length);
        if (soError != 0)
        {
            error = soError;
            close (h);
            return invalidHandle;
        }
    }
    return h;
}

// Listens on 127.0.0.1:port (0: a free port, then told in `actualPort`).
inline Handle listenLoopback (std::uint16_t port, std::uint16_t& actualPort, int& error)
{
    Handle h = detail::tcpSocket (error);
    if (h == invalidHandle)
        return invalidHandle;
#if defined(_WIN32)
    // Nobody else may bind the same port while the instrument listens on it.
    BOOL exclusive = TRUE;
    ::setsockopt (h, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*> (&exclusive), sizeof (exclusive));
#else
    // A restarted instrument gets its port back at once, not after TIME_WAIT.
    int on = 1;
    ::setsockopt (h, SOL_SOCKET, SO_REUSEADDR, &on, sizeof (on));
#endif
    auto address = detail::loopback (port);
    if (::bind (h, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0 || ::listen (h, 4) != 0)
        return detail::fail (h, error);
    socklen_t length = sizeof (address);
    if (::getsockname (h, reinterpret_cast<sockaddr*> (&address), &length) != 0)
        return detail::fail (h, error);
    actualPort = ntohs (address.sin_port);
    return h;
}

// Accepts one waiting connection (non-blocking, no delay), or invalidHandle.
inline Handle accept (Handle listener)
{
#if defined(_WIN32)
    Handle h = ::accept (listener, nullptr, nullptr);
#else
    Handle h = ::accept4 (listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
    if (h == invalidHandle)
        return invalidHandle;
    int error = 0;
    if (! setNonBlocking (h))
        return detail::fail (h, error);
    detail::noDelay (h);
    return h;
}

// Wakes a thread that waits in poll(): the read end goes into its poll list. A pipe on POSIX;
// on Windows, where poll takes sockets only, a loopback datagram socket that sends to itself.
class Waker
{
public:
    Waker() = default;
    ~Waker() { closeAll(); }
    Waker (const Waker&) = delete;
    Waker& operator= (const Waker&) = delete;

    // False, with the reason in `error`, when the system has none to give.
    bool open (int& error)
    {
        closeAll();
#if defined(_WIN32)
        if (! startUp())
        {
            error = lastError();
            return false;
        }
        handle = ::socket (AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        auto address = detail::loopback (0);
        socklen_t length = sizeof (address);
        if (handle == invalidHandle || ::bind (handle, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0
            || ::getsockname (handle, reinterpret_cast<sockaddr*> (&address), &length) != 0
            || ::connect (handle, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0
            || ! setNonBlocking (handle))
        {
            error = lastError();
            closeAll();
            return false;
        }
#else
        if (::pipe2 (fds, O_CLOEXEC | O_NONBLOCK) != 0)
        {
            error = errno;
            return false;
        }
#endif
        return true;
    }

    bool isOpen() const { return readEnd() != invalidHandle; }
    PollEntry pollEntry() const { return { readEnd(), pollIn, 0 }; }

    void wake()
    {
        const char byte = 1;
#if defined(_WIN32)
        ::send (handle, &byte, 1, 0);
#else
        while (::write (fds[1], &byte, 1) < 0 && errno == EINTR) {}
#endif
    }

    void drain()
    {
        char bytes[64];
#if defined(_WIN32)
        while (::recv (handle, bytes, sizeof (bytes), 0) > 0) {}
#else
        while (::read (fds[0], bytes, sizeof (bytes)) > 0) {}
#endif
    }

private:
    Handle readEnd() const
    {
#if defined(_WIN32)
        return handle;
#else
        return fds[0];
#endif
    }

    void closeAll()
    {
#if defined(_WIN32)
        close (handle);
        handle = invalidHandle;
#else
        for (int& fd : fds)
        {
            if (fd >= 0)
                ::close (fd);
            fd = -1;
        }
#endif
    }

#if defined(_WIN32)
    Handle handle = invalidHandle;
#else
    int fds[2] { -1, -1 };
#endif
};
} // namespace sockets
