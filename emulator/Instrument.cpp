// The public face of the instrument: one lock around the programmer (Programmer.h), shared
// with the socket server's I/O thread (SocketServer.h), and the flash content helpers.

#include "Instrument.h"
#include "Programmer.h"
#include "SocketServer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

namespace talvek::emu
{

using wire::Bytes;

struct Instrument::Impl
{
    explicit Impl (Config config)
        : programmer (std::move (config), [this] { changed.notify_all(); }), server (programmer, m)
    {
    }

    mutable std::mutex m;
    mutable std::condition_variable changed; // the record grew
    Programmer programmer;                   // (m)
    SocketServer server;
};

//==============================================================================================

Instrument::Instrument (Config config) : impl (std::make_unique<Impl> (std::move (config)))
{
}

Instrument::~Instrument()
{
    stop();
    std::lock_guard lock (impl->m);
    impl->programmer.saveIfDirty();
}

const Config& Instrument::config() const { return impl->programmer.config(); }

void Instrument::eraseAll()
{
    std::lock_guard lock (impl->m);
    impl->programmer.norFlash().eraseAll();
    impl->programmer.markFlashChanged();
}

void Instrument::generateContent (const Identity& identity)
{
    // Old firmware at 0 to 3FFFFh and 60000h to FFFFFh, the instrument's own parameters at
    // 40000h, the identity, the marker and the tag.
    Bytes code = makeUpdateImage (identity, 0x100000, 1);
    const char version[12] = { 0x02, 'V', '1', '.', '0', '0', ' ', 'O', 'L', 'D', 0, 0 };
    std::memcpy (code.data(), version, sizeof version);
    const Bytes params = makeParamArea (identity);
    std::copy (params.begin(), params.end(), code.begin() + paramAreaAddress);
    std::lock_guard lock (impl->m);
    auto& flash = impl->programmer.norFlash();
    flash.eraseAll();
    flash.store (0, code.data(), code.size());
    if (tagAddress + identity.tag.size() <= flash.size())
        flash.store (tagAddress, identity.tag.data(), identity.tag.size());
    impl->programmer.markFlashChanged();
}

void Instrument::writeFlash (std::uint64_t address, const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard lock (impl->m);
    auto& flash = impl->programmer.norFlash();
    if (address >= flash.size())
        return;
    flash.store (address, bytes.data(), std::size_t (std::min<std::uint64_t> (bytes.size(), flash.size() - address)));
    impl->programmer.markFlashChanged();
}

bool Instrument::loadImageFile (const std::string& path, std::string* error)
{
    std::ifstream in (path, std::ios::binary);
    if (! in)
    {
        if (error) *error = "cannot open " + path;
        return false;
    }
    std::lock_guard lock (impl->m);
    auto& flash = impl->programmer.norFlash();
    flash.eraseAll();
    std::vector<char> chunk (sectorSize);
    std::uint64_t at = 0;
    while (in && at < flash.size())
    {
        in.read (chunk.data(), std::streamsize (chunk.size()));
        const auto got = std::size_t (in.gcount());
        if (got == 0)
            break;
        flash.store (at, reinterpret_cast<const std::uint8_t*> (chunk.data()), got);
        at += got;
    }
    impl->programmer.markFlashChanged();
    if (in && in.peek() != EOF)
    {
        if (error) *error = path + " is larger than the flash; the rest was left out";
        return false;
    }
    return true;
}

std::vector<std::uint8_t> Instrument::readFlash (std::uint64_t address, std::size_t length) const
{
    std::lock_guard lock (impl->m);
    const auto& flash = impl->programmer.norFlash();
    if (address >= flash.size())
        return {};
    length = std::size_t (std::min<std::uint64_t> (length, flash.size() - address));
    std::vector<std::uint8_t> out (length);
    flash.read (address, out.data(), length);
    return out;
}

bool Instrument::dumpFlash (const std::string& path, std::uint64_t address, std::uint64_t length, std::string* error) const
{
    std::ofstream out (path, std::ios::binary | std::ios::trunc);
    if (! out)
    {
        if (error) *error = "cannot create " + path;
        return false;
    }
    std::lock_guard lock (impl->m);
    const auto& flash = impl->programmer.norFlash();
    if (address > flash.size())
        address = flash.size();
    if (length == 0 || length > flash.size() - address)
        length = flash.size() - address;
    std::vector<std::uint8_t> chunk (sectorSize);
    while (length > 0)
    {
        const auto n = std::size_t (std::min<std::uint64_t> (length, chunk.size()));
        flash.read (address, chunk.data(), n);
        out.write (reinterpret_cast<const char*> (chunk.data()), std::streamsize (n));
        address += n;
        length -= n;
    }
    out.close();
    if (! out)
    {
        if (error) *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool Instrument::saveFlashFile (const std::string& path, std::string* error) const
{
    std::lock_guard lock (impl->m);
    return impl->programmer.norFlash().save (path, error);
}

bool Instrument::loadFlashFile (const std::string& path, std::string* error)
{
    std::lock_guard lock (impl->m);
    return impl->programmer.norFlash().load (path, error);
}

std::size_t Instrument::storedSectors() const
{
    std::lock_guard lock (impl->m);
    return impl->programmer.norFlash().storedSectors();
}

Record Instrument::record() const
{
    std::lock_guard lock (impl->m);
    return impl->programmer.record();
}

void Instrument::clearRecord()
{
    std::lock_guard lock (impl->m);
    impl->programmer.record() = {};
}

bool Instrument::waitFor (const std::function<bool (const Record&)>& pred, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock (impl->m);
    return impl->changed.wait_for (lock, timeout, [&] { return pred (impl->programmer.record()); });
}

void Instrument::injectFault (const Fault& fault)
{
    std::lock_guard lock (impl->m);
    impl->programmer.faults().arm (fault);
}

void Instrument::clearFaults()
{
    std::lock_guard lock (impl->m);
    impl->programmer.faults().clear();
}

void Instrument::powerLoss()
{
    std::lock_guard lock (impl->m);
    impl->programmer.cutPower ("by request");
    impl->changed.notify_all();
}

void Instrument::powerOn()
{
    std::lock_guard lock (impl->m);
    impl->programmer.restorePower ("by request");
}

void Instrument::powerCycle()
{
    std::lock_guard lock (impl->m);
    impl->programmer.cutPower ("power cycle");
    impl->programmer.restorePower ("power cycle");
}

bool Instrument::powered() const
{
    std::lock_guard lock (impl->m);
    return impl->programmer.powered();
}

void Instrument::pullCable() { impl->server.pullCable(); }

bool Instrument::start (const std::string& socketPath, std::string* error)
{
    return impl->server.start (socketPath, error);
}

void Instrument::stop()
{
    if (! impl->server.running())
        return;
    impl->server.stop();
    std::lock_guard lock (impl->m);
    impl->programmer.saveIfDirty();
}

bool Instrument::running() const { return impl->server.running(); }
bool Instrument::connected() const { return impl->server.connected(); }

std::string Instrument::socketPath() const
{
    return running() ? impl->server.path() : std::string {};
}

std::optional<DriverInfo> Instrument::loadedDriver() const
{
    std::lock_guard lock (impl->m);
    return impl->programmer.loadedDriver();
}

} // namespace talvek::emu
