#pragma once

// NOR flash of uniform sectors, stored sparsely: a sector that holds only FFh costs nothing,
// so a 256 MiB chip costs what has been written. Not thread-safe (the Instrument locks).

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace talvek::emu
{

class NorFlash
{
public:
    NorFlash (std::uint32_t sectorSize, std::uint32_t sectorCount);

    std::uint64_t size() const { return std::uint64_t (sectorSz) * sectors; }
    std::uint32_t sectorSize() const { return sectorSz; }
    std::uint32_t sectorCount() const { return sectors; }

    std::uint8_t get (std::uint64_t address) const;
    void read (std::uint64_t address, std::uint8_t* out, std::size_t length) const; // in range only

    // Sets bytes as they are (no NOR rule): for building content and loading files.
    void store (std::uint64_t address, const std::uint8_t* data, std::size_t length);

    struct ProgramResult
    {
        std::uint32_t changedUnerased = 0; // old byte not FFh and the program changed it
        std::uint32_t mismatched = 0;      // result differs from the data (a 0->1 was needed)
    };
    // NOR programming: new = old AND data.
    ProgramResult program (std::uint64_t address, const std::uint8_t* data, std::size_t length);

    void eraseSector (std::uint32_t index);                      // whole sector to FFh
    void erasePart (std::uint32_t index, std::uint32_t bytes);   // first bytes only (cut erase)
    void eraseAll();

    std::size_t storedSectors() const { return map.size(); }

    // File of our own: magic, geometry, then (index, sector bytes) for each stored sector.
    bool save (const std::string& path, std::string* error) const;
    bool load (const std::string& path, std::string* error);

private:
    std::uint8_t* sectorFor (std::uint32_t index); // creates it as FFh
    void dropIfErased (std::uint32_t index);

    std::uint32_t sectorSz, sectors;
    std::unordered_map<std::uint32_t, std::unique_ptr<std::uint8_t[]>> map;
};

} // namespace talvek::emu
