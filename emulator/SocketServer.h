#pragma once

// The instrument's MIDI port: a stream socket carrying raw MIDI bytes both ways, Unix-domain
// at a path, or loopback TCP ("tcp:PORT", the only kind on Windows).
// One I/O thread accepts, reads, hands the bytes to the programmer under the owner's lock and
// then carries out the resulting actions (sends, timed waits, closing) without it, so that the
// owner's accessors never wait behind a slow link or a delayed reply.

#include "Instrument.h"
#include "Programmer.h"
#include "common/Sockets.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talvek::emu
{

class SocketServer
{
public:
    // The programmer is only called with programmerLock held.
    SocketServer (Programmer& programmer, std::mutex& programmerLock);
    ~SocketServer(); // stops

    SocketServer (const SocketServer&) = delete;
    SocketServer& operator= (const SocketServer&) = delete;

    // Listens at `address` and starts the I/O thread: a socket path (a stale socket file there
    // is replaced), or "tcp:PORT" on 127.0.0.1, where port 0 takes a free one.
    bool start (const std::string& address, std::string* error);
    void stop();
    bool running() const { return io.joinable(); }
    bool connected() const { return isConnected; }
    // The address listened on; for TCP with the port actually taken.
    const std::string& path() const { return socketPath; }
    void pullCable(); // close the current connection, if any

private:
    using Clock = std::chrono::steady_clock;

    void wake();
    bool waitUntil (Clock::time_point until);
    bool occupy (std::chrono::duration<double, std::milli> length);
    void closeConnection (EventKind kind, const std::string& why);
    bool sendAll (const wire::Bytes& bytes);
    void run (std::vector<Action>& actions);
    void serve();

    Programmer& programmer;
    std::mutex& m;
    const double linkBytesPerSecond;

    std::mutex pauseLock;
    std::condition_variable pauseEnds; // stop or a pulled cable

    // When the line (and the instrument behind it) is done with everything asked of it so far;
    // I/O thread only. Each step is scheduled from here, not from the moment the last sleep
    // happened to end, so the wake-up delays of a chain of sleeps do not add up.
    Clock::time_point lineFreeAt {};

    std::thread io;
    std::atomic<bool> stopFlag { false };
    std::atomic<bool> pullFlag { false };
    std::atomic<bool> isConnected { false };
    sockets::Handle listenFd = sockets::invalidHandle, connFd = sockets::invalidHandle;
    sockets::Waker waker;
    std::string socketPath;
    bool isUnixSocket = false; // its file is removed at stop
};

} // namespace talvek::emu
