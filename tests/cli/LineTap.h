#pragma once

// A tap on the MIDI line between the tool and an emulated instrument: a socket the tool opens
// as its port, relayed byte for byte to the instrument's, noting the order in which each frame
// passes in either direction. The instrument itself cannot tell when a host frame arrived:
// its socket is read only between the frames it carries out, so a block sent early waits
// unseen in the socket until the previous Ack has gone out.
//
// POSIX only (Unix-domain sockets), like the terminal tests.

#include "emulator/Instrument.h"
#include "emulator/Wire.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace clitest
{
namespace emu = talvek::emu;

class LineTap
{
public:
    struct Frame
    {
        bool fromHost = false;
        std::uint8_t command = 0xFF; // 0xFF: not a frame of ours
        std::uint64_t start = 0, end = 0; // read rounds of its first and last byte
    };

    LineTap (const juce::String& tapPath, const juce::String& instrumentPath)
        : instrumentSocket (instrumentPath.toStdString())
    {
        listenFd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto addr = address (tapPath.toStdString());
        ::unlink (addr.sun_path);
        EXPECT_EQ (::bind (listenFd, reinterpret_cast<const sockaddr*> (&addr), sizeof addr), 0) << std::strerror (errno);
        EXPECT_EQ (::listen (listenFd, 4), 0) << std::strerror (errno);
        thread = std::thread ([this] { relay(); });
    }

    ~LineTap()
    {
        stopFlag = true;
        thread.join();
        closeConnection();
        ::close (listenFd);
    }

    std::vector<Frame> frames() const
    {
        std::lock_guard lock (m);
        return passed;
    }

    // Data blocks the host sent while the instrument still owed the Ack of an earlier frame (a
    // Data block, an erase or a test). `doubled` holds the host frames (counted from 1 as the
    // instrument counts them, Event::frame) whose Ack the instrument sent twice: the copy
    // follows its original, and each Data, EraseSector and RunTest has one Ack, so every Ack on
    // the line belongs to a known host frame. `why` tells when the Acks cannot be matched, and
    // where the first block went ahead.
    static int dataAhead (const std::vector<Frame>& frames, const std::set<std::uint64_t>& doubled, std::string& why)
    {
        std::vector<const Frame*> host, acks;
        for (const auto& f : frames)
            (f.fromHost ? host : acks).push_back (&f);
        std::erase_if (acks, [] (const Frame* f) { return f->command != emu::wire::cmdAck; });

        const auto answeredByAck = [] (std::uint8_t c)
        { return c == emu::wire::cmdData || c == emu::wire::cmdEraseSector || c == emu::wire::cmdRunTest; };
        std::vector<std::size_t> ackOwner; // host frame index of each Ack, in line order
        for (std::size_t i = 0; i < host.size(); ++i)
            if (answeredByAck (host[i]->command))
                ackOwner.insert (ackOwner.end(), doubled.count (i + 1) != 0 ? 2 : 1, i);
        if (ackOwner.size() != acks.size())
            why = std::to_string (acks.size()) + " Acks passed, " + std::to_string (ackOwner.size()) + " expected. ";

        std::vector<const Frame*> firstAck (host.size(), nullptr);
        for (std::size_t j = 0; j < std::min (acks.size(), ackOwner.size()); ++j)
            if (firstAck[ackOwner[j]] == nullptr)
                firstAck[ackOwner[j]] = acks[j];

        int ahead = 0;
        std::uint64_t owedUntil = 0; // the latest end of an Ack owed to the frames so far
        std::size_t owedTo = 0;
        for (std::size_t i = 0; i < host.size(); ++i)
        {
            if (host[i]->command == emu::wire::cmdData && owedUntil >= host[i]->start)
            {
                if (ahead++ == 0)
                    why += "host frame " + std::to_string (i + 1) + " (Data) began in read round " + std::to_string (host[i]->start)
                         + ", the Ack of host frame " + std::to_string (owedTo + 1) + " (command "
                         + std::to_string (host[owedTo]->command) + ") ended in round " + std::to_string (owedUntil)
                         + "; on the line then:";
                if (ahead == 1)
                    for (const auto& f : frames)
                        if (f.end + 6 >= host[i]->start && f.start <= owedUntil + 2)
                            why += std::string (f.fromHost ? " host " : " instrument ") + std::to_string (f.command) + "@"
                                 + std::to_string (f.start) + (f.end != f.start ? "-" + std::to_string (f.end) : "");
            }
            if (answeredByAck (host[i]->command))
            {
                const auto until = firstAck[i] != nullptr ? firstAck[i]->end : UINT64_MAX;
                if (until >= owedUntil)
                {
                    owedUntil = until;
                    owedTo = i;
                }
            }
        }
        return ahead;
    }

private:
    static sockaddr_un address (const std::string& path)
    {
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        EXPECT_LT (path.size(), sizeof addr.sun_path);
        std::memcpy (addr.sun_path, path.c_str(), std::min (path.size(), sizeof addr.sun_path - 1));
        return addr;
    }

    struct Direction
    {
        bool fromHost = false;
        emu::wire::StreamParser parser;
        std::uint64_t frameStart = 0;
    };

    void relay()
    {
        std::vector<std::uint8_t> buffer (65536);
        while (! stopFlag)
        {
            pollfd fds[3] { { listenFd, POLLIN, 0 }, { hostFd, POLLIN, 0 }, { instrumentFd, POLLIN, 0 } };
            const nfds_t n = hostFd >= 0 ? 3 : 1;
            if (::poll (fds, n, 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN)
            {
                const int fd = ::accept4 (listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                {
                    closeConnection(); // a new connection replaces the old one, as at the instrument
                    hostFd = fd;
                    instrumentFd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                    const auto addr = address (instrumentSocket);
                    if (::connect (instrumentFd, reinterpret_cast<const sockaddr*> (&addr), sizeof addr) != 0)
                        closeConnection();
                }
                continue;
            }
            // The host's side first: of bytes that were both waiting, the host's count as
            // earlier, so an early block is never taken for a late one.
            if (! pass (fds[1].revents, hostFd, instrumentFd, toInstrument, buffer)
                || ! pass (fds[2].revents, instrumentFd, hostFd, toHost, buffer))
                closeConnection();
        }
    }

    bool pass (short revents, int from, int to, Direction& direction, std::vector<std::uint8_t>& buffer)
    {
        if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return true;
        const long got = ::recv (from, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            return got < 0 && (errno == EINTR || errno == EAGAIN);
        const std::uint64_t round = ++rounds;
        for (long i = 0; i < got; ++i)
        {
            if (buffer[std::size_t (i)] == 0xF0)
                direction.frameStart = round;
            if (direction.parser.feed (buffer[std::size_t (i)]))
            {
                const auto& f = direction.parser.frame();
                Frame frame { direction.fromHost, 0xFF, direction.frameStart, round };
                if (f.size() > 6 && std::equal (emu::wire::header.begin(), emu::wire::header.end(), f.begin()))
                    frame.command = f[5];
                std::lock_guard lock (m);
                passed.push_back (frame);
            }
        }
        for (long done = 0; done < got;)
        {
            const long n = ::send (to, buffer.data() + done, std::size_t (got - done), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    void closeConnection()
    {
        if (hostFd >= 0)
            ::close (hostFd);
        if (instrumentFd >= 0)
            ::close (instrumentFd);
        hostFd = instrumentFd = -1;
        toInstrument.parser.reset();
        toHost.parser.reset();
    }

    const std::string instrumentSocket;
    int listenFd = -1, hostFd = -1, instrumentFd = -1;
    Direction toInstrument { true, {}, 0 }, toHost { false, {}, 0 };
    std::uint64_t rounds = 0;
    std::atomic<bool> stopFlag { false };
    mutable std::mutex m;
    std::vector<Frame> passed;
    std::thread thread;
};
} // namespace clitest
