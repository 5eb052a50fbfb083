// The socket side of the instrument: accepting, reading, and carrying out the programmer's
// actions at the link's pace.

#include "SocketServer.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
        if (listenFd >= 0) ::close (listenFd);
        listenFd = -1;
        return false;
    };
    if (io.joinable())
        return fail ("already serving " + socketPath);
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
    if (::pipe2 (wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail (std::string ("pipe: ") + std::strerror (errno));
    socketPath = path;
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
    ::close (listenFd);
    listenFd = -1;
    for (int& fd : wakePipe)
    {
        ::close (fd);
        fd = -1;
    }
    ::unlink (socketPath.c_str());
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
    if (wakePipe[1] >= 0)
    {
        const char c = 1;
        [[maybe_unused]] auto n = ::write (wakePipe[1], &c, 1);
    }
    pauseEnds.notify_all();
}

// Waits, but returns early (false) on stop or a pulled cable.
bool SocketServer::pause (double ms)
{
    if (ms <= 0)
        return true;
    std::unique_lock lock (pauseLock);
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds (std::int64_t (ms * 1000.0));
    return ! pauseEnds.wait_until (lock, until, [this] { return stopFlag.load() || pullFlag.load(); });
}

void SocketServer::closeConnection (EventKind kind, const std::string& why)
{
    if (connFd < 0)
        return;
    ::close (connFd);
    connFd = -1;
    isConnected = false;
    std::lock_guard lock (m);
    programmer.disconnected (kind, why);
}

bool SocketServer::sendAll (const wire::Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        if (stopFlag || pullFlag || connFd < 0)
            return false;
        const ssize_t n = ::send (connFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
        {
            done += std::size_t (n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        {
            pollfd pfd { connFd, POLLOUT, 0 };
            ::poll (&pfd, 1, 50);
            continue;
        }
        closeConnection (EventKind::Disconnected, std::string ("send failed: ") + std::strerror (errno));
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
                if (! pause (a.ms))
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
                    if (linkBytesPerSecond > 0 && ! pause (1000.0 * double (a.bytes.size()) / linkBytesPerSecond))
                        return;
                    if (! sendAll (a.bytes))
                        return;
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

        pollfd fds[3] { { wakePipe[0], POLLIN, 0 }, { listenFd, POLLIN, 0 }, { connFd, POLLIN, 0 } };
        const int ready = ::poll (fds, connFd >= 0 ? 3 : 2, 100);
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
        if (fds[0].revents & POLLIN)
        {
            char drain[64];
            [[maybe_unused]] auto n = ::read (wakePipe[0], drain, sizeof drain);
            continue; // re-check the flags first
        }
        if (fds[1].revents & POLLIN)
        {
            const int fd = ::accept4 (listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
            {
                if (connFd >= 0)
                    closeConnection (EventKind::ConnectionReplaced, "a new connection replaced it");
                connFd = fd;
                isConnected = true;
                std::lock_guard lock (m);
                programmer.connected();
            }
        }
        if (connFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
        {
            const ssize_t n = ::recv (connFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            {
                closeConnection (EventKind::Disconnected, n == 0 ? "closed by the host" : std::string ("reset: ") + std::strerror (errno));
                continue;
            }
            if (n < 0)
                continue;
            std::size_t at = 0;
            while (at < std::size_t (n) && connFd >= 0 && ! stopFlag && ! pullFlag)
            {
                actions.clear();
                Programmer::Fed fed;
                {
                    std::lock_guard lock (m);
                    fed = programmer.feed (buffer.data() + at, std::size_t (n) - at, actions);
                }
                at += fed.used;
                // The frame took its time to arrive over the cable before it was acted on.
                if (fed.frameBytes > 0 && linkBytesPerSecond > 0)
                    actions.insert (actions.begin(), Action::wait (1000.0 * double (fed.frameBytes) / linkBytesPerSecond));
                run (actions);
            }
        }
    }
    closeConnection (EventKind::Disconnected, "emulator stopped");
}

} // namespace talvek::emu
