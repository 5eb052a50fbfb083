#pragma once

// The SysEx programmer inside the instrument: host bytes in, actions out (frames to send,
// timed waits, a connection to close). It owns the RAM, the flash, the armed faults and the
// record, and knows nothing of sockets or threads: its owner carries out the actions and holds
// one lock around every call, so that slow sends and waits never happen under that lock.

#include "FaultPlan.h"
#include "Instrument.h"
#include "NorFlash.h"
#include "Wire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace talvek::emu
{

struct Action
{
    enum class Kind { Send, Wait, Close } kind = Kind::Send;
    wire::Bytes bytes;
    double ms = 0;
    std::uint64_t powerGeneration = 0; // a send from before a power loss is never delivered
    bool counted = true;               // a reply frame of ours, counted in framesOut

    static Action wait (double ms)
    {
        Action a;
        a.kind = Kind::Wait;
        a.ms = ms;
        return a;
    }
};

class Programmer
{
public:
    // Opens the record file, loads the flash file when there is one and arms config.faults.
    // onEvent runs after every recorded event, under the owner's lock.
    Programmer (Config config, std::function<void()> onEvent);

    const Config& config() const { return cfg; }

    // --- Bytes from the host ---
    struct Fed
    {
        std::size_t used = 0;       // bytes consumed
        std::size_t frameBytes = 0; // length of the host frame they completed; 0 when none
    };
    // Feeds bytes until a frame is complete or an immediate fault cuts the stream; the
    // actions to carry out are appended to out.
    Fed feed (const std::uint8_t* data, std::size_t size, std::vector<Action>& out);

    // Whether a send action may still go out: not when the power went since it was made.
    bool deliverable (const Action& action) const;
    void sent (const Action& action);

    // --- The connection ---
    void connected();
    void disconnected (EventKind kind, const std::string& why);

    // --- Power ---
    void cutPower (const std::string& why);
    void restorePower (const std::string& why);
    void restorePowerIfDue(); // after Config::powerRestoreMs
    bool powered() const { return power; }

    // --- State, for the Instrument's accessors ---
    NorFlash& norFlash() { return flash; }
    const NorFlash& norFlash() const { return flash; }
    void markFlashChanged() { flashDirty = true; }
    void saveIfDirty(); // to Config::flashFile
    Record& record() { return rec; }
    FaultPlan& faults() { return faultPlan; }
    const std::optional<DriverInfo>& loadedDriver() const { return driver; }

private:
    enum class Mode { Idle, RamLoad, Program };
    enum class ReplyKind { Ack, ProbeReply, ReadFrame };
    using Bytes = wire::Bytes;

    void event (EventKind kind, std::uint64_t address = 0, std::uint32_t length = 0, int status = 0, std::string text = {});
    const Fault* take (FaultKind kind);
    void loseRam();

    Action send (Bytes bytes, bool counted = true) const;
    void reply (std::vector<Action>& out, Bytes frame, ReplyKind kind);
    void ackAfter (std::vector<Action>& out, double ms, std::uint8_t status);
    std::optional<std::uint8_t> statusFault();
    bool flashDriverReady (std::string& why) const;

    void fireImmediate (const Fault& f, std::vector<Action>& out, const std::string& where);
    void malformed (const Bytes& f, const std::string& why);
    void handleFrame (const Bytes& f, std::vector<Action>& out);
    void cutFrame (const Fault& f, std::uint8_t cmd, const Bytes& p);
    void noteViolation (std::uint64_t address, const NorFlash::ProgramResult& r);
    static bool packingOk (const Bytes& p);

    void onProbe (const Bytes& p, std::vector<Action>& out);
    void onRamLoad();
    void onData (const Bytes& p, std::vector<Action>& out);
    void onAddress (const Bytes& p, std::vector<Action>& out);
    void onHostAck (std::vector<Action>& out);
    void onErase (const Bytes& p, std::vector<Action>& out);
    void onRunTest (const Bytes& p, std::vector<Action>& out);

    Config cfg;
    const ChipInfo& chip;
    std::function<void()> onEvent;

    // --- flash and record ---
    NorFlash flash;
    bool flashDirty = false;
    Record rec;
    std::uint64_t seq = 0;
    std::ofstream recordOut;

    // --- power and RAM ---
    bool power = true;
    std::uint64_t powerGeneration = 0;
    std::chrono::steady_clock::time_point powerRestoreAt {};
    bool powerRestorePending = false;
    Mode mode = Mode::Idle;
    Bytes ram;
    std::optional<DriverInfo> driver;
    std::uint64_t programAddress = 0;
    std::deque<Bytes> pendingReadFrames; // WaitForAck: frames after the one sent

    FaultPlan faultPlan;
    wire::StreamParser parser;
};

} // namespace talvek::emu
