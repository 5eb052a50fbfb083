#pragma once

// A tiny host for the emulator tests: raw bytes over the socket, with its own frame builders,
// packing and check-byte code written from the wire description. It shares nothing with the
// emulator (emulator/Wire.*) or the tool (devicelink/), so a packing mistake on either side
// shows up here instead of cancelling out.

#include "emulator/Instrument.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Sockets.h"

#if ! defined(_WIN32)
 #include <sys/un.h>
 #include <unistd.h>
#endif

namespace emutest
{

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline Bytes hostFrame (std::uint8_t command, const Bytes& payload = {})
{
    Bytes f { 0xF0, 0x00, 0x20, 0x54, 0x7D, command };
    f.insert (f.end(), payload.begin(), payload.end());
    f.push_back (0xF7);
    return f;
}

inline Bytes wordAddress (std::uint32_t byteAddress)
{
    const std::uint32_t w = byteAddress / 2;
    return { std::uint8_t (w >> 21 & 0x7F), std::uint8_t (w >> 14 & 0x7F), std::uint8_t (w >> 7 & 0x7F), std::uint8_t (w & 0x7F) };
}

inline Bytes probeFrame (std::uint8_t port) { return hostFrame (0x08, { port, 0x01 }); }
inline Bytes ramLoadFrame() { return hostFrame (0x03); }
inline Bytes hostAckFrame() { return hostFrame (0x00, { 0x00 }); }
inline Bytes runTestFrame() { return hostFrame (0x05, { 0x00, 0x00 }); }
inline Bytes eraseFrame (std::uint32_t byteAddress) { return hostFrame (0x04, wordAddress (byteAddress)); }
inline Bytes addressFrame (std::uint32_t byteAddress, std::uint8_t direction)
{
    Bytes p = wordAddress (byteAddress);
    p.push_back (direction);
    return hostFrame (0x02, p);
}

// 4096 bytes in 585 groups of seven and one of one; each group's top bits follow it,
// the group's first byte in its highest used bit.
inline Bytes dataFrame (const Bytes& block)
{
    Bytes payload;
    for (std::size_t g = 0; g < block.size(); g += 7)
    {
        const std::size_t k = std::min<std::size_t> (7, block.size() - g);
        std::uint8_t top = 0;
        for (std::size_t j = 0; j < k; ++j)
        {
            payload.push_back (block[g + j] & 0x7F);
            top = std::uint8_t (top << 1 | block[g + j] >> 7);
        }
        payload.push_back (top);
    }
    return hostFrame (0x01, payload);
}

// Decodes one device Data frame's payload (after the flag byte) on its own.
inline Bytes unpackReadPayload (const std::uint8_t* p, std::size_t n)
{
    Bytes out;
    while (n > 0)
    {
        const std::size_t take = std::min<std::size_t> (8, n);
        const std::uint8_t top = p[take - 1];
        for (std::size_t j = 0; j + 1 < take; ++j)
            out.push_back (std::uint8_t (p[j] | ((top >> (take - 2 - j)) & 1) << 7));
        p += take;
        n -= take;
    }
    return out;
}

// The FS check, written as plain sums over even and odd positions.
inline std::array<std::uint8_t, 4> fsCheck (const std::uint8_t* block)
{
    std::uint32_t a = 0, b = 0;
    for (int i = 0; i < 4096; ++i)
    {
        const int pos = i % 16;
        const unsigned v = block[i];
        const int r = pos / 2 + 1; // rotation 1..7; position 14/15 unrotated
        if (pos % 2 == 0)
            a += pos == 14 ? v : ((v << r) | (v >> (8 - r))) & 0xFF;
        else
            b += pos == 15 ? v : ((v >> r) | (v << (8 - r))) & 0xFF;
    }
    return { std::uint8_t (b & 0xFF), std::uint8_t (b >> 8 & 0xFF), std::uint8_t (a & 0xFF), std::uint8_t (a >> 8 & 0xFF) };
}

inline bool isOurs (const Bytes& f)
{
    return f.size() >= 7 && f[0] == 0xF0 && f[1] == 0x00 && f[2] == 0x20 && f[3] == 0x54 && f[4] == 0x7D;
}

inline bool isAck (const Bytes& f) { return isOurs (f) && f[5] == 0x00 && f.size() >= 8; }

// Where an instrument of one test listens; clients connect to its socketPath() once it runs.
// Windows has no Unix-domain sockets under Wine: there it is a free loopback TCP port.
inline std::string uniqueSocketPath (const char* tag)
{
#if defined(_WIN32)
    (void) tag;
    return "tcp:0";
#else
    static int counter = 0;
    const auto dir = std::filesystem::temp_directory_path();
    return (dir / ("talvek-emu-" + std::to_string (::getpid()) + "-" + tag + "-" + std::to_string (++counter) + ".sock")).string();
#endif
}

class TestHost
{
public:
    explicit TestHost (const std::string& path)
    {
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            if (connect (path))
                return;
            std::this_thread::sleep_for (20ms);
        }
        ADD_FAILURE() << "cannot connect to " << path;
    }
    ~TestHost() { close(); }

