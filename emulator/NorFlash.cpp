#include "NorFlash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace talvek::emu
{

namespace
{
constexpr char magic[8] = { 'T', 'L', 'V', 'K', 'F', 'L', 'S', '1' };

void putU32 (std::ofstream& out, std::uint32_t v)
{
    const char b[4] = { char (v), char (v >> 8), char (v >> 16), char (v >> 24) };
    out.write (b, 4);
}

bool getU32 (std::ifstream& in, std::uint32_t& v)
{
    unsigned char b[4];
    if (! in.read (reinterpret_cast<char*> (b), 4))
        return false;
    v = std::uint32_t (b[0]) | std::uint32_t (b[1]) << 8 | std::uint32_t (b[2]) << 16 | std::uint32_t (b[3]) << 24;
    return true;
}
} // namespace

NorFlash::NorFlash (std::uint32_t sectorSize, std::uint32_t sectorCount)
    : sectorSz (sectorSize), sectors (sectorCount)
{
}

std::uint8_t NorFlash::get (std::uint64_t address) const
{
    const auto it = map.find (std::uint32_t (address / sectorSz));
    return it == map.end() ? 0xFF : it->second[address % sectorSz];
}

void NorFlash::read (std::uint64_t address, std::uint8_t* out, std::size_t length) const
{
    while (length > 0)
    {
        const auto index = std::uint32_t (address / sectorSz);
        const auto offset = std::uint32_t (address % sectorSz);
        const std::size_t n = std::min<std::size_t> (length, sectorSz - offset);
        const auto it = map.find (index);
        if (it == map.end())
            std::memset (out, 0xFF, n);
        else
            std::memcpy (out, it->second.get() + offset, n);
        out += n;
        address += n;
        length -= n;
    }
}

std::uint8_t* NorFlash::sectorFor (std::uint32_t index)
{
    auto& p = map[index];
    if (! p)
    {
        p = std::make_unique<std::uint8_t[]> (sectorSz);
        std::memset (p.get(), 0xFF, sectorSz);
    }
    return p.get();
}

void NorFlash::dropIfErased (std::uint32_t index)
{
    const auto it = map.find (index);
    if (it == map.end())
        return;
    const std::uint8_t* p = it->second.get();
    if (std::all_of (p, p + sectorSz, [] (std::uint8_t b) { return b == 0xFF; }))
        map.erase (it);
}

void NorFlash::store (std::uint64_t address, const std::uint8_t* data, std::size_t length)
{
    while (length > 0)
    {
        const auto index = std::uint32_t (address / sectorSz);
        const auto offset = std::uint32_t (address % sectorSz);
        const std::size_t n = std::min<std::size_t> (length, sectorSz - offset);
        const bool allErased = std::all_of (data, data + n, [] (std::uint8_t b) { return b == 0xFF; });
        if (! (allErased && map.find (index) == map.end()))
        {
            std::memcpy (sectorFor (index) + offset, data, n);
            dropIfErased (index);
        }
        data += n;
        address += n;
        length -= n;
    }
}

NorFlash::ProgramResult NorFlash::program (std::uint64_t address, const std::uint8_t* data, std::size_t length)
{
    ProgramResult r;
    while (length > 0)
    {
        const auto index = std::uint32_t (address / sectorSz);
        const auto offset = std::uint32_t (address % sectorSz);
        const std::size_t n = std::min<std::size_t> (length, sectorSz - offset);
        // Programming FFh is a no-op on NOR, so an all-FFh piece leaves a missing sector missing.
        if (! std::all_of (data, data + n, [] (std::uint8_t b) { return b == 0xFF; }))
        {
            std::uint8_t* p = sectorFor (index) + offset;
            for (std::size_t i = 0; i < n; ++i)
            {
                const std::uint8_t old = p[i];
                const std::uint8_t now = std::uint8_t (old & data[i]);
                if (old != 0xFF && now != old)
                    ++r.changedUnerased;
                if (now != data[i])
                    ++r.mismatched;
                p[i] = now;
            }
        }
        else
        {
            for (std::size_t i = 0; i < n; ++i)
                if (get (address + i) != 0xFF)
                    ++r.mismatched;
        }
        data += n;
        address += n;
        length -= n;
    }
    return r;
}

void NorFlash::eraseSector (std::uint32_t index) { map.erase (index); }

void NorFlash::erasePart (std::uint32_t index, std::uint32_t bytes)
{
    const auto it = map.find (index);
    if (it == map.end())
        return;
    std::memset (it->second.get(), 0xFF, std::min (bytes, sectorSz));
    dropIfErased (index);
}

void NorFlash::eraseAll() { map.clear(); }

bool NorFlash::save (const std::string& path, std::string* error) const
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out (tmp, std::ios::binary | std::ios::trunc);
        if (! out)
        {
            if (error) *error = "cannot create " + tmp;
            return false;
        }
        out.write (magic, sizeof magic);
        putU32 (out, sectorSz);
        putU32 (out, sectors);
        putU32 (out, std::uint32_t (map.size()));
        std::vector<std::uint32_t> indices;
        for (const auto& [index, data] : map)
            indices.push_back (index);
        std::sort (indices.begin(), indices.end());
        for (const auto index : indices)
        {
            putU32 (out, index);
            out.write (reinterpret_cast<const char*> (map.at (index).get()), sectorSz);
        }
        out.flush();
        if (! out)
        {
            if (error) *error = "cannot write " + tmp;
            return false;
        }
    }
    // std::filesystem's rename replaces an existing file on Windows too; std::rename does not.
    std::error_code renamed;
    std::filesystem::rename (tmp, path, renamed);
    if (renamed)
    {
        if (error) *error = "cannot rename " + tmp + " to " + path + ": " + renamed.message();
        std::remove (tmp.c_str());
        return false;
    }
    return true;
}

bool NorFlash::load (const std::string& path, std::string* error)
{
    std::ifstream in (path, std::ios::binary);
    auto fail = [&] (const std::string& why) {
        if (error) *error = path + ": " + why;
        return false;
    };
    if (! in)
        return fail ("cannot open");
    char m[sizeof magic];
    std::uint32_t size = 0, count = 0, stored = 0;
    if (! in.read (m, sizeof m) || std::memcmp (m, magic, sizeof m) != 0)
        return fail ("not a flash file of this emulator");
    if (! getU32 (in, size) || ! getU32 (in, count) || ! getU32 (in, stored))
        return fail ("truncated header");
    if (size != sectorSz || count != sectors)
        return fail ("holds a flash of " + std::to_string (count) + " sectors of " + std::to_string (size)
                     + " bytes, not the emulated chip's " + std::to_string (sectors) + " of " + std::to_string (sectorSz));
    if (stored > sectors)
        return fail ("corrupt sector count");
    decltype (map) loaded;
    for (std::uint32_t i = 0; i < stored; ++i)
    {
        std::uint32_t index = 0;
        if (! getU32 (in, index) || index >= sectors || loaded.count (index) != 0)
            return fail ("corrupt sector index");
        auto p = std::make_unique<std::uint8_t[]> (sectorSz);
        if (! in.read (reinterpret_cast<char*> (p.get()), sectorSz))
            return fail ("truncated sector data");
        loaded[index] = std::move (p);
    }
    map.swap (loaded);
    return true;
}

} // namespace talvek::emu
