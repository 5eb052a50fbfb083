// Placeholder: the protocol engine and socket server follow in the next commit.
#include "Instrument.h"
#include "NorFlash.h"

#include <mutex>

namespace talvek::emu
{
struct Instrument::Impl
{
    Config cfg;
    NorFlash flash;
    mutable std::mutex m;
    Record rec;
    explicit Impl (Config c) : cfg (std::move (c)), flash (sectorSize, chipInfo (cfg.chip).sectorCount) {}
};

Instrument::Instrument (Config config) : impl (std::make_unique<Impl> (std::move (config))) {}
Instrument::~Instrument() = default;
const Config& Instrument::config() const { return impl->cfg; }
void Instrument::eraseAll() {}
void Instrument::generateContent (const Identity&) {}
void Instrument::writeFlash (std::uint64_t, const std::vector<std::uint8_t>&) {}
bool Instrument::loadImageFile (const std::string&, std::string* e) { if (e) *e = "not yet"; return false; }
std::vector<std::uint8_t> Instrument::readFlash (std::uint64_t, std::size_t length) const { return std::vector<std::uint8_t> (length, 0xFF); }
bool Instrument::dumpFlash (const std::string&, std::uint64_t, std::uint64_t, std::string* e) const { if (e) *e = "not yet"; return false; }
bool Instrument::saveFlashFile (const std::string&, std::string* e) const { if (e) *e = "not yet"; return false; }
bool Instrument::loadFlashFile (const std::string&, std::string* e) { if (e) *e = "not yet"; return false; }
std::size_t Instrument::storedSectors() const { return 0; }
Record Instrument::record() const { return {}; }
void Instrument::clearRecord() {}
bool Instrument::waitFor (const std::function<bool (const Record&)>&, std::chrono::milliseconds) const { return false; }
void Instrument::injectFault (const Fault&) {}
void Instrument::clearFaults() {}
void Instrument::powerLoss() {}
void Instrument::powerOn() {}
void Instrument::powerCycle() {}
bool Instrument::powered() const { return true; }
void Instrument::pullCable() {}
bool Instrument::start (const std::string&, std::string* e) { if (e) *e = "not yet"; return false; }
void Instrument::stop() {}
bool Instrument::running() const { return false; }
bool Instrument::connected() const { return false; }
std::string Instrument::socketPath() const { return {}; }
std::optional<DriverInfo> Instrument::loadedDriver() const { return std::nullopt; }
} // namespace talvek::emu