    void close()
    {
        sockets::close (fd);
        fd = sockets::invalidHandle;
    }

    bool ok() const { return fd != sockets::invalidHandle; }

    void send (const Bytes& bytes)
    {
        std::size_t done = 0;
        while (ok() && done < bytes.size())
        {
            const long n = sockets::send (fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && sockets::wouldBlock (sockets::lastError()))
            {
                sockets::PollEntry p { fd, sockets::pollOut, 0 };
                sockets::poll (&p, 1, 100);
                continue;
            }
            if (n <= 0)
                return;
            done += std::size_t (n);
        }
    }

    // Next complete SysEx frame, whoever it is from; real-time bytes are counted and skipped.
    std::optional<Bytes> nextFrame (std::chrono::milliseconds timeout = 3000ms)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;)
        {
            if (! frames.empty())
            {
                Bytes f = std::move (frames.front());
                frames.pop_front();
                return f;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ! pump (left))
                return std::nullopt;
        }
    }

    // Next frame of our protocol; others (foreign SysEx) are counted and skipped.
    std::optional<Bytes> nextOurs (std::chrono::milliseconds timeout = 3000ms)
    {
        for (;;)
        {
            auto f = nextFrame (timeout);
            if (! f || isOurs (*f))
                return f;
            ++foreignFrames;
        }
    }

    int ackStatus (std::chrono::milliseconds timeout = 3000ms)
    {
        const auto f = nextOurs (timeout);
        if (! f || ! isAck (*f))
            return -1;
        return (*f)[6];
    }

    // True when the emulator closed the connection within the time-out.
    bool peerClosed (std::chrono::milliseconds timeout = 3000ms)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (! eof)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pump (left);
        }
        return true;
    }

    // RamLoad and the image in Data blocks (a final partial block padded with FFh);
    // returns each block's Ack status.
    std::vector<int> upload (const Bytes& image)
    {
        send (ramLoadFrame());
        return sendBlocks (image);
    }

    std::vector<int> program (std::uint32_t byteAddress, const Bytes& data)
    {
        send (addressFrame (byteAddress, 0));
        return sendBlocks (data);
    }

    std::vector<int> sendBlocks (const Bytes& data)
    {
        std::vector<int> statuses;
        for (std::size_t at = 0; at < data.size(); at += 4096)
        {
            Bytes block (4096, 0xFF);
            std::copy (data.begin() + std::ptrdiff_t (at), data.begin() + std::ptrdiff_t (std::min (data.size(), at + 4096)), block.begin());
            send (dataFrame (block));
            statuses.push_back (ackStatus());
        }
        return statuses;
    }

    struct ReadResult
    {
        Bytes block;            // as assembled: 4096 (HS) or 4100 (FS) bytes
        int frames = 0;
        int acksSent = 0;
        std::vector<int> flags;
    };
    // Asks for the block and assembles it as the tool does: an Ack after each incomplete
    // frame whose flag is not 1.
    std::optional<ReadResult> readBlock (std::uint32_t byteAddress, bool fs, std::chrono::milliseconds timeout = 3000ms)
    {
        const std::size_t want = fs ? 4100 : 4096;
        ReadResult r;
        send (addressFrame (byteAddress, 1));
        while (r.block.size() < want)
        {
            const auto f = nextOurs (timeout);
            if (! f || (*f)[5] != 0x01 || f->size() < 10)
                return std::nullopt;
            const Bytes part = unpackReadPayload (f->data() + 7, f->size() - 8);
            r.block.insert (r.block.end(), part.begin(), part.end());
            r.flags.push_back ((*f)[6]);
            ++r.frames;
            if (r.block.size() < want && (*f)[6] != 1)
            {
                send (hostAckFrame());
                ++r.acksSent;
            }
        }
        return r;
    }

    int clockBytes = 0;
    int foreignFrames = 0;

