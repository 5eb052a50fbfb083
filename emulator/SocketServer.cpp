// The socket side of the instrument: accepting, reading, and carrying out the programmer's
// actions at the link's pace.

#include "SocketServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/stat.h>

#if ! defined(_WIN32)
 #include <sys/un.h>
#endif

namespace talvek::emu
{

SocketServer::SocketServer (Programmer& p, std::mutex& programmerLock)
    : programmer (p), m (programmerLock), linkBytesPerSecond (p.config().timing.linkBytesPerSecond)
{
}

SocketServer::~SocketServer() { stop(); }

bool SocketServer::start (const std::string& path, std::string* error)
{
    auto fail = [&] (const std::string& why) {
        if (error) *error = why;
        sockets::close (listenFd);
        listenFd = sockets::invalidHandle;
        return false;
    };
    if (io.joinable())
        return fail ("already serving " + socketPath);

    std::string address = path;
    int code = 0;
    if (sockets::isTcpAddress (path))
    {
        const auto port = sockets::tcpPort (path);
        if (! port)
            return fail ("not a TCP port: " + path + " (tcp:PORT, 0 for any free port)");
        std::uint16_t actual = 0;
        listenFd = sockets::listenLoopback (*port, actual, code);
        if (listenFd == sockets::invalidHandle)
            return fail ("listen on 127.0.0.1:" + std::to_string (*port) + ": " + sockets::errorText (code));
        address = sockets::tcpAddress (actual);
        isUnixSocket = false;
    }
    else
    {
#if defined(_WIN32)
        return fail ("Windows has no Unix-domain sockets here: listen on tcp:PORT instead of " + path);
#else
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof addr.sun_path)
            return fail ("socket path empty or longer than " + std::to_string (sizeof addr.sun_path - 1) + " bytes");
        std::memcpy (addr.sun_path, path.c_str(), path.size());

        // Replace a stale socket left by an emulator that died, but nothing else.
        struct stat st {};
        if (::lstat (path.c_str(), &st) == 0)
        {
            if (! S_ISSOCK (st.st_mode))
                return fail (path + " exists and is not a socket");
            ::unlink (path.c_str());
        }
        listenFd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd < 0)
            return fail (std::string ("socket: ") + std::strerror (errno));
        if (::bind (listenFd, reinterpret_cast<sockaddr*> (&addr), sizeof addr) != 0)
            return fail ("bind " + path + ": " + std::strerror (errno));
        if (::listen (listenFd, 4) != 0)
            return fail (std::string ("listen: ") + std::strerror (errno));
        isUnixSocket = true;
#endif
    }
    if (! waker.open (code))
        return fail ("wake-up channel: " + sockets::errorText (code));
    socketPath = address;
    stopFlag = false;
    pullFlag = false;
    io = std::thread ([this] { serve(); });
    return true;
}

void SocketServer::stop()
{
    if (! io.joinable())
        return;
    stopFlag = true;
    wake();
    io.join();
    sockets::close (listenFd);
    listenFd = sockets::invalidHandle;
#if ! defined(_WIN32)
    if (isUnixSocket)
        ::unlink (socketPath.c_str());
#endif
}

void SocketServer::pullCable()
{
    if (! io.joinable())
        return;
    pullFlag = true;
    wake();
}

// Callers hold no lock; taking it once orders the flags before a waiter's predicate check.
void SocketServer::wake()
{
    {
        std::lock_guard lock (pauseLock);
    }
    if (waker.isOpen())
        waker.wake();
    pauseEnds.notify_all();
}

// Waits, but returns early (false) on stop or a pulled cable, which also frees the line at
// once: what was planned on it will not happen.
bool SocketServer::waitUntil (Clock::time_point until)
{
    std::unique_lock lock (pauseLock);
    if (! pauseEnds.wait_until (lock, until, [this] { return stopFlag.load() || pullFlag.load(); }))
        return true;
    lineFreeAt = Clock::now();
    return false;
}

// The line or the flash is busy for `length` after everything before it, and the server waits
// until then. Rounded up: the line is never faster than its rate.
bool SocketServer::occupy (std::chrono::duration<double, std::milli> length)
{
    if (length.count() > 0)
        lineFreeAt += std::chrono::ceil<Clock::duration> (length);
    return waitUntil (lineFreeAt);
}

void SocketServer::closeConnection (EventKind kind, const std::string& why)
{
    if (connFd == sockets::invalidHandle)
        return;
    sockets::close (connFd);
    connFd = sockets::invalidHandle;
    isConnected = false;
    std::lock_guard lock (m);
    programmer.disconnected (kind, why);
}

bool SocketServer::sendAll (const wire::Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        if (stopFlag || pullFlag || connFd == sockets::invalidHandle)
            return false;
        const long n = sockets::send (connFd, bytes.data() + done, bytes.size() - done);
        const int code = n < 0 ? sockets::lastError() : 0;
        if (n > 0)
        {
            done += std::size_t (n);
            continue;
        }
        if (n < 0 && (sockets::wouldBlock (code) || sockets::interrupted (code)))
        {
            sockets::PollEntry pfd { connFd, sockets::pollOut, 0 };
            sockets::poll (&pfd, 1, 50);
            continue;
        }
        closeConnection (EventKind::Disconnected, "send failed: " + sockets::errorText (code));
        return false;
    }
    return true;
}

