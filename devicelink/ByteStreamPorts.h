#pragma once

// Ports over one descriptor that carries raw MIDI bytes both ways, exactly as on a cable: an
// ALSA raw MIDI device node, a Unix-domain stream socket or a loopback TCP connection (the
// only kind on Windows, where the descriptor is a socket handle). The input and the output of
// one node or socket share the descriptor (a raw MIDI node opened twice would take a second
// substream, which most devices do not have).

#include "common/Sockets.h"
#include "devicelink/MidiPorts.h"
#include "devicelink/MidiStreamParser.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

class ByteStreamConnection
{
public:
    // `fd` must be non-blocking: writes wait in poll() with a deadline, never in the kernel.
    // `missingDirectionError`: why the node could not be opened both ways (errno), for a
    // connection that is read-only or write-only.
    ByteStreamConnection (sockets::Handle fd, bool readable, bool writable, bool isSocket, int writeTimeoutMs,
                          int missingDirectionError = 0);
    ~ByteStreamConnection();

    static constexpr int defaultWriteTimeoutMs = 5000;

    sockets::Handle getFd() const { return fd; }
    bool canRead() const { return readable; }
    bool canWrite() const { return writable; }
    int getMissingDirectionError() const { return missingDirectionError; }

    // Writes one whole message; false (and the rest unsent) on any error, when the device has
    // not taken it all within the write time-out, or once `cancelled` is set. A peer that is
    // gone marks the connection dead.
    bool write (const std::uint8_t* data, int size, const std::atomic<bool>& cancelled);

    // Reads what has arrived: the count, 0 when the peer has closed, below 0 with the system's
    // error code in `error`.
    long read (std::uint8_t* buffer, std::size_t size, int& error);

    // The cable is out: nothing is delivered or sent any more.
    void markDead() { dead.store (true); }
    bool isDead() const { return dead.load(); }

private:
    bool writeAll (const std::uint8_t* data, int size, std::chrono::steady_clock::time_point deadline,
                   const std::atomic<bool>& cancelled);

    const sockets::Handle fd;
    const bool readable, writable, isSocket;
    const int writeTimeoutMs;
    const int missingDirectionError;
    std::atomic<bool> dead { false };
    // One message at a time, never interleaved.
    std::mutex writeLock;
    std::condition_variable writeFree;
    bool writing = false; // guarded by writeLock
};

class ByteStreamInPort : public MidiInPort
{
public:
    ByteStreamInPort (std::shared_ptr<ByteStreamConnection> connection, juce::String name,
                      MidiInPortCallback& callback);
    ~ByteStreamInPort() override;

    juce::String getName() const override { return name; }
    void start() override;
    void stop() override;

private:
    void run();

    std::shared_ptr<ByteStreamConnection> connection;
    const juce::String name;
    MidiInPortCallback& callback;
    MidiStreamParser parser;    // used by the reader thread only
    bool frameArriving = false; // likewise: an F0 came in, its end has not
    sockets::Waker waker;       // ends the reader's wait at stop()
    std::thread reader;
};

class ByteStreamOutPort : public MidiOutPort
{
public:
    ByteStreamOutPort (std::shared_ptr<ByteStreamConnection> connectionIn, juce::String nameIn)
        : connection (std::move (connectionIn)), name (std::move (nameIn)) {}

    juce::String getName() const override { return name; }
    bool sendMessage (const std::uint8_t* data, int size) override { return connection->write (data, size, cancelled); }
    void cancelSends() override { cancelled.store (true); }

private:
    std::shared_ptr<ByteStreamConnection> connection;
    const juce::String name;
    std::atomic<bool> cancelled { false };
};

// Hands out one live connection per key to every port that asks, and a fresh one once the last
// is dead or released.
class ConnectionTable
{
public:
    using Opener = std::function<std::shared_ptr<ByteStreamConnection>()>;
    std::shared_ptr<ByteStreamConnection> obtain (const juce::String& key, const Opener& open);

private:
    std::mutex mutex;
    std::map<juce::String, std::weak_ptr<ByteStreamConnection>> connections;
};

// What a failed open reports: the path and the text of the system's error code (errno, or
// Winsock's on Windows; none for 0).
MidiPortOpenError makeOpenError (const juce::String& path, int error);
