// The programmer inside the instrument, its fault injection, and the socket server.
//
// One I/O thread per server reads the socket, runs the protocol under the lock, and then
// carries out the resulting actions (sends, timed waits, closing the connection) without it,
// so that accessors never wait behind a slow link or a delayed reply.

#include "Instrument.h"
#include "NorFlash.h"
#include "Wire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace talvek::emu
{

using wire::Bytes;
using Clock = std::chrono::steady_clock;

namespace
{
constexpr std::size_t maxEvents = 1'000'000;
constexpr std::size_t ramSize = 64 * 1024;        // RAM for a driver image
constexpr std::uint8_t statusOk = 0;
constexpr std::uint8_t statusRefused = 1;         // anything but 0, 2, 3 is a plain failure

// Stands for traffic of other devices on the same MIDI line.
const Bytes foreignSysEx { 0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7 };
const Bytes unknownCommand { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x07, 0x00, 0xF7 };

struct Action
{
    enum class Kind { Send, Wait, Close } kind = Kind::Send;
    Bytes bytes;
    double ms = 0;
    std::uint64_t powerGeneration = 0;
    bool counted = true; // a reply frame of ours, counted in framesOut
};

enum class ReplyKind { Ack, ProbeReply, ReadFrame };

struct ArmedFault
{
    Fault fault;
    std::uint64_t base = 0;   // the point's counter when armed
    bool triggered = false;
    std::uint32_t applied = 0;
    bool done = false;
};
} // namespace

//==============================================================================================

struct Instrument::Impl
{
    explicit Impl (Config c)
        : cfg (std::move (c)), chip (chipInfo (cfg.chip)), flash (sectorSize, chip.sectorCount)
    {
    }

    Config cfg;
    const ChipInfo& chip;

    mutable std::mutex m;
    mutable std::condition_variable changed; // record grew, or the I/O thread should wake

    // --- flash and record (m) ---
    NorFlash flash;
    bool flashDirty = false;
    Record rec;
    std::uint64_t seq = 0;
    std::ofstream recordOut;

    // --- programmer state: RAM (m) ---
    bool power = true;
    std::uint64_t powerGeneration = 0;
    Clock::time_point powerRestoreAt {};
    bool powerRestorePending = false;
    enum class Mode { Idle, RamLoad, Program } mode = Mode::Idle;
    Bytes ram;
    std::optional<DriverInfo> driver;
    std::uint64_t programAddress = 0;
    std::deque<Bytes> pendingReadFrames; // WaitForAck: frames after the one sent

    // --- fault points (m) ---
    std::uint64_t cntFrame = 0, cntBlock = 0, cntProgramBlock = 0, cntReadBlock = 0, cntErase = 0, cntBytes = 0;
    std::vector<ArmedFault> faults;

    // --- server ---
    std::thread io;
    std::atomic<bool> stopFlag { false };
    std::atomic<bool> pullFlag { false };
    std::atomic<bool> isConnected { false };
    int listenFd = -1, connFd = -1;
    int wakePipe[2] { -1, -1 };
    std::string path;
    wire::StreamParser parser; // (m)

    //------------------------------------------------------------------------------------------
    // Record

    void event (EventKind kind, std::uint64_t address = 0, std::uint32_t length = 0, int status = 0, std::string text = {})
    {
        Event e { ++seq, kind, address, length, status, std::move (text) };
        if (recordOut.is_open())
            recordOut << formatEvent (e) << '\n' << std::flush;
        if (cfg.logToStderr)
            std::fprintf (stderr, "talvek-instrument: %s\n", formatEvent (e).c_str());
        if (rec.events.size() < maxEvents)
            rec.events.push_back (std::move (e));
        else
            ++rec.droppedEvents;
        changed.notify_all();
    }

    //------------------------------------------------------------------------------------------
    // Faults

    std::uint64_t counterOf (FaultPoint p) const
    {
        switch (p)
        {
            case FaultPoint::Frame:        return cntFrame;
            case FaultPoint::Block:        return cntBlock;
            case FaultPoint::ProgramBlock: return cntProgramBlock;
            case FaultPoint::ReadBlock:    return cntReadBlock;
            case FaultPoint::Erase:        return cntErase;
            case FaultPoint::Bytes:        return cntBytes;
        }
        return 0;
    }

    void arm (const Fault& f) { faults.push_back ({ f, counterOf (f.point) }); }

    static bool immediate (FaultKind k) { return k == FaultKind::PowerLoss || k == FaultKind::CablePull; }

    // Marks faults whose point has just been reached; returns the first immediate one.
    std::optional<Fault> checkTriggers (bool bytesOnly)
    {
        std::optional<Fault> hit;
        for (auto& a : faults)
        {
            if (a.triggered || (bytesOnly != (a.fault.point == FaultPoint::Bytes)))
                continue;
            if (counterOf (a.fault.point) - a.base != a.fault.n)
                continue;
            a.triggered = true;
            if (immediate (a.fault.kind))
            {
                a.done = true;
                if (! hit)
                    hit = a.fault;
            }
        }
        return hit;
    }

    // Takes one application of an active fault of this kind, if any.
    const Fault* take (FaultKind kind)
    {
        for (auto& a : faults)
            if (a.triggered && ! a.done && a.fault.kind == kind)
            {
                ++a.applied;
                if (a.fault.count != 0 && a.applied >= a.fault.count)
                    a.done = true;
                event (EventKind::FaultFired, 0, a.applied, 0, describeFault (a.fault));
                return &a.fault;
            }
        return nullptr;
    }

    //------------------------------------------------------------------------------------------
    // Power

    void loseRam()
    {
        mode = Mode::Idle;
        ram.clear();
        driver.reset();
        pendingReadFrames.clear();
    }

    void cutPower (const std::string& why)
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

    void restorePower (const std::string& why)
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

    void saveIfDirty()
    {
        if (! flashDirty || cfg.flashFile.empty())
            return;
        std::string error;
        if (flash.save (cfg.flashFile, &error))
            flashDirty = false;
        else
            event (EventKind::Rejected, 0, 0, 0, "flash file not saved: " + error);
    }

    //------------------------------------------------------------------------------------------
    // Replies

    Action send (Bytes bytes, bool counted = true)
    {
        Action a;
        a.kind = Action::Kind::Send;
        a.bytes = std::move (bytes);
        a.powerGeneration = powerGeneration;
        a.counted = counted;
        return a;
    }

    static Action wait (double ms)
    {
        Action a;
        a.kind = Action::Kind::Wait;
        a.ms = ms;
        return a;
    }

    void reply (std::vector<Action>& out, Bytes frame, ReplyKind kind)
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
            out.push_back (wait (f->delayMs));
        const bool noise = take (FaultKind::Noise) != nullptr;
        if (noise)
        {
            out.push_back (send (Bytes { 0xF8 }, false));
            out.push_back (send (foreignSysEx, false));
            out.push_back (send (unknownCommand, false));
            // Clock bytes inside our own SysEx: real-time bytes may interleave anywhere.
            frame.insert (frame.begin() + std::ptrdiff_t (frame.size() / 2), { 0xF8, 0xF8 });
        }
        const bool twice = kind == ReplyKind::Ack && take (FaultKind::DuplicateAck) != nullptr;
        out.push_back (send (frame));
        if (twice)
            out.push_back (send (frame));
        if (noise)
            out.push_back (send (Bytes { 0xF8 }, false));
    }

    void ackAfter (std::vector<Action>& out, double ms, std::uint8_t status)
    {
        if (ms > 0)
            out.push_back (wait (ms));
        reply (out, wire::ack (status), ReplyKind::Ack);
    }

    // An injected Ack status replaces the operation.
    std::optional<std::uint8_t> statusFault()
    {
        if (take (FaultKind::AckStatus2))
            return std::uint8_t (2);
        if (take (FaultKind::AckStatus3))
            return std::uint8_t (3);
        return std::nullopt;
    }

    bool flashDriverReady (std::string& why) const
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

    //------------------------------------------------------------------------------------------
    // Bytes from the host

    // Feeds bytes until a frame is complete or an immediate fault cuts the stream.
    // Returns the bytes consumed; actions to carry out are appended to out.
    std::size_t feed (const std::uint8_t* data, std::size_t size, std::vector<Action>& out)
    {
        for (std::size_t i = 0; i < size; ++i)
        {
            rec.bytesIn++;
            if (! power)
                continue;
            ++cntBytes;
            if (const auto f = checkTriggers (true))
            {
                parser.reset();
                fireImmediate (*f, out, "after " + std::to_string (cntBytes) + " bytes");
                return i + 1;
            }
            if (parser.feed (data[i]))
            {
                handleFrame (parser.frame(), out);
                return i + 1;
            }
        }
        return size;
    }

    void fireImmediate (const Fault& f, std::vector<Action>& out, const std::string& where)
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

    void malformed (const Bytes& f, const std::string& why)
    {
        event (EventKind::Malformed, 0, std::uint32_t (f.size()), 0, why);
    }

    void handleFrame (const Bytes& f, std::vector<Action>& out)
    {
        rec.framesIn++;
        ++cntFrame;
        const auto hf = wire::parse (f);
        const std::uint8_t cmd = hf ? hf->command : 0xFF;
        const bool wellFormed = hf && wire::hostFrameLength (cmd) == f.size();
        static const Bytes none;
        const Bytes& p = wellFormed ? hf->payload : none;
        if (wellFormed)
        {
            if (cmd == wire::cmdData)
            {
                ++cntBlock;
                if (mode == Mode::Program)
                    ++cntProgramBlock;
            }
            if (cmd == wire::cmdAddress && p[4] == 1)
            {
                ++cntBlock;
                ++cntReadBlock;
            }
            if (cmd == wire::cmdEraseSector)
                ++cntErase;
        }

        if (const auto fault = checkTriggers (false))
        {
            if (fault->kind == FaultKind::PowerLoss && wellFormed)
                cutFrame (*fault, cmd, p);
            else
                fireImmediate (*fault, out, "at frame " + std::to_string (cntFrame) + " (lost)");
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
    void cutFrame (const Fault& f, std::uint8_t cmd, const Bytes& p)
    {
        std::string where = "at frame " + std::to_string (cntFrame);
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

    void noteViolation (std::uint64_t address, const NorFlash::ProgramResult& r)
    {
        if (r.changedUnerased == 0 && r.mismatched == 0)
            return;
        rec.violations.push_back ({ address, r.changedUnerased, r.mismatched });
        event (EventKind::Violation, address, r.changedUnerased, 0,
               "program over unerased flash: " + std::to_string (r.changedUnerased) + " bytes changed, "
                   + std::to_string (r.mismatched) + " bytes differ from the data");
    }

    // Each group's top-bit byte may use only as many bits as the group has data bytes.
    static bool packingOk (const Bytes& p)
    {
        for (std::size_t start = 0; start < p.size(); start += 8)
        {
            const std::size_t n = std::min<std::size_t> (8, p.size() - start);
            if (n < 2 || (p[start + n - 1] >> (n - 1)) != 0)
                return false;
        }
        return true;
    }

    //------------------------------------------------------------------------------------------
    // Commands

    void onProbe (const Bytes& p, std::vector<Action>& out)
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

    void onRamLoad()
    {
        mode = Mode::RamLoad;
        ram.clear();
        driver.reset();
        event (EventKind::RamLoadStarted);
    }

    void onData (const Bytes& p, std::vector<Action>& out)
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

    void onAddress (const Bytes& p, std::vector<Action>& out)
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

    void onHostAck (std::vector<Action>& out)
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

    void onErase (const Bytes& p, std::vector<Action>& out)
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

    void onRunTest (const Bytes& p, std::vector<Action>& out)
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

    //------------------------------------------------------------------------------------------
    // Server (I/O thread)

    // Callers hold no lock; taking it once orders the flags before a waiter's predicate check.
    void wake()
    {
        {
            std::lock_guard lock (m);
        }
        if (wakePipe[1] >= 0)
        {
            const char c = 1;
            [[maybe_unused]] auto n = ::write (wakePipe[1], &c, 1);
        }
        changed.notify_all();
    }

    // Waits, but returns early (false) on stop or a pulled cable.
    bool pause (double ms)
    {
        if (ms <= 0)
            return true;
        std::unique_lock lock (m);
        const auto until = Clock::now() + std::chrono::microseconds (std::int64_t (ms * 1000.0));
        return ! changed.wait_until (lock, until, [this] { return stopFlag.load() || pullFlag.load(); });
    }

    void closeConnection (EventKind kind, const std::string& why)
    {
        if (connFd < 0)
            return;
        ::close (connFd);
        connFd = -1;
        isConnected = false;
        std::lock_guard lock (m);
        parser.reset();
        pendingReadFrames.clear();
        event (kind, 0, 0, 0, why);
    }

    bool sendAll (const Bytes& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size())
        {
            if (stopFlag || pullFlag || connFd < 0)
                return false;
            const ssize_t n = ::send (connFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
            {
                done += std::size_t (n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            {
                pollfd pfd { connFd, POLLOUT, 0 };
                ::poll (&pfd, 1, 50);
                continue;
            }
            closeConnection (EventKind::Disconnected, std::string ("send failed: ") + std::strerror (errno));
            return false;
        }
        return true;
    }

    void run (std::vector<Action>& actions)
    {
        for (auto& a : actions)
        {
            if (stopFlag || pullFlag)
                break;
            switch (a.kind)
            {
                case Action::Kind::Wait:
                    if (! pause (a.ms))
                        return;
                    break;
                case Action::Kind::Close:
                    closeConnection (EventKind::CablePulled, "fault");
                    return;
                case Action::Kind::Send:
                    {
                        {
                            std::lock_guard lock (m);
                            if (a.powerGeneration != powerGeneration || ! power)
                                continue;
                        }
                        if (cfg.timing.linkBytesPerSecond > 0 && ! pause (1000.0 * double (a.bytes.size()) / cfg.timing.linkBytesPerSecond))
                            return;
                        if (! sendAll (a.bytes))
                            return;
                        std::lock_guard lock (m);
                        rec.bytesOut += a.bytes.size();
                        if (a.counted)
                            rec.framesOut++;
                    }
                    break;
            }
        }
    }

    void serve()
    {
        std::vector<std::uint8_t> buffer (65536);
        std::vector<Action> actions;
        while (! stopFlag)
        {
            if (pullFlag.exchange (false))
                closeConnection (EventKind::CablePulled, "pulled");

            pollfd fds[3] { { wakePipe[0], POLLIN, 0 }, { listenFd, POLLIN, 0 }, { connFd, POLLIN, 0 } };
            const int ready = ::poll (fds, connFd >= 0 ? 3 : 2, 100);
            if (stopFlag)
                break;
            {
                std::lock_guard lock (m);
                if (powerRestorePending && Clock::now() >= powerRestoreAt)
                    restorePower ("power restored after " + std::to_string (cfg.powerRestoreMs) + " ms");
            }
            if (ready <= 0)
            {
                std::lock_guard lock (m);
                saveIfDirty(); // only when the link is idle
                continue;
            }
            if (fds[0].revents & POLLIN)
            {
                char drain[64];
                [[maybe_unused]] auto n = ::read (wakePipe[0], drain, sizeof drain);
                continue; // re-check the flags first
            }
            if (fds[1].revents & POLLIN)
            {
                const int fd = ::accept4 (listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                {
                    if (connFd >= 0)
                        closeConnection (EventKind::ConnectionReplaced, "a new connection replaced it");
                    connFd = fd;
                    isConnected = true;
                    std::lock_guard lock (m);
                    parser.reset();
                    rec.connections++;
                    event (EventKind::Connected);
                    if (! power && cfg.powerOnAtConnect)
                        restorePower ("new connection");
                }
            }
            if (connFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            {
                const ssize_t n = ::recv (connFd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                {
                    closeConnection (EventKind::Disconnected, n == 0 ? "closed by the host" : std::string ("reset: ") + std::strerror (errno));
                    continue;
                }
                if (n < 0)
                    continue;
                std::size_t at = 0;
                while (at < std::size_t (n) && connFd >= 0 && ! stopFlag && ! pullFlag)
                {
                    actions.clear();
                    std::size_t used = 0;
                    std::size_t frameBytes = 0;
                    {
                        std::lock_guard lock (m);
                        const auto framesBefore = rec.framesIn;
                        used = feed (buffer.data() + at, std::size_t (n) - at, actions);
                        if (rec.framesIn != framesBefore)
                            frameBytes = parser.frame().size();
                    }
                    at += used;
                    // The frame took its time to arrive over the cable before it was acted on.
                    if (frameBytes > 0 && cfg.timing.linkBytesPerSecond > 0)
                        actions.insert (actions.begin(), wait (1000.0 * double (frameBytes) / cfg.timing.linkBytesPerSecond));
                    run (actions);
                }
            }
        }
        closeConnection (EventKind::Disconnected, "emulator stopped");
    }
};

//==============================================================================================

Instrument::Instrument (Config config) : impl (std::make_unique<Impl> (std::move (config)))
{
    auto& d = *impl;
    if (! d.cfg.recordFile.empty())
        d.recordOut.open (d.cfg.recordFile, std::ios::out | std::ios::app);
    if (! d.cfg.flashFile.empty())
    {
        struct stat st {};
        if (::stat (d.cfg.flashFile.c_str(), &st) == 0)
        {
            std::string error;
            std::lock_guard lock (d.m);
            if (! d.flash.load (d.cfg.flashFile, &error))
                d.event (EventKind::Rejected, 0, 0, 0, "flash file not loaded: " + error);
        }
    }
    for (const auto& f : d.cfg.faults)
        d.arm (f);
}

Instrument::~Instrument()
{
    stop();
    std::lock_guard lock (impl->m);
    impl->saveIfDirty();
}

const Config& Instrument::config() const { return impl->cfg; }

void Instrument::eraseAll()
{
    std::lock_guard lock (impl->m);
    impl->flash.eraseAll();
    impl->flashDirty = true;
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
    auto& flash = impl->flash;
    flash.eraseAll();
    flash.store (0, code.data(), code.size());
    if (tagAddress + identity.tag.size() <= flash.size())
        flash.store (tagAddress, identity.tag.data(), identity.tag.size());
    impl->flashDirty = true;
}

void Instrument::writeFlash (std::uint64_t address, const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard lock (impl->m);
    auto& flash = impl->flash;
    if (address >= flash.size())
        return;
    flash.store (address, bytes.data(), std::size_t (std::min<std::uint64_t> (bytes.size(), flash.size() - address)));
    impl->flashDirty = true;
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
    auto& flash = impl->flash;
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
    impl->flashDirty = true;
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
    const auto& flash = impl->flash;
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
    const auto& flash = impl->flash;
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
    return impl->flash.save (path, error);
}

bool Instrument::loadFlashFile (const std::string& path, std::string* error)
{
    std::lock_guard lock (impl->m);
    return impl->flash.load (path, error);
}

std::size_t Instrument::storedSectors() const
{
    std::lock_guard lock (impl->m);
    return impl->flash.storedSectors();
}

Record Instrument::record() const
{
    std::lock_guard lock (impl->m);
    return impl->rec;
}

void Instrument::clearRecord()
{
    std::lock_guard lock (impl->m);
    impl->rec = {};
}

bool Instrument::waitFor (const std::function<bool (const Record&)>& pred, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock (impl->m);
    return impl->changed.wait_for (lock, timeout, [&] { return pred (impl->rec); });
}

void Instrument::injectFault (const Fault& fault)
{
    std::lock_guard lock (impl->m);
    impl->arm (fault);
}

void Instrument::clearFaults()
{
    std::lock_guard lock (impl->m);
    impl->faults.clear();
}

void Instrument::powerLoss()
{
    std::lock_guard lock (impl->m);
    impl->cutPower ("by request");
    impl->changed.notify_all();
}

void Instrument::powerOn()
{
    std::lock_guard lock (impl->m);
    impl->restorePower ("by request");
}

void Instrument::powerCycle()
{
    std::lock_guard lock (impl->m);
    impl->cutPower ("power cycle");
    impl->restorePower ("power cycle");
}

bool Instrument::powered() const
{
    std::lock_guard lock (impl->m);
    return impl->power;
}

void Instrument::pullCable()
{
    if (! impl->io.joinable())
        return;
    impl->pullFlag = true;
    impl->wake();
}

bool Instrument::start (const std::string& socketPath, std::string* error)
{
    auto& d = *impl;
    auto fail = [&] (const std::string& why) {
        if (error) *error = why;
        if (d.listenFd >= 0) ::close (d.listenFd);
        d.listenFd = -1;
        return false;
    };
    if (d.io.joinable())
        return fail ("already serving " + d.path);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path)
        return fail ("socket path empty or longer than " + std::to_string (sizeof addr.sun_path - 1) + " bytes");
    std::memcpy (addr.sun_path, socketPath.c_str(), socketPath.size());

    // Replace a stale socket left by an emulator that died, but nothing else.
    struct stat st {};
    if (::lstat (socketPath.c_str(), &st) == 0)
    {
        if (! S_ISSOCK (st.st_mode))
            return fail (socketPath + " exists and is not a socket");
        ::unlink (socketPath.c_str());
    }
    d.listenFd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d.listenFd < 0)
        return fail (std::string ("socket: ") + std::strerror (errno));
    if (::bind (d.listenFd, reinterpret_cast<sockaddr*> (&addr), sizeof addr) != 0)
        return fail ("bind " + socketPath + ": " + std::strerror (errno));
    if (::listen (d.listenFd, 4) != 0)
        return fail (std::string ("listen: ") + std::strerror (errno));
    if (::pipe2 (d.wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail (std::string ("pipe: ") + std::strerror (errno));
    d.path = socketPath;
    d.stopFlag = false;
    d.pullFlag = false;
    d.io = std::thread ([&d] { d.serve(); });
    return true;
}

void Instrument::stop()
{
    auto& d = *impl;
    if (! d.io.joinable())
        return;
    d.stopFlag = true;
    d.wake();
    d.io.join();
    ::close (d.listenFd);
    d.listenFd = -1;
    for (int& fd : d.wakePipe)
    {
        ::close (fd);
        fd = -1;
    }
    ::unlink (d.path.c_str());
    std::lock_guard lock (d.m);
    d.saveIfDirty();
}

bool Instrument::running() const { return impl->io.joinable(); }
bool Instrument::connected() const { return impl->isConnected; }

std::string Instrument::socketPath() const
{
    return running() ? impl->path : std::string {};
}

std::optional<DriverInfo> Instrument::loadedDriver() const
{
    std::lock_guard lock (impl->m);
    return impl->driver;
}

} // namespace talvek::emu
