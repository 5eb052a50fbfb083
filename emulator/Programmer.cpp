// The programmer's side of the protocol. Every reply goes through reply(), where the reply
// faults (drop, delay, noise, duplicate, corrupt) are applied in one place.

#include "Programmer.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

namespace talvek::emu
{

using Clock = std::chrono::steady_clock;

namespace
{
constexpr std::size_t maxEvents = 1'000'000;

// Stands for traffic of other devices on the same MIDI line.
const wire::Bytes foreignSysEx { 0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7 };
const wire::Bytes unknownCommand { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x07, 0x00, 0xF7 };
} // namespace

Programmer::Programmer (Config config, std::function<void()> listener)
    : cfg (std::move (config)), chip (chipInfo (cfg.chip)), onEvent (std::move (listener)),
      flash (sectorSize, chip.sectorCount)
{
    if (! cfg.recordFile.empty())
        recordOut.open (cfg.recordFile, std::ios::out | std::ios::app);
    if (! cfg.flashFile.empty())
    {
        struct stat st {};
        if (::stat (cfg.flashFile.c_str(), &st) == 0)
        {
            std::string error;
            if (! flash.load (cfg.flashFile, &error))
                event (EventKind::Rejected, 0, 0, 0, "flash file not loaded: " + error);
        }
    }
    for (const auto& f : cfg.faults)
        faultPlan.arm (f);
}

//==============================================================================================
// Record and faults

void Programmer::event (EventKind kind, std::uint64_t address, std::uint32_t length, int status, std::string text)
{
    Event e { ++seq, kind, address, length, status, std::move (text), rec.framesIn };
    if (recordOut.is_open())
        recordOut << formatEvent (e) << '\n' << std::flush;
    if (cfg.logToStderr)
        std::fprintf (stderr, "talvek-instrument: %s\n", formatEvent (e).c_str());
    if (rec.events.size() < maxEvents)
        rec.events.push_back (std::move (e));
    else
        ++rec.droppedEvents;
    if (onEvent)
        onEvent();
}

const Fault* Programmer::take (FaultKind kind)
{
    const auto* a = faultPlan.take (kind);
    if (a == nullptr)
        return nullptr;
    event (EventKind::FaultFired, 0, a->applied, 0, describeFault (a->fault));
    return &a->fault;
}

//==============================================================================================
// Power and the connection

void Programmer::loseRam()
{
    mode = Mode::Idle;
    ram.clear();
    driver.reset();
    pendingReadFrames.clear();
}

void Programmer::cutPower (const std::string& why)
{
    if (! power)
        return;
    power = false;
    ++powerGeneration;
    loseRam();
    event (EventKind::PowerLost, 0, 0, 0, why);
    if (cfg.powerRestoreMs != 0)
    {
        powerRestorePending = true;
        powerRestoreAt = Clock::now() + std::chrono::milliseconds (cfg.powerRestoreMs);
    }
    saveIfDirty();
}

void Programmer::restorePower (const std::string& why)
{
    powerRestorePending = false;
    if (power)
        return;
    power = true;
    ++powerGeneration;
    loseRam();
    parser.reset();
    event (EventKind::PowerOn, 0, 0, 0, why);
}

void Programmer::restorePowerIfDue()
{
    if (powerRestorePending && Clock::now() >= powerRestoreAt)
        restorePower ("power restored after " + std::to_string (cfg.powerRestoreMs) + " ms");
}

void Programmer::saveIfDirty()
{
    if (! flashDirty || cfg.flashFile.empty())
        return;
    std::string error;
    if (flash.save (cfg.flashFile, &error))
        flashDirty = false;
    else
        event (EventKind::Rejected, 0, 0, 0, "flash file not saved: " + error);
}

void Programmer::connected()
{
    parser.reset();
    rec.connections++;
    event (EventKind::Connected);
    if (! power && cfg.powerOnAtConnect)
        restorePower ("new connection");
}

void Programmer::disconnected (EventKind kind, const std::string& why)
{
    parser.reset();
    pendingReadFrames.clear();
    event (kind, 0, 0, 0, why);
}

bool Programmer::deliverable (const Action& action) const
{
    return action.powerGeneration == powerGeneration && power;
}

void Programmer::sent (const Action& action)
{
    rec.bytesOut += action.bytes.size();
    if (action.counted)
        rec.framesOut++;
}

//==============================================================================================
// Replies

Action Programmer::send (Bytes bytes, bool counted) const
{
    Action a;
    a.kind = Action::Kind::Send;
    a.bytes = std::move (bytes);
    a.powerGeneration = powerGeneration;
    a.counted = counted;
    return a;
}

void Programmer::reply (std::vector<Action>& out, Bytes frame, ReplyKind kind)
{
    if (kind == ReplyKind::ReadFrame)
        if (take (FaultKind::CorruptReadFrame))
        {
            // Flip the lowest bit of a data byte in the middle of the packed payload;
            // index 7 + 8k is a group's top-bit byte, so step off it.
            std::size_t i = 7 + (frame.size() - 8) / 2;
            if ((i - 7) % 8 == 7)
                --i;
            frame[i] ^= 0x01;
        }
    if (take (FaultKind::DropReply))
        return;
    if (const Fault* f = take (FaultKind::DelayReply))
        out.push_back (Action::wait (f->delayMs));
    const bool noise = take (FaultKind::Noise) != nullptr;
    if (noise)
    {
        out.push_back (send (Bytes { 0xF8 }, false));
        out.push_back (send (foreignSysEx, false));
        out.push_back (send (unknownCommand, false));
        // Clock bytes inside our own SysEx: real-time bytes may interleave anywhere.
        frame.insert (frame.begin() + std::ptrdiff_t (frame.size() / 2), { 0xF8, 0xF8 });
    }
    const Fault* twice = kind == ReplyKind::Ack         ? take (FaultKind::DuplicateAck)
                       : kind == ReplyKind::ReadFrame ? take (FaultKind::DuplicateReadFrame)
                                                      : nullptr;
    out.push_back (send (frame));
    if (twice != nullptr)
    {
        // Nothing from the host is taken meanwhile, so the copy can land after its next request.
        if (twice->afterMs > 0)
            out.push_back (Action::wait (twice->afterMs));
        out.push_back (send (frame));
    }
    if (noise)
        out.push_back (send (Bytes { 0xF8 }, false));
}

void Programmer::ackAfter (std::vector<Action>& out, double ms, std::uint8_t status)
{
    if (ms > 0)
        out.push_back (Action::wait (ms));
    reply (out, wire::ack (status), ReplyKind::Ack);
}

// An injected Ack status replaces the operation.
std::optional<std::uint8_t> Programmer::statusFault()
{
    if (take (FaultKind::AckStatus2))
        return std::uint8_t (2);
    if (take (FaultKind::AckStatus3))
        return std::uint8_t (3);
    if (take (FaultKind::Refuse))
        return std::uint8_t (1);
    return std::nullopt;
}

bool Programmer::flashDriverReady (std::string& why) const
{
    if (! driver)
        why = "no driver in RAM";
    else if (driver->kind != DriverKind::FlashDriver)
        why = "the driver in RAM is not a flash driver";
    else if (! driver->matchesChip)
        why = "the driver in RAM is for " + driver->flashName + ", not " + chip.name;
    else
        return true;
    return false;
}

//==============================================================================================
// Bytes from the host

Programmer::Fed Programmer::feed (const std::uint8_t* data, std::size_t size, std::vector<Action>& out)
{
    for (std::size_t i = 0; i < size; ++i)
    {
        rec.bytesIn++;
        if (! power)
            continue;
        faultPlan.reached (FaultPoint::Bytes);
        if (const auto f = faultPlan.checkTriggers (true))
        {
            parser.reset();
            fireImmediate (*f, out, "after " + std::to_string (faultPlan.count (FaultPoint::Bytes)) + " bytes");
            return { i + 1, 0 };
        }
        if (parser.feed (data[i]))
        {
            handleFrame (parser.frame(), out);
            return { i + 1, parser.frame().size() };
        }
    }
    return { size, 0 };
}

void Programmer::fireImmediate (const Fault& f, std::vector<Action>& out, const std::string& where)
{
    event (EventKind::FaultFired, 0, 0, 0, describeFault (f) + " " + where);
    if (f.kind == FaultKind::PowerLoss)
        cutPower ("fault " + describeFault (f));
    else
    {
        Action a;
        a.kind = Action::Kind::Close;
        out.push_back (a);
    }
}

void Programmer::malformed (const Bytes& f, const std::string& why)
{
    event (EventKind::Malformed, 0, std::uint32_t (f.size()), 0, why);
}

void Programmer::handleFrame (const Bytes& f, std::vector<Action>& out)
{
    rec.framesIn++;
    faultPlan.reached (FaultPoint::Frame);
    const auto hf = wire::parse (f);
    const std::uint8_t cmd = hf ? hf->command : 0xFF;
    const bool wellFormed = hf && wire::hostFrameLength (cmd) == f.size();
    static const Bytes none;
    const Bytes& p = wellFormed ? hf->payload : none;
    if (wellFormed)
    {
        if (cmd == wire::cmdData)
        {
            faultPlan.reached (FaultPoint::Block);
            if (mode == Mode::Program)
                faultPlan.reached (FaultPoint::ProgramBlock);
        }
        if (cmd == wire::cmdAddress && p[4] == 1)
        {
            faultPlan.reached (FaultPoint::Block);
            faultPlan.reached (FaultPoint::ReadBlock);
        }
        if (cmd == wire::cmdEraseSector)
            faultPlan.reached (FaultPoint::Erase);
        if (cmd == wire::cmdRunTest)
            faultPlan.reached (FaultPoint::Test);
    }

    if (const auto fault = faultPlan.checkTriggers (false))
    {
        if (fault->kind == FaultKind::PowerLoss && wellFormed)
            cutFrame (*fault, cmd, p);
        else
            fireImmediate (*fault, out, "at frame " + std::to_string (faultPlan.count (FaultPoint::Frame)) + " (lost)");
        return;
    }

    if (! hf)
    {
        malformed (f, "not a frame of this protocol");
        return;
    }
    if (! wellFormed)
    {
        char why[96];
        std::snprintf (why, sizeof why, "command %02Xh with %zu bytes (a host sends %zu)", cmd, f.size(),
                       wire::hostFrameLength (cmd));
        malformed (f, why);
        return;
    }

    if (cmd != wire::cmdAck)
        pendingReadFrames.clear();
    if (cmd != wire::cmdData && cmd != wire::cmdAck)
        mode = Mode::Idle;

    switch (cmd)
    {
        case wire::cmdProbe:       onProbe (p, out); break;
        case wire::cmdRamLoad:     onRamLoad(); break;
        case wire::cmdData:        onData (p, out); break;
        case wire::cmdAddress:     onAddress (p, out); break;
        case wire::cmdEraseSector: onErase (p, out); break;
        case wire::cmdRunTest:     onRunTest (p, out); break;
        case wire::cmdAck:         onHostAck (out); break;
        default: break;
    }
}

// Power goes while this frame is being carried out: a program block or an erase is left
// part done, anything else is lost.
void Programmer::cutFrame (const Fault& f, std::uint8_t cmd, const Bytes& p)
{
    std::string where = "at frame " + std::to_string (faultPlan.count (FaultPoint::Frame));
    std::string why;
    if (cmd == wire::cmdData && mode == Mode::Program && flashDriverReady (why)
        && programAddress + blockSize <= flash.size() && packingOk (p))
    {
        const Bytes block = wire::unpack (p.data(), p.size());
        const std::uint32_t n = std::min (f.partialBytes, blockSize);
        const auto r = flash.program (programAddress, block.data(), n);
        flashDirty = true;
        rec.programmed.push_back ({ programAddress, n });
        event (EventKind::ProgramBlock, programAddress, n, 0, "cut by power loss");
        noteViolation (programAddress, r);
        where += ", program block cut after " + std::to_string (n) + " bytes";
    }
    else if (cmd == wire::cmdEraseSector && flashDriverReady (why))
    {
        const std::uint64_t byte = std::uint64_t (wire::decodeWordAddress (p.data())) * 2;
        if (byte % sectorSize == 0 && byte < flash.size())
        {
            const auto index = std::uint32_t (byte / sectorSize);
            flash.erasePart (index, f.partialBytes);
            flashDirty = true;
            where += ", erase of sector " + std::to_string (index) + " cut after " + std::to_string (f.partialBytes) + " bytes";
        }
    }
    event (EventKind::FaultFired, 0, 0, 0, describeFault (f) + " " + where);
    cutPower ("fault " + describeFault (f));
}

void Programmer::noteViolation (std::uint64_t address, const NorFlash::ProgramResult& r)
{
    if (r.changedUnerased == 0 && r.mismatched == 0)
        return;
    rec.violations.push_back ({ address, r.changedUnerased, r.mismatched });
    event (EventKind::Violation, address, r.changedUnerased, 0,
           "program over unerased flash: " + std::to_string (r.changedUnerased) + " bytes changed, "
               + std::to_string (r.mismatched) + " bytes differ from the data");
}

// Each group's top-bit byte may use only as many bits as the group has data bytes.
bool Programmer::packingOk (const Bytes& p)
{
    for (std::size_t start = 0; start < p.size(); start += 8)
    {
        const std::size_t n = std::min<std::size_t> (8, p.size() - start);
        if (n < 2 || (p[start + n - 1] >> (n - 1)) != 0)
            return false;
    }
    return true;
}

} // namespace talvek::emu
