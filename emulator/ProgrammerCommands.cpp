// What the programmer does with each host command, once its frame has passed the checks and
// the fault points in Programmer.cpp.

#include "Programmer.h"

#include <algorithm>

namespace talvek::emu
{

namespace
{
constexpr std::size_t ramSize = 64 * 1024;        // RAM for a driver image
constexpr std::uint8_t statusOk = 0;
constexpr std::uint8_t statusRefused = 1;         // anything but 0, 2, 3 is a plain failure
} // namespace

void Programmer::onProbe (const Bytes& p, std::vector<Action>& out)
{
    rec.probes++;
    event (EventKind::Probe, 0, 0, 0, "port " + std::to_string (p[0]));
    if (p[1] != 0x01)
    {
        event (EventKind::Malformed, 0, 9, 0, "probe whose second byte is not 01h");
        return;
    }
    std::optional<std::uint8_t> speed;
    if (! cfg.omitSpeedByte)
        speed = cfg.mode == LinkMode::FS ? 0x01 : 0x00;
    reply (out, wire::probeReply (p[0], speed), ReplyKind::ProbeReply);
    event (EventKind::ProbeReplied, 0, 0, speed ? *speed : -1, "port " + std::to_string (p[0]));
    if (take (FaultKind::SecondInstrument))
    {
        out.push_back (send (wire::probeReply (p[0], speed)));
        event (EventKind::ProbeReplied, 0, 0, speed ? *speed : -1, "second instrument, port " + std::to_string (p[0]));
    }
}

void Programmer::onRamLoad()
{
    mode = Mode::RamLoad;
    ram.clear();
    driver.reset();
    event (EventKind::RamLoadStarted);
}

void Programmer::onData (const Bytes& p, std::vector<Action>& out)
{
    if (! packingOk (p))
    {
        event (EventKind::Malformed, 0, std::uint32_t (p.size() + 7), 0, "Data block with bad top-bit bytes");
        return;
    }
    if (mode == Mode::Idle)
    {
        event (EventKind::Rejected, 0, blockSize, statusRefused, "Data block without RamLoad or Address");
        ackAfter (out, 0, statusRefused);
        return;
    }
    const Bytes block = wire::unpack (p.data(), p.size());
    if (const auto status = statusFault())
    {
        // The failed block keeps its place: the next one goes to the following address.
        if (mode == Mode::Program)
            programAddress += blockSize;
        ackAfter (out, mode == Mode::Program ? cfg.timing.blockProgramMs : 0, *status);
        return;
    }
    if (mode == Mode::RamLoad)
    {
        if (ram.size() + block.size() > ramSize)
        {
            event (EventKind::Rejected, ram.size(), blockSize, statusRefused, "driver image larger than RAM");
            ackAfter (out, 0, statusRefused);
            return;
        }
        const bool first = ram.empty();
        ram.insert (ram.end(), block.begin(), block.end());
        driver = parseDriver (ram.data(), ram.size(), cfg.chip);
        if (first)
        {
            rec.driverLoads.push_back (*driver);
            const char* kind = driver->kind == DriverKind::FlashDriver ? "flash driver"
                             : driver->kind == DriverKind::IoState   ? "IO-state driver" : "unknown code";
            event (EventKind::DriverLoaded, 0, driver->size, driver->matchesChip ? 1 : 0,
                   std::string (kind) + " mcu=" + driver->mcuName + " flash=" + driver->flashName
                       + (driver->headerValid ? "" : " (no valid header)"));
        }
        else if (! rec.driverLoads.empty())
            rec.driverLoads.back() = *driver;
        ackAfter (out, 0, statusOk);
        return;
    }
    // Program mode.
    std::string why;
    if (! flashDriverReady (why))
    {
        event (EventKind::Rejected, programAddress, blockSize, statusRefused, "program: " + why);
        ackAfter (out, 0, statusRefused);
        return;
    }
    if (programAddress + blockSize > flash.size())
    {
        event (EventKind::Rejected, programAddress, blockSize, statusRefused, "program past the flash end");
        ackAfter (out, 0, statusRefused);
        return;
    }
    const auto r = flash.program (programAddress, block.data(), block.size());
    flashDirty = true;
    rec.programmed.push_back ({ programAddress, blockSize });
    event (EventKind::ProgramBlock, programAddress, blockSize);
    noteViolation (programAddress, r);
    programAddress += blockSize;
    ackAfter (out, cfg.timing.blockProgramMs, statusOk);
}

void Programmer::onAddress (const Bytes& p, std::vector<Action>& out)
{
    const std::uint64_t byte = std::uint64_t (wire::decodeWordAddress (p.data())) * 2;
    if (p[4] == 0)
    {
        mode = Mode::Program;
        programAddress = byte;
        event (EventKind::ProgramStarted, byte);
        return;
    }
    if (p[4] != 1)
    {
        event (EventKind::Malformed, byte, 12, 0, "Address with direction " + std::to_string (p[4]));
        return;
    }
    std::string why;
    if (! flashDriverReady (why))
    {
        event (EventKind::Rejected, byte, blockSize, statusRefused, "read: " + why);
        ackAfter (out, 0, statusRefused);
        return;
    }
    rec.readBlocks++;
    // A chip ignores the address lines it does not have, so reads wrap at its end.
    Bytes block (blockSize);
    for (std::uint32_t done = 0; done < blockSize;)
    {
        const std::uint64_t at = (byte + done) % flash.size();
        const auto n = std::uint32_t (std::min<std::uint64_t> (blockSize - done, flash.size() - at));
        flash.read (at, block.data() + done, n);
        done += n;
    }
    event (EventKind::ReadBlock, byte, blockSize, 0, byte + blockSize > flash.size() ? "wrapped at the flash end" : "");
    if (cfg.mode == LinkMode::FS)
    {
        auto check = wire::checkBytes (block.data());
        if (take (FaultKind::WrongCheckBytes))
            check[0] ^= 0x5A;
        block.insert (block.end(), check.begin(), check.end());
    }
    else
        take (FaultKind::WrongCheckBytes); // nothing to spoil in HS; it is used up all the same

    if (take (FaultKind::OversizeReadFrame))
    {
        const Bytes junk (block.size() + 64, 0x5A);
        out.push_back (send (wire::readFrame (1, junk.data(), junk.size()), false));
    }

    const std::size_t packed = cfg.readFramePackedSize > 0 ? std::size_t (cfg.readFramePackedSize) : block.size() + block.size() / 7 + 1;
    const std::size_t perFrame = std::max<std::size_t> (1, wire::unpackedSize (std::max<std::size_t> (2, packed)));
    const std::uint8_t flag = cfg.readFlags == ReadFlagStyle::Stream ? 1 : 0;
    std::vector<Bytes> frames;
    for (std::size_t at = 0; at < block.size(); at += perFrame)
        frames.push_back (wire::readFrame (flag, block.data() + at, std::min (perFrame, block.size() - at)));
    if (cfg.readFlags == ReadFlagStyle::Stream)
    {
        for (auto& fr : frames)
            reply (out, std::move (fr), ReplyKind::ReadFrame);
    }
    else
    {
        reply (out, std::move (frames.front()), ReplyKind::ReadFrame);
        for (std::size_t i = 1; i < frames.size(); ++i)
            pendingReadFrames.push_back (std::move (frames[i]));
    }
}

void Programmer::onHostAck (std::vector<Action>& out)
{
    if (pendingReadFrames.empty())
    {
        event (EventKind::UnexpectedAck, 0, 0, 0, "host Ack with no read frame waiting");
        return;
    }
    Bytes next = std::move (pendingReadFrames.front());
    pendingReadFrames.pop_front();
    reply (out, std::move (next), ReplyKind::ReadFrame);
}

void Programmer::onErase (const Bytes& p, std::vector<Action>& out)
{
    const std::uint64_t byte = std::uint64_t (wire::decodeWordAddress (p.data())) * 2;
    std::string why;
    if (! flashDriverReady (why))
    {
        event (EventKind::Rejected, byte, 0, statusRefused, "erase: " + why);
        ackAfter (out, 0, statusRefused);
        return;
    }
    if (byte % sectorSize != 0 || byte >= flash.size())
    {
        event (EventKind::Rejected, byte, 0, statusRefused,
               byte >= flash.size() ? "erase past the flash end" : "erase not at a sector start");
        ackAfter (out, 0, statusRefused);
        return;
    }
    if (const auto status = statusFault())
    {
        ackAfter (out, cfg.timing.sectorEraseMs, *status);
        return;
    }
    const auto index = std::uint32_t (byte / sectorSize);
    flash.eraseSector (index);
    flashDirty = true;
    const int times = ++rec.eraseCounts[index];
    event (EventKind::Erase, byte, sectorSize, 0, "sector " + std::to_string (index) + " (" + std::to_string (times) + ". time)");
    ackAfter (out, cfg.timing.sectorEraseMs, statusOk);
}

void Programmer::onRunTest (const Bytes& p, std::vector<Action>& out)
{
    const int argument = (p[0] << 7) | p[1];
    if (const auto status = statusFault())
    {
        ackAfter (out, cfg.timing.runTestMs, *status);
        return;
    }
    TestVerdict v;
    v.flashName = driver ? driver->flashName : "";
    v.saveIoState = driver && driver->kind == DriverKind::IoState;
    v.passed = v.saveIoState || (driver && driver->matchesChip);
    rec.tests.push_back (v);
    std::string text = driver ? "driver " + driver->flashName : "no driver";
    if (argument != 0)
        text += ", argument " + std::to_string (argument);
    if (v.saveIoState)
        event (EventKind::SaveIoState, 0, 0, 0, text);
    event (EventKind::RunTest, 0, 0, v.passed ? 0 : statusRefused, text + (v.passed ? ": pass" : ": fail"));
    ackAfter (out, cfg.timing.runTestMs, v.passed ? statusOk : statusRefused);
}

} // namespace talvek::emu
