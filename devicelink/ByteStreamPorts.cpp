#include "devicelink/ByteStreamPorts.h"

#include <algorithm>
#include <chrono>

namespace
{
// How often a waiting write looks at its cancel flag.
constexpr auto pollSlice = std::chrono::milliseconds (50);

// A raw MIDI node whose device was unplugged.
bool deviceGone (int error)
{
   #if defined (_WIN32)
    juce::ignoreUnused (error);
    return false;
   #else
    return error == ENODEV || error == EIO || error == EBADFD;
   #endif
}
} // namespace

MidiPortOpenError makeOpenError (const juce::String& path, int error)
{
    MidiPortOpenError result;
    result.path = path;
    if (error != 0)
        result.reason = juce::String::fromUTF8 (sockets::errorText (error).c_str());
    result.permissionDenied = sockets::permissionDenied (error);
    return result;
}

ByteStreamConnection::ByteStreamConnection (sockets::Handle fdIn, bool readableIn, bool writableIn, bool isSocketIn,
                                            int writeTimeoutMsIn, int missingDirectionErrorIn)
    : fd (fdIn), readable (readableIn), writable (writableIn), isSocket (isSocketIn),
      writeTimeoutMs (writeTimeoutMsIn), missingDirectionError (missingDirectionErrorIn)
{
}

ByteStreamConnection::~ByteStreamConnection()
{
    sockets::close (fd);
}

long ByteStreamConnection::read (std::uint8_t* buffer, std::size_t size, int& error)
{
   #if defined (_WIN32)
    const long n = sockets::receive (fd, buffer, size);
   #else
    const long n = static_cast<long> (::read (fd, buffer, size));
   #endif
    error = n < 0 ? sockets::lastError() : 0;
    return n;
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
       #if defined (_WIN32)
        const long n = sockets::send (fd, data + done, remaining);
       #else
        const long n = isSocket ? sockets::send (fd, data + done, remaining)
                                : static_cast<long> (::write (fd, data + done, remaining));
       #endif
        const int error = n < 0 ? sockets::lastError() : 0;
        if (n > 0)
        {
            done += static_cast<int> (n);
            continue;
        }
        if (n < 0 && sockets::interrupted (error))
            continue;
        if (n < 0 && sockets::wouldBlock (error))
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - Clock::now());
            if (left.count() <= 0)
                return false; // the device has stopped taking data
            sockets::PollEntry p { fd, sockets::pollOut, 0 };
            const int r = sockets::poll (&p, 1, static_cast<int> (std::min (left, pollSlice).count()));
            if (r < 0 && ! sockets::interrupted (sockets::lastError()))
                return false;
            if (r > 0 && (p.revents & sockets::pollOut) == 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            {
                markDead(); // no room will ever come
                return false;
            }
            continue;
        }
        if (n < 0 && (sockets::connectionLost (error) || deviceGone (error)))
            markDead();
        return false;
    }
    return true;
}

ByteStreamInPort::ByteStreamInPort (std::shared_ptr<ByteStreamConnection> connectionIn, juce::String nameIn,
                                    MidiInPortCallback& callbackIn)
    : connection (std::move (connectionIn)), name (std::move (nameIn)), callback (callbackIn)
{
    int error = 0;
    waker.open (error); // without it start() does nothing: stop() could not end the reader
}

ByteStreamInPort::~ByteStreamInPort()
{
    stop();
}

void ByteStreamInPort::start()
{
    if (reader.joinable() || ! waker.isOpen() || ! connection->canRead())
        return;
    reader = std::thread ([this] { run(); });
}

void ByteStreamInPort::stop()
{
    if (! reader.joinable())
        return;
    waker.wake();
    reader.join();
    // Empty it so that a later start() waits again.
    waker.drain();
    parser.reset();
    frameArriving = false;
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
        sockets::PollEntry fds[2] = { { connection->getFd(), sockets::pollIn, 0 }, waker.pollEntry() };
        const int r = sockets::poll (fds, 2, -1);
        if (r < 0)
        {
            if (sockets::interrupted (sockets::lastError()))
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return; // stop()

        if (fds[0].revents != 0)
        {
            int error = 0;
            const long n = connection->read (buffer.data(), buffer.size(), error);
            if (n > 0)
            {
                // The line is busy from a frame's first byte on, long before the frame is whole:
                // on a slow cable a block takes more than a second to cross.
                bool began = false;
                bool arriving = frameArriving;
                for (long i = 0; i < n; ++i)
                {
                    const auto b = buffer[std::size_t (i)];
                    if (b == 0xF0)
                        began = arriving = true;
                    else if (arriving && b >= 0x80 && b < 0xF8)
                        arriving = false; // F7, or a status byte that breaks the frame
                }
                if (began)
                    callback.lineActivity (this, true);
                parser.feed (buffer.data(), static_cast<int> (n), deliver);
                if (arriving != (began || frameArriving))
                    callback.lineActivity (this, arriving);
                frameArriving = arriving;
            }
            else if (n == 0 || (! sockets::interrupted (error) && ! sockets::wouldBlock (error)))
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
