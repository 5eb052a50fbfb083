// Chips, flash content, update files, driver headers and the record's helpers.

#include "Instrument.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace talvek::emu
{

namespace
{
std::string lower (std::string_view s)
{
    std::string out (s);
    for (auto& c : out)
        c = char (std::tolower (static_cast<unsigned char> (c)));
    return out;
}

// A byte pattern that never looks erased: every byte is below FFh and neighbours differ.
std::uint8_t patternByte (std::uint64_t address, std::uint32_t seed)
{
    std::uint64_t x = address * 0x9E3779B97F4A7C15ull ^ (std::uint64_t (seed) * 0xD1B54A32D192ED03ull);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return std::uint8_t (x % 0xFF);
}

std::uint32_t identitySeed (const Identity& identity)
{
    std::uint32_t h = 2166136261u;
    for (auto b : identity.id)
        h = (h ^ b) * 16777619u;
    return h;
}
} // namespace

//==============================================================================================

const std::array<FlashChip, 4>& allChips()
{
    static const std::array<FlashChip, 4> chips { FlashChip::S29GL256_S, FlashChip::S29GL512_S,
                                                  FlashChip::S29GL01G_S, FlashChip::S29GL02GS_EST };
    return chips;
}

const ChipInfo& chipInfo (FlashChip chip)
{
    static const ChipInfo infos[] = {
        { FlashChip::S29GL256_S, "S29GL256_S", 256 },
        { FlashChip::S29GL512_S, "S29GL512_S", 512 },
        { FlashChip::S29GL01G_S, "S29GL01G_S", 1024 },
        { FlashChip::S29GL02GS_EST, "S29GL02GS_EST", 2048 },
    };
    return infos[static_cast<int> (chip)];
}

std::optional<FlashChip> chipFromName (std::string_view name)
{
    for (auto chip : allChips())
        if (lower (chipInfo (chip).name) == lower (name))
            return chip;
    return std::nullopt;
}

//==============================================================================================

Identity Identity::defaults()
{
    Identity identity;
    const char* text = "TALVEK DM-10";
    std::memcpy (identity.id.data(), text, 12);
    identity.tag = { 'T', '1' };
    return identity;
}

std::optional<std::vector<std::uint8_t>> parseBytes (std::string_view spec, std::size_t maxSize)
{
    std::vector<std::uint8_t> out;
    if (spec.substr (0, 4) == "hex:")
    {
        std::string digits;
        for (char c : spec.substr (4))
        {
            if (std::isspace (static_cast<unsigned char> (c)))
                continue;
            if (! std::isxdigit (static_cast<unsigned char> (c)))
                return std::nullopt;
            digits += c;
        }
        if (digits.size() % 2 != 0)
            return std::nullopt;
        for (std::size_t i = 0; i < digits.size(); i += 2)
            out.push_back (std::uint8_t (std::stoul (digits.substr (i, 2), nullptr, 16)));
    }
    else
    {
        out.assign (spec.begin(), spec.end());
    }
    if (out.empty() || out.size() > maxSize)
        return std::nullopt;
    return out;
}

std::vector<std::uint8_t> makeParamArea (const Identity& identity)
{
    std::vector<std::uint8_t> area (paramAreaSize);
    const std::uint32_t seed = identitySeed (identity) ^ 0x50A4A3u;
    for (std::uint32_t i = 0; i < paramAreaSize; ++i)
        area[i] = patternByte (paramAreaAddress + i, seed);
    const char* title = "TALVEK PARAMS ";
    std::memcpy (area.data(), title, std::strlen (title));
    std::memcpy (area.data() + 16, identity.id.data(), identity.id.size());
    return area;
}

std::vector<std::uint8_t> makeUpdateImage (const Identity& identity, std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> image (size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = patternByte (i, seed);
    // Version text: 02h, then up to 11 characters, zero-padded.
    char version[12] = {};
    std::snprintf (version + 1, sizeof version - 1, "V2.%02u UPD", unsigned (seed % 100));
    version[0] = 0x02;
    std::memcpy (image.data(), version, std::min<std::size_t> (size, 12));
    if (size > markerAddress + 1)
    {
        image[markerAddress] = 'B';
        image[markerAddress + 1] = 'D';
    }
    if (size >= identityAddress + 12)
        std::memcpy (image.data() + identityAddress, identity.id.data(), 12);
    if (size >= tagAddress + identity.tag.size())
        std::copy (identity.tag.begin(), identity.tag.end(), image.begin() + tagAddress);
    return image;
}

bool writeUpdateFile (const std::string& path, const Identity& identity, std::size_t size,
                      std::uint32_t seed, std::string* error)
{
    const auto image = makeUpdateImage (identity, size, seed);
    std::ofstream out (path, std::ios::binary | std::ios::trunc);
    out.write (reinterpret_cast<const char*> (image.data()), std::streamsize (image.size()));
    out.close();
    if (! out)
    {
        if (error) *error = "cannot write " + path;
        return false;
    }
    return true;
}

//==============================================================================================

DriverInfo parseDriver (const std::uint8_t* image, std::size_t size, FlashChip chip)
{
    DriverInfo info;
    info.size = std::uint32_t (size);
    if (size >= 16)
    {
        const std::string_view code (reinterpret_cast<const char*> (image), 16);
        if (code.substr (0, 15) == "TALVEK-FLASHDRV")
            info.kind = DriverKind::FlashDriver;
        else if (code.substr (0, 14) == "TALVEK-IOSTATE")
            info.kind = DriverKind::IoState;
    }

    auto u16 = [&] (std::size_t at) { return std::uint16_t (image[at] | image[at + 1] << 8); };
    bool terminated = false;
    for (std::size_t at = 16; at + 4 <= size; at += 4)
    {
        if (u16 (at + 2) == 0)
        {
            terminated = true;
            break;
        }
        info.geometry.emplace_back (u16 (at), u16 (at + 2));
    }
    // The names follow the first all-zero word at or after offset 16.
    std::size_t names = 0;
    for (std::size_t at = 16; at + 4 <= size; at += 4)
        if (image[at] == 0 && image[at + 1] == 0 && image[at + 2] == 0 && image[at + 3] == 0)
        {
            names = at + 4;
            break;
        }
    auto name = [&] (std::size_t at) {
        std::string s;
        for (std::size_t i = at; i < at + 16 && image[i] != 0xFF && image[i] != 0; ++i)
            s += char (image[i]);
        return s;
    };
    if (terminated && ! info.geometry.empty() && names != 0 && names + 32 <= size)
    {
        info.headerValid = true;
        info.mcuName = name (names);
        info.flashName = name (names + 16);
    }

    const ChipInfo& ci = chipInfo (chip);
    std::uint64_t sectors = 0;
    bool uniform = true;
    for (auto [kib, count] : info.geometry)
    {
        uniform = uniform && std::uint32_t (kib) * 1024 == sectorSize;
        sectors += count;
    }
    info.matchesChip = info.kind == DriverKind::FlashDriver && info.headerValid
                    && info.flashName == ci.name && uniform && sectors == ci.sectorCount;
    return info;
}

//==============================================================================================

const char* eventKindName (EventKind kind)
{
    switch (kind)
    {
        case EventKind::Connected:          return "connected";
        case EventKind::Disconnected:       return "disconnected";
        case EventKind::ConnectionReplaced: return "connection-replaced";
        case EventKind::Probe:              return "probe";
        case EventKind::ProbeReplied:       return "probe-replied";
        case EventKind::RamLoadStarted:     return "ram-load";
        case EventKind::DriverLoaded:       return "driver-loaded";
        case EventKind::RunTest:            return "run-test";
        case EventKind::SaveIoState:        return "save-io-state";
        case EventKind::Erase:              return "erase";
        case EventKind::ProgramStarted:     return "program-start";
        case EventKind::ProgramBlock:       return "program-block";
        case EventKind::ReadBlock:          return "read-block";
        case EventKind::Violation:          return "violation";
        case EventKind::Rejected:           return "rejected";
        case EventKind::Malformed:          return "malformed";
        case EventKind::UnexpectedAck:      return "unexpected-ack";
        case EventKind::FaultFired:         return "fault";
        case EventKind::PowerLost:          return "power-lost";
        case EventKind::PowerOn:            return "power-on";
        case EventKind::CablePulled:        return "cable-pulled";
    }
    return "?";
}

std::string formatEvent (const Event& e)
{
    char head[96];
    std::snprintf (head, sizeof head, "%llu %s addr=%llXh len=%u status=%d",
                   static_cast<unsigned long long> (e.seq), eventKindName (e.kind),
                   static_cast<unsigned long long> (e.address), e.length, e.status);
    std::string line = head;
    if (! e.text.empty())
        line += " " + e.text;
    return line;
}

int Record::eraseCount (std::uint32_t sectorIndex) const
{
    const auto it = eraseCounts.find (sectorIndex);
    return it == eraseCounts.end() ? 0 : it->second;
}

std::uint64_t Record::changedUnerasedBytes() const
{
    std::uint64_t n = 0;
    for (const auto& v : violations)
        n += v.changedUnerased;
    return n;
}

std::uint64_t Record::mismatchedBytes() const
{
    std::uint64_t n = 0;
    for (const auto& v : violations)
        n += v.mismatched;
    return n;
}

std::size_t Record::count (EventKind kind) const
{
    return std::size_t (std::count_if (events.begin(), events.end(), [kind] (const Event& e) { return e.kind == kind; }));
}

std::vector<Event> Record::eventsOf (EventKind kind) const
{
    std::vector<Event> out;
    for (const auto& e : events)
        if (e.kind == kind)
            out.push_back (e);
    return out;
}

} // namespace talvek::emu
