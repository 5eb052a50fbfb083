#pragma once

// The emulated instrument: the SysEx programmer inside a TALVEK drum module, its RAM (the
// loaded flash driver) and its NOR flash, served as raw MIDI bytes on a Unix-domain socket or
// on loopback TCP.
//
// Plain C++20 and the system's sockets; no JUCE, and none of the tool's own frame code: the emulator keeps
// its own wire codec (Wire.h) so that a packing mistake cannot hide on both sides at once.
//
// Threads: one background thread per running server does all socket I/O and runs the
// protocol; every public member may be called from any other thread at any time.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvek::emu
{

inline constexpr std::uint32_t sectorSize = 0x20000;   // every supported chip: 128 KiB sectors
inline constexpr std::uint32_t blockSize = 4096;       // one Data block
inline constexpr std::uint32_t identityAddress = 0x1FFF4;
inline constexpr std::uint32_t tagAddress = 0x9E0000;
inline constexpr std::uint32_t paramAreaAddress = 0x40000;
inline constexpr std::uint32_t paramAreaSize = 0x20000;
inline constexpr std::uint32_t markerAddress = 0xFFF8;   // "BD"
inline constexpr std::uint32_t updateFileUnit = 0x40000; // update files are N x 256 KiB

//==============================================================================================
// Flash chips

enum class FlashChip
{
    S29GL256_S,    // 32 MiB
    S29GL512_S,    // 64 MiB
    S29GL01G_S,    // 128 MiB
    S29GL02GS_EST, // 256 MiB
};

struct ChipInfo
{
    FlashChip chip;
    const char* name;          // as in a driver image's flash name field
    std::uint32_t sectorCount; // of sectorSize bytes
    std::uint64_t sizeBytes() const { return std::uint64_t (sectorCount) * sectorSize; }
};

const ChipInfo& chipInfo (FlashChip chip);
std::optional<FlashChip> chipFromName (std::string_view name); // exact name, case-insensitive
const std::array<FlashChip, 4>& allChips();

//==============================================================================================
// Link, timing and faults

enum class LinkMode { FS, HS };   // FS: read blocks carry four check bytes; ProbeReply speed 01

enum class ReadFlagStyle
{
    WaitForAck, // every read frame has flag 0: the next frame follows the host's Ack
    Stream,     // every read frame has flag 1: frames follow each other without Acks
};

struct Timing
{
    double linkBytesPerSecond = 0; // 0 = instant; 3125 for a DIN cable, 100000 and up for USB
    double sectorEraseMs = 0;      // per EraseSector
    double blockProgramMs = 0;     // per 4096-byte Data block programmed into flash
    double runTestMs = 0;          // per RunTest

    static Timing instant() { return {}; }
    // Typical values of the S29GL-S family: 128 KiB sector erase 275 ms, 512-byte buffer
    // program 340 us (so 4096 bytes in about 2.7 ms), over a USB MIDI link.
    static Timing realistic() { return { 100000.0, 275.0, 2.7, 5.0 }; }
};

enum class FaultKind
{
    PowerLoss,        // stop answering; RAM (driver) lost; flash keeps completed work; a block
                      // or erase cut by it is partly done (partialBytes)
    CablePull,        // close the connection; the instrument keeps its state
    AckStatus2,       // the Ack carries status 2 (device timed out on the flash); op not done
    AckStatus3,       // the Ack carries status 3 (time-out); op not done
    Refuse,           // the Ack carries status 1 (refused); op not done
    DropReply,        // a reply frame (Ack, ProbeReply or read frame) is not sent
    CorruptReadFrame, // one data bit of a read frame is flipped (check bytes left as computed)
    WrongCheckBytes,  // the FS check bytes of a read block are wrong (data intact; FS only)
    DelayReply,       // a reply is held back for delayMs
    DuplicateAck,     // an Ack is sent twice
    DuplicateReadFrame, // a read frame is sent twice
    Noise,            // unrelated SysEx and MIDI clock (F8) bytes around and inside a reply
    SecondInstrument, // a Probe is answered twice, as by a second instrument on the same port
    OversizeReadFrame, // before a read answer: a read frame of ours with more bytes than a block holds
};

enum class FaultPoint
{
    Frame,        // the n-th SysEx frame received from the host (any command)
    Block,        // the n-th 4096-byte block: a Data block received or a read request
    ProgramBlock, // the n-th Data block of a flash program transfer
    ReadBlock,    // the n-th read request (Address direction 1)
    Erase,        // the n-th EraseSector
    Bytes,        // the host frame during which the n-th byte from the host arrives
    Test,         // the n-th RunTest
};

struct Fault
{
    FaultKind kind = FaultKind::DropReply;
    FaultPoint point = FaultPoint::Frame;
    std::uint64_t n = 1;              // 1 = the first such event after the fault was armed
    std::uint32_t count = 1;          // replies (or probes, blocks) affected; 0 = all from then on
    std::uint32_t every = 1;          // of the chances from the trigger on, only every n-th is taken
    std::uint32_t afterMs = 0;        // DuplicateAck, DuplicateReadFrame: the copy follows this late
    std::uint32_t delayMs = 5000;     // DelayReply
    std::uint32_t partialBytes = 2048; // PowerLoss cutting a program block or an erase: bytes done
};

// "power-loss@program-block:3", "delay@read-block:2,ms=900,count=11", "noise@frame:1,count=0";
// see README.md. Returns nullopt and fills *error on a bad spec.
std::optional<Fault> parseFault (std::string_view spec, std::string* error = nullptr);
std::string describeFault (const Fault& fault);
const char* faultKindName (FaultKind kind);
const char* faultPointName (FaultPoint point);

//==============================================================================================
// Flash content

struct Identity
{
    std::array<std::uint8_t, 12> id {};   // flash bytes at 1FFF4h
    std::vector<std::uint8_t> tag;         // flash bytes at 9E0000h (2 used by the tool)

    static Identity defaults(); // id "TALVEK DM-10", tag "T1"
};

// Parses "text" or "hex:0102..." (hex digits, optional spaces). Text is padded with 00h.
std::optional<std::vector<std::uint8_t>> parseBytes (std::string_view spec, std::size_t maxSize);

// The instrument's own 128 KiB at 40000h, recognisable and different per identity.
std::vector<std::uint8_t> makeParamArea (const Identity& identity);

// An update file that the tool accepts for this identity: size a multiple of 256 KiB, 02h at
// 0 followed by a version text, "BD" at FFF8h, the identity at 1FFF4h, the tag at 9E0000h when
// the file reaches it, every other byte a pattern of the seed (never an erased-looking FFh run).
std::vector<std::uint8_t> makeUpdateImage (const Identity& identity, std::size_t size,
                                           std::uint32_t seed = 2);
bool writeUpdateFile (const std::string& path, const Identity& identity, std::size_t size,
                      std::uint32_t seed = 2, std::string* error = nullptr);

//==============================================================================================
// Driver images, as the instrument reads them

enum class DriverKind
{
    FlashDriver, // device code starts "TALVEK-FLASHDRV": a detection/work driver
    IoState,     // device code starts "TALVEK-IOSTATE": the update script's special driver
    Unknown,     // anything else: its RunTest fails and it cannot operate the flash
};

struct DriverInfo
{
    std::uint32_t size = 0;      // bytes loaded into RAM
    bool headerValid = false;    // geometry list terminated inside the image, names present
    DriverKind kind = DriverKind::Unknown;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> geometry; // (KiB, count)
    std::string mcuName, flashName;
    bool matchesChip = false;    // a FlashDriver whose flash name and geometry fit the chip
};

DriverInfo parseDriver (const std::uint8_t* image, std::size_t size, FlashChip chip);

//==============================================================================================
// What happened: the record that tests read

enum class EventKind
{
    Connected, Disconnected, ConnectionReplaced,
    Probe, ProbeReplied,
    RamLoadStarted, DriverLoaded, // DriverLoaded: after the first block; size grows per block
    RunTest,                      // status 0 pass; text = driver's flash name
    SaveIoState,                  // RunTest under the IoState driver
    Erase,                        // address = sector start byte address
    ProgramStarted,               // address = byte address of the transfer
    ProgramBlock,                 // address, length = bytes actually programmed
    ReadBlock,                    // address of the block read
    Violation,                    // program over non-erased content (see Violation)
    Rejected,                     // a command the instrument refused (text says why)
    Malformed,                    // a frame the instrument could not take (ignored)
    UnexpectedAck,                // a host Ack with no read frame waiting for it
    FaultFired,                   // text = describeFault
    PowerLost, PowerOn, CablePulled,
};
const char* eventKindName (EventKind kind);

struct Event
{
    std::uint64_t seq = 0;
    EventKind kind = EventKind::Connected;
    std::uint64_t address = 0;
    std::uint32_t length = 0;
    int status = 0;
    std::string text;
    std::uint64_t frame = 0; // host frames received by then (the one being handled included)
};

struct ProgrammedBlock
{
    std::uint64_t address = 0;
    std::uint32_t length = 0;  // bytes programmed (less than 4096 when cut by power loss)
};

struct Violation
{
    std::uint64_t blockAddress = 0;
    std::uint32_t changedUnerased = 0; // bytes that were not FFh and that the program changed
    std::uint32_t mismatched = 0;      // bytes that now differ from the data sent (0->1 needed)
};

struct TestVerdict
{
    std::string flashName;     // of the driver in RAM ("" when none)
    bool passed = false;
    bool saveIoState = false;  // run under the IoState driver
};

struct Record
{
    std::vector<Event> events;              // in order; capped (droppedEvents counts the rest)
    std::uint64_t droppedEvents = 0;
    std::map<std::uint32_t, int> eraseCounts; // sector index -> times erased
    std::vector<ProgrammedBlock> programmed;
    std::vector<Violation> violations;
    std::vector<TestVerdict> tests;
    std::vector<DriverInfo> driverLoads;
    std::uint64_t framesIn = 0, framesOut = 0, bytesIn = 0, bytesOut = 0;
    std::uint64_t probes = 0, readBlocks = 0, connections = 0;

    int eraseCount (std::uint32_t sectorIndex) const;
    std::uint64_t changedUnerasedBytes() const;
    std::uint64_t mismatchedBytes() const;
    std::size_t count (EventKind kind) const;
    std::vector<Event> eventsOf (EventKind kind) const;
};

// One line per event, as the command line's --record file has them.
std::string formatEvent (const Event& event);

//==============================================================================================
// The instrument

struct Config
{
    FlashChip chip = FlashChip::S29GL512_S;
    LinkMode mode = LinkMode::FS;
    bool omitSpeedByte = false;          // ProbeReply without its speed byte
    int readFramePackedSize = 0;         // packed payload bytes per read frame; 0 = one frame per block
    ReadFlagStyle readFlags = ReadFlagStyle::WaitForAck;
    Timing timing {};
    std::vector<Fault> faults {};        // armed at construction
    std::string flashFile {};            // if set: flash kept here (loaded now if present,
                                         // saved when changed, at power loss and at stop)
    std::string recordFile {};           // if set: every event appended as one line
    bool logToStderr = false;            // every event also printed on stderr
    std::uint32_t powerRestoreMs = 0;    // after a power-loss fault: power back after this
                                         // long; 0 = only by powerOn() or a new connection
    bool powerOnAtConnect = false;       // a new connection switches a dead instrument on
                                         // (like replugging a USB-powered one)
};

class Instrument
{
public:
    explicit Instrument (Config config = {});
    ~Instrument(); // stops the server, saves the flash file

    Instrument (const Instrument&) = delete;
    Instrument& operator= (const Instrument&) = delete;

    const Config& config() const;

    // --- Flash content (any time; a server may be running) ---
    void eraseAll();                                   // every byte FFh
    void generateContent (const Identity& identity = Identity::defaults());
    void writeFlash (std::uint64_t address, const std::vector<std::uint8_t>& bytes); // raw store
    bool loadImageFile (const std::string& path, std::string* error = nullptr);      // raw image at 0
    std::vector<std::uint8_t> readFlash (std::uint64_t address, std::size_t length) const;
    bool dumpFlash (const std::string& path, std::uint64_t address = 0, std::uint64_t length = 0,
                    std::string* error = nullptr) const; // length 0 = to the flash end
    bool saveFlashFile (const std::string& path, std::string* error = nullptr) const;
    bool loadFlashFile (const std::string& path, std::string* error = nullptr);
    std::size_t storedSectors() const; // sectors that hold anything but FFh in memory

    // --- Record ---
    Record record() const;                 // snapshot
    void clearRecord();
    // Waits until pred(record) holds or the time-out passes; true when it held.
    bool waitFor (const std::function<bool (const Record&)>& pred, std::chrono::milliseconds timeout) const;

    // --- Faults and power ---
    void injectFault (const Fault& fault); // counted from now on
    void clearFaults();
    void powerLoss();   // at once, between frames
    void powerOn();     // RAM starts empty
    void powerCycle();  // powerLoss + powerOn
    bool powered() const;
    void pullCable();   // close the current connection, if any

    // --- Socket server ---
    // Listens on a Unix-domain stream socket at path (a stale socket file there is replaced),
    // or on 127.0.0.1 for "tcp:PORT" (tcp:0: a free port; socketPath() tells which).
    bool start (const std::string& socketPath, std::string* error = nullptr);
    void stop();
    bool running() const;
    bool connected() const;
    std::string socketPath() const;

    // The state of the programmer, for tests that look inside.
    std::optional<DriverInfo> loadedDriver() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace talvek::emu