void SocketServer::run (std::vector<Action>& actions)
{
    for (auto& a : actions)
    {
        if (stopFlag || pullFlag)
            break;
        switch (a.kind)
        {
            case Action::Kind::Wait:
                if (! occupy (std::chrono::duration<double, std::milli> (a.ms)))
                    return;
                break;
            case Action::Kind::Close:
                closeConnection (EventKind::CablePulled, "fault");
                return;
            case Action::Kind::Send:
                {
                    {
                        std::lock_guard lock (m);
                        if (! programmer.deliverable (a))
                            continue;
                    }
                    std::size_t sentAhead = 0;
                    if (linkBytesPerSecond > 0)
                    {
                        const std::chrono::duration<double, std::milli> length (1000.0 * double (a.bytes.size()) / linkBytesPerSecond);
                        // A frame's first byte reaches the host as the frame begins, long before
                        // its last one on a slow line; a host that watches the bytes sees that.
                        if (length.count() >= 1.0 && a.bytes.size() > 1)
                        {
                            if (! waitUntil (lineFreeAt) || ! sendAll (wire::Bytes (a.bytes.begin(), a.bytes.begin() + 1)))
                                return;
                            sentAhead = 1;
                        }
                        if (! occupy (length))
                            return;
                    }
                    if (! sendAll (sentAhead == 0 ? a.bytes : wire::Bytes (a.bytes.begin() + std::ptrdiff_t (sentAhead), a.bytes.end())))
                        return;
                    // The next frame can only follow this one as the host got it, however late
                    // that was.
                    lineFreeAt = std::max (lineFreeAt, Clock::now());
                    std::lock_guard lock (m);
                    programmer.sent (a);
                }
                break;
        }
    }
}

void SocketServer::serve()
{
    std::vector<std::uint8_t> buffer (65536);
    std::vector<Action> actions;
    while (! stopFlag)
    {
        if (pullFlag.exchange (false))
            closeConnection (EventKind::CablePulled, "pulled");

        sockets::PollEntry fds[3] { waker.pollEntry(), { listenFd, sockets::pollIn, 0 }, { connFd, sockets::pollIn, 0 } };
        const bool haveConnection = connFd != sockets::invalidHandle;
        const int ready = sockets::poll (fds, haveConnection ? 3 : 2, 100);
        if (stopFlag)
            break;
        {
            std::lock_guard lock (m);
            programmer.restorePowerIfDue();
        }
        if (ready <= 0)
        {
            std::lock_guard lock (m);
            programmer.saveIfDirty(); // only when the link is idle
            continue;
        }
        if (fds[0].revents & sockets::pollIn)
        {
            waker.drain();
            continue; // re-check the flags first
        }
        if (fds[1].revents & sockets::pollIn)
        {
            const auto fd = sockets::accept (listenFd);
            if (fd != sockets::invalidHandle)
            {
                if (connFd != sockets::invalidHandle)
                    closeConnection (EventKind::ConnectionReplaced, "a new connection replaced it");
                connFd = fd;
                isConnected = true;
                lineFreeAt = Clock::now(); // a new cable, idle
                std::lock_guard lock (m);
                programmer.connected();
            }
        }
        if (haveConnection && connFd == fds[2].fd && (fds[2].revents & (sockets::pollIn | POLLHUP | POLLERR)))
        {
            const long n = sockets::receive (connFd, buffer.data(), buffer.size());
            const int code = n < 0 ? sockets::lastError() : 0;
            if (n == 0 || (n < 0 && ! sockets::wouldBlock (code) && ! sockets::interrupted (code)))
            {
                closeConnection (EventKind::Disconnected, n == 0 ? "closed by the host" : "reset: " + sockets::errorText (code));
                continue;
            }
            if (n < 0)
                continue;
            const auto arrived = Clock::now();
            std::size_t at = 0;
            while (at < std::size_t (n) && connFd != sockets::invalidHandle && ! stopFlag && ! pullFlag)
            {
                actions.clear();
                Programmer::Fed fed;
                {
                    std::lock_guard lock (m);
                    fed = programmer.feed (buffer.data() + at, std::size_t (n) - at, actions);
                }
                at += fed.used;
                // The frame took its time to arrive over the cable before it was acted on: from
                // when the host sent it, or, when the line was still busy then, after that.
                lineFreeAt = std::max (lineFreeAt, arrived);
                if (fed.frameBytes > 0 && linkBytesPerSecond > 0)
                    actions.insert (actions.begin(), Action::wait (1000.0 * double (fed.frameBytes) / linkBytesPerSecond));
                run (actions);
            }
        }
    }
    closeConnection (EventKind::Disconnected, "emulator stopped");
}

} // namespace talvek::emu
