#include "devicelink/ByteStreamPorts.h"

#if ! defined (_WIN32)

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// How often a waiting write looks at its cancel flag.
constexpr auto pollSlice = std::chrono::milliseconds (50);
} // namespace

MidiPortOpenError makeOpenError (const juce::String& path, int error)
{
    MidiPortOpenError result;
    result.path = path;
    if (error != 0)
        result.reason = juce::String::fromUTF8 (std::strerror (error));
    result.permissionDenied = error == EACCES || error == EPERM;
    return result;
}

ByteStreamConnection::ByteStreamConnection (int fdIn, bool readableIn, bool writableIn, bool isSocketIn,
                                            int writeTimeoutMsIn, int missingDirectionErrorIn)
    : fd (fdIn), readable (readableIn), writable (writableIn), isSocket (isSocketIn),
      writeTimeoutMs (writeTimeoutMsIn), missingDirectionError (missingDirectionErrorIn)
{
}

ByteStreamConnection::~ByteStreamConnection()
{
    ::close (fd);
}

bool ByteStreamConnection::write (const std::uint8_t* data, int size, const std::atomic<bool>& cancelled)
{
    if (! writable || isDead())
        return false;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds (writeTimeoutMs);

    {
        // Another port's write on the same node may be the one that is stalled.
        std::unique_lock<std::mutex> guard (writeLock);
        while (writing)
        {
            if (cancelled.load() || Clock::now() >= deadline)
                return false;
            writeFree.wait_for (guard, pollSlice);
        }
        writing = true;
    }
    const bool ok = writeAll (data, size, deadline, cancelled);
    {
        const std::lock_guard<std::mutex> guard (writeLock);
        writing = false;
    }
    writeFree.notify_one();
    return ok;
}

bool ByteStreamConnection::writeAll (const std::uint8_t* data, int size,
                                     std::chrono::steady_clock::time_point deadline,
                                     const std::atomic<bool>& cancelled)
{
    using Clock = std::chrono::steady_clock;
    int done = 0;
    while (done < size)
    {
        if (cancelled.load())
            return false;
        const auto remaining = static_cast<std::size_t> (size - done);
        // A socket whose peer has gone must not raise SIGPIPE: it is a pulled cable.
        const ssize_t n = isSocket ? ::send (fd, data + done, remaining, MSG_NOSIGNAL)
                                   : ::write (fd, data + done, remaining);
        if (n > 0)
        {
            done += static_cast<int> (n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - Clock::now());
            if (left.count() <= 0)
                return false; // the device has stopped taking data
            pollfd p { fd, POLLOUT, 0 };
            const int r = ::poll (&p, 1, static_cast<int> (std::min (left, pollSlice).count()));
            if (r < 0 && errno != EINTR)
                return false;
            if (r > 0 && (p.revents & POLLOUT) == 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            {
                markDead(); // no room will ever come
                return false;
            }
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENODEV || errno == EIO || errno == EBADFD))
            markDead();
        return false;
    }
    return true;
}

ByteStreamInPort::ByteStreamInPort (std::shared_ptr<ByteStreamConnection> connectionIn, juce::String nameIn,
                                    MidiInPortCallback& callbackIn)
    : connection (std::move (connectionIn)), name (std::move (nameIn)), callback (callbackIn)
{
    int fds[2];
    if (::pipe2 (fds, O_CLOEXEC) == 0)
    {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
}

ByteStreamInPort::~ByteStreamInPort()
{
    stop();
    if (wakeRead >= 0)
        ::close (wakeRead);
    if (wakeWrite >= 0)
        ::close (wakeWrite);
}

void ByteStreamInPort::start()
{
    if (reader.joinable() || wakeRead < 0 || ! connection->canRead())
        return;
    reader = std::thread ([this] { run(); });
}

void ByteStreamInPort::stop()
{
    if (! reader.joinable())
        return;
    const std::uint8_t wake = 1;
    while (::write (wakeWrite, &wake, 1) < 0 && errno == EINTR) {}
    reader.join();
    // Empty the pipe so that a later start() waits again.
    std::uint8_t drain[16];
    pollfd p { wakeRead, POLLIN, 0 };
    while (::poll (&p, 1, 0) > 0 && (p.revents & POLLIN) != 0 && ::read (wakeRead, drain, sizeof (drain)) > 0) {}
    parser.reset();
}

void ByteStreamInPort::run()
{
    juce::Thread::setCurrentThreadName ("MIDI in: " + name);
    const MidiStreamParser::Sink deliver = [this] (const std::uint8_t* data, int size)
    {
        // The message object is the one allocation per frame: the callback's interface needs it.
        callback.handleIncomingMidiMessage (this, juce::MidiMessage (data, size, juce::Time::getMillisecondCounterHiRes() * 0.001));
    };

    std::array<std::uint8_t, 4096> buffer;
    while (! connection->isDead())
    {
        pollfd fds[2] = { { connection->getFd(), POLLIN, 0 }, { wakeRead, POLLIN, 0 } };
        const int r = ::poll (fds, 2, -1);
        if (r < 0)
        {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return; // stop()

        if (fds[0].revents != 0)
        {
            const ssize_t n = ::read (connection->getFd(), buffer.data(), buffer.size());
            if (n > 0)
                parser.feed (buffer.data(), static_cast<int> (n), deliver);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                connection->markDead(); // peer closed or device gone: the cable is out
        }
    }
}

std::shared_ptr<ByteStreamConnection> ConnectionTable::obtain (const juce::String& key, const Opener& open)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto& slot = connections[key];
    if (auto existing = slot.lock(); existing != nullptr && ! existing->isDead())
        return existing;
    auto fresh = open();
    slot = fresh;
    return fresh;
}

#endif