private:
    bool pump (std::chrono::milliseconds timeout)
    {
        if (! ok() || eof)
            return false;
        sockets::PollEntry p { fd, sockets::pollIn, 0 };
        if (sockets::poll (&p, 1, int (timeout.count())) <= 0)
            return false;
        std::uint8_t buf[65536];
        const long n = sockets::receive (fd, buf, sizeof buf);
        if (n < 0 && sockets::wouldBlock (sockets::lastError()))
            return true;
        if (n <= 0)
        {
            eof = true;
            return false;
        }
        for (long i = 0; i < n; ++i)
        {
            const std::uint8_t b = buf[i];
            if (b >= 0xF8)
            {
                ++clockBytes;
                continue;
            }
            if (b == 0xF0)
                building.assign (1, b);
            else if (! building.empty())
            {
                building.push_back (b);
                if (b == 0xF7)
                {
                    frames.push_back (std::move (building));
                    building.clear();
                }
            }
        }
        return true;
    }

    bool connect (const std::string& path)
    {
        int error = 0;
        if (const auto port = sockets::tcpPort (path))
        {
            fd = sockets::connectLoopback (*port, 2000, error);
            return ok();
        }
#if defined(_WIN32)
        return false;
#else
        fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::strncpy (addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect (fd, reinterpret_cast<sockaddr*> (&addr), sizeof addr) == 0)
            return true;
        close();
        return false;
#endif
    }

    sockets::Handle fd = sockets::invalidHandle;
    bool eof = false;
    Bytes building;
    std::deque<Bytes> frames;
};

// A driver image in the layout the tool reads: 16-byte code, geometry (KiB, count) u16 LE
// ending with a zero entry, MCU and flash names padded with FFh, then code bytes.
inline Bytes driverImage (const char* code16, const char* flashName, std::uint16_t sectorCount,
                          std::uint16_t kib = 128, std::size_t size = 4096)
{
    Bytes img (size, 0x00);
    std::memcpy (img.data(), code16, std::min<std::size_t> (16, std::strlen (code16)));
    std::size_t at = 16;
    auto u16 = [&] (std::uint16_t v) { img[at++] = std::uint8_t (v); img[at++] = std::uint8_t (v >> 8); };
    u16 (kib);
    u16 (sectorCount);
    u16 (0);
    u16 (0);
    auto name = [&] (const char* s) {
        for (std::size_t i = 0; i < 16; ++i)
            img[at + i] = i < std::strlen (s) ? std::uint8_t (s[i]) : 0xFF;
        at += 16;
    };
    name ("ZKT828");
    name (flashName);
    for (std::size_t i = at; i < size; ++i)
        img[i] = std::uint8_t (i * 7 + 3);
    return img;
}

inline Bytes flashDriver (const char* flashName, std::uint16_t sectors)
{
    return driverImage ("TALVEK-FLASHDRV0", flashName, sectors);
}

inline Bytes specialDriver() { return driverImage ("TALVEK-IOSTATE01", "S29GL512_S", 512); }

inline Bytes pattern (std::size_t size, std::uint32_t seed)
{
    Bytes out (size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = std::uint8_t (x);
    }
    return out;
}

// An emulated instrument serving on a fresh socket path for one test.
struct Served
{
    explicit Served (talvek::emu::Config config, bool generate = true) : instrument (std::move (config))
    {
        if (generate)
            instrument.generateContent();
        std::string error;
        started = instrument.start (path, &error);
        EXPECT_TRUE (started) << error;
        path = instrument.socketPath(); // with the port a TCP listener took
    }
    std::string path = uniqueSocketPath ("emu");
    talvek::emu::Instrument instrument;
    bool started = false;
};

} // namespace emutest
