#include "Wire.h"

#include <algorithm>

namespace talvek::emu::wire
{

Bytes pack (const std::uint8_t* data, std::size_t size)
{
    Bytes out;
    out.reserve (size / 7 * 8 + size % 7 + 1);
    for (std::size_t start = 0; start < size; start += 7)
    {
        const std::size_t k = std::min<std::size_t> (7, size - start);
        std::uint8_t tops = 0;
        for (std::size_t j = 0; j < k; ++j)
        {
            out.push_back (data[start + j] & 0x7F);
            if (data[start + j] & 0x80)
                tops |= std::uint8_t (1u << (k - 1 - j));
        }
        out.push_back (tops);
    }
    return out;
}

Bytes unpack (const std::uint8_t* packed, std::size_t size)
{
    Bytes out;
    out.reserve (unpackedSize (size));
    for (std::size_t start = 0; start < size; start += 8)
    {
        const std::size_t n = std::min<std::size_t> (8, size - start);
        const std::uint8_t tops = packed[start + n - 1];
        for (std::size_t j = 0; j + 1 < n; ++j)
        {
            std::uint8_t b = packed[start + j] & 0x7F;
            if (tops & (1u << (n - 2 - j)))
                b |= 0x80;
            out.push_back (b);
        }
    }
    return out;
}

std::size_t unpackedSize (std::size_t packedSize)
{
    const std::size_t rest = packedSize % 8;
    return packedSize / 8 * 7 + (rest > 1 ? rest - 1 : 0);
}

std::array<std::uint8_t, 4> checkBytes (const std::uint8_t* block)
{
    auto rotl = [] (std::uint8_t v, int n) { return std::uint8_t ((v << n) | (v >> (8 - n))); };
    auto rotr = [] (std::uint8_t v, int n) { return std::uint8_t ((v >> n) | (v << (8 - n))); };
    std::uint32_t a = 0, b = 0;
    for (std::size_t g = 0; g < 4096; g += 16)
    {
        const std::uint8_t* p = block + g;
        for (int i = 0; i < 7; ++i)
        {
            a += rotl (p[2 * i], i + 1);
            b += rotr (p[2 * i + 1], i + 1);
        }
        a += p[14];
        b += p[15];
    }
    return { std::uint8_t (b), std::uint8_t (b >> 8), std::uint8_t (a), std::uint8_t (a >> 8) };
}

std::array<std::uint8_t, 4> encodeWordAddress (std::uint32_t w)
{
    return { std::uint8_t ((w >> 21) & 0x7F), std::uint8_t ((w >> 14) & 0x7F),
             std::uint8_t ((w >> 7) & 0x7F), std::uint8_t (w & 0x7F) };
}

std::uint32_t decodeWordAddress (const std::uint8_t* g)
{
    return (std::uint32_t (g[0] & 0x7F) << 21) | (std::uint32_t (g[1] & 0x7F) << 14)
         | (std::uint32_t (g[2] & 0x7F) << 7) | std::uint32_t (g[3] & 0x7F);
}

Bytes frame (std::uint8_t command, const Bytes& payload)
{
    Bytes out (header.begin(), header.end());
    out.push_back (command);
    out.insert (out.end(), payload.begin(), payload.end());
    out.push_back (0xF7);
    return out;
}

Bytes ack (std::uint8_t status) { return frame (cmdAck, { std::uint8_t (status & 0x7F) }); }

Bytes probeReply (std::uint8_t port, std::optional<std::uint8_t> speed)
{
    Bytes payload { std::uint8_t (port & 0x7F) };
    if (speed)
        payload.push_back (*speed & 0x7F);
    return frame (cmdProbeReply, payload);
}

Bytes readFrame (std::uint8_t flag, const std::uint8_t* data, std::size_t size)
{
    Bytes payload { std::uint8_t (flag & 0x7F) };
    const Bytes packed = pack (data, size);
    payload.insert (payload.end(), packed.begin(), packed.end());
    return frame (cmdData, payload);
}

std::optional<HostFrame> parse (const Bytes& f)
{
    // F0, four envelope bytes, command, F7 at least.
    if (f.size() < 7 || f.back() != 0xF7 || ! std::equal (header.begin(), header.end(), f.begin()))
        return std::nullopt;
    HostFrame out;
    out.command = f[5];
    out.payload.assign (f.begin() + 6, f.end() - 1);
    return out;
}

std::size_t hostFrameLength (std::uint8_t command)
{
    switch (command)
    {
        case cmdAck:         return 8;
        case cmdData:        return 7 + 4682;
        case cmdAddress:     return 12;
        case cmdRamLoad:     return 7;
        case cmdEraseSector: return 11;
        case cmdRunTest:     return 9;
        case cmdProbe:       return 9;
        default:             return 0;
    }
}

bool StreamParser::feed (std::uint8_t b)
{
    if (b >= 0xF8)
        return false; // real-time bytes may appear anywhere, even inside SysEx
    if (b == 0xF0)
    {
        if (inFrame)
            ++dropped; // a new start abandons the unfinished frame
        building.assign (1, 0xF0);
        inFrame = true;
        overflow = false;
        return false;
    }
    if (! inFrame)
        return false;
    if (b == 0xF7)
    {
        inFrame = false;
        if (overflow)
        {
            ++dropped;
            return false;
        }
        building.push_back (b);
        current.swap (building);
        building.clear();
        return true;
    }
    if (b & 0x80)
    {
        // Any other status byte ends the SysEx message without a proper end.
        inFrame = false;
        ++dropped;
        building.clear();
        return false;
    }
    if (building.size() + 1 >= maxFrame)
        overflow = true;
    else
        building.push_back (b);
    return false;
}

void StreamParser::reset()
{
    building.clear();
    inFrame = false;
    overflow = false;
}

} // namespace talvek::emu::wire
