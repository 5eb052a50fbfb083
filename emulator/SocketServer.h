#pragma once

// The instrument's MIDI port: a Unix-domain stream socket carrying raw MIDI bytes both ways.
// One I/O thread accepts, reads, hands the bytes to the programmer under the owner's lock and
// then carries out the resulting actions (sends, timed waits, closing) without it, so that the
// owner's accessors never wait behind a slow link or a delayed reply.

#include "Instrument.h"
#include "Programmer.h"

#include <atomic>
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

    // Listens at socketPath (a stale socket file there is replaced) and starts the I/O thread.
    bool start (const std::string& socketPath, std::string* error);
    void stop();
    bool running() const { return io.joinable(); }
    bool connected() const { return isConnected; }
    const std::string& path() const { return socketPath; }
    void pullCable(); // close the current connection, if any

private:
    void wake();
    bool pause (double ms);
    void closeConnection (EventKind kind, const std::string& why);
    bool sendAll (const wire::Bytes& bytes);
    void run (std::vector<Action>& actions);
    void serve();

    Programmer& programmer;
    std::mutex& m;
    const double linkBytesPerSecond;

    std::mutex pauseLock;
    std::condition_variable pauseEnds; // stop or a pulled cable

    std::thread io;
    std::atomic<bool> stopFlag { false };
    std::atomic<bool> pullFlag { false };
    std::atomic<bool> isConnected { false };
    int listenFd = -1, connFd = -1;
    int wakePipe[2] { -1, -1 };
    std::string socketPath;
};

} // namespace talvek::emu
