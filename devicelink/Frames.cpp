#include "devicelink/Frames.h"

#include <algorithm>
#include <cstring>

namespace Frames
{
namespace
{
int begin (std::uint8_t* frame, Command command)
{
    std::copy (header.begin(), header.end(), frame);
    frame[header.size()] = command;
    return static_cast<int> (header.size()) + 1;
}

constexpr std::uint8_t rotl8 (std::uint8_t v, int n) { return static_cast<std::uint8_t> ((v << n) | (v >> (8 - n))); }
constexpr std::uint8_t rotr8 (std::uint8_t v, int n) { return static_cast<std::uint8_t> ((v >> n) | (v << (8 - n))); }
} // namespace

void putWordAddress (std::uint8_t* out, int word)
{
    const auto w = static_cast<std::uint32_t> (word);
    out[0] = static_cast<std::uint8_t> ((w >> 21) & 0x7F);
    out[1] = static_cast<std::uint8_t> ((w >> 14) & 0x7F);
    out[2] = static_cast<std::uint8_t> ((w >> 7) & 0x7F);
    out[3] = static_cast<std::uint8_t> (w & 0x7F);
}

int buildProbe (std::uint8_t* frame, int port)
{
    int n = begin (frame, Probe);
    frame[n++] = static_cast<std::uint8_t> (port & 0x7F);
    frame[n++] = 0x01;
    frame[n++] = sysExEnd;
    return n;
}

int buildAck (std::uint8_t* frame)
{
    int n = begin (frame, Ack);
    frame[n++] = 0x00;
    frame[n++] = sysExEnd;
    return n;
}

int buildAddress (std::uint8_t* frame, int byteAddress, int direction)
{
    int n = begin (frame, Address);
    putWordAddress (frame + n, wordAddress (byteAddress));
    n += 4;
    frame[n++] = static_cast<std::uint8_t> (direction & 0x7F);
    frame[n++] = sysExEnd;
    return n;
}

int buildRamLoad (std::uint8_t* frame)
{
    int n = begin (frame, RamLoad);
    frame[n++] = sysExEnd;
    return n;
}

int buildEraseSector (std::uint8_t* frame, int word)
{
    int n = begin (frame, EraseSector);
    putWordAddress (frame + n, word);
    n += 4;
    frame[n++] = sysExEnd;
    return n;
}

int buildRunTest (std::uint8_t* frame, int argument)
{
    int n = begin (frame, RunTest);
    frame[n++] = static_cast<std::uint8_t> ((argument >> 7) & 0x7F);
    frame[n++] = static_cast<std::uint8_t> (argument & 0x7F);
    frame[n++] = sysExEnd;
    return n;
}

int buildData (std::uint8_t* frame, const std::uint8_t* block)
{
    int n = begin (frame, Data);
    std::uint8_t* out = frame + n;

    for (int start = 0; start < blockSize; start += 7)
    {
        const int k = std::min (7, blockSize - start);
        std::uint8_t highBits = 0;
        for (int j = 0; j < k; ++j)
        {
            const std::uint8_t b = block[start + j];
            *out++ = static_cast<std::uint8_t> (b & 0x7F);
            highBits = static_cast<std::uint8_t> (highBits | ((b >> 7) << (k - 1 - j)));
        }
        *out++ = highBits;
    }

    n = static_cast<int> (out - frame);
    frame[n++] = sysExEnd;
    return n;
}

std::optional<Incoming> classify (const std::uint8_t* message, int size)
{
    if (message == nullptr || size < 2 || message[0] != header[0] || message[size - 1] != sysExEnd)
        return std::nullopt;

    const std::uint8_t* body = message + 1;
    const int bodySize = size - 2;
    if (bodySize < minBodySize || ! std::equal (header.begin() + 1, header.end(), body))
        return std::nullopt;

    const auto command = static_cast<Command> (body[bodyCommand]);
    if (command != Ack && command != Data && command != ProbeReply)
        return std::nullopt;
    if (command == Data && bodySize < minDataBodySize)
        return std::nullopt;

    return Incoming { command, body, bodySize };
}

bool unpackPayload (const std::uint8_t* bytes, int count, std::uint8_t* block, int capacity, int& fill)
{
    if (count < 0 || fill < 0 || fill + unpackedSize (count) > capacity)
        return false;

    std::uint8_t* out = block + fill;
    while (count > 0)
    {
        const int n = std::min (count, 8);
        const std::uint8_t highBits = bytes[n - 1];
        for (int j = 0; j < n - 1; ++j)
        {
            const bool high = ((highBits >> (n - 2 - j)) & 1) != 0;
            out[j] = static_cast<std::uint8_t> (bytes[j] | (high ? 0x80 : 0x00));
        }
        out += n - 1;
        bytes += n;
        count -= n;
    }
    fill = static_cast<int> (out - block);
    return true;
}

std::array<std::uint8_t, 4> checkBytes (const std::uint8_t* data)
{
    std::uint32_t a = 0, b = 0;
    for (int g = 0; g < blockSize; g += 16)
    {
        const std::uint8_t* p = data + g;
        for (int i = 0; i < 7; ++i)
        {
            a += rotl8 (p[2 * i], i + 1);
            b += rotr8 (p[2 * i + 1], i + 1);
        }
        a += p[14];
        b += p[15];
    }
    return { static_cast<std::uint8_t> (b & 0xFF), static_cast<std::uint8_t> ((b >> 8) & 0xFF),
             static_cast<std::uint8_t> (a & 0xFF), static_cast<std::uint8_t> ((a >> 8) & 0xFF) };
}

bool blockCheckOk (const std::uint8_t* block)
{
    const auto expected = checkBytes (block);
    return std::equal (expected.begin(), expected.end(), block + blockSize);
}
} // namespace Frames
