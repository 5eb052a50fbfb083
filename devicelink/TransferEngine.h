#pragma once

// The block transfer with the instrument's programmer: driver upload, flash test, erase
// stepping, program and read streaming, the watchdog, read retries and the late-reply drain.
//
// It runs on one thread (the message thread) and reaches the outside only through its host:
// frames out, posted messages, log text, read data and the watchdog's period. Whatever ends an
// operation goes through finish(), so every ending reports in the same way.

#include "devicelink/FlashLayout.h"
#include "devicelink/Frames.h"

#include <array>
#include <optional>
#include <cstdint>
#include <vector>

// The status byte of an instrument's Ack.
enum class DeviceStatus
{
    ok,            // 0: the step is done
    flashTimedOut, // 2: the flash did not finish in the device's own time
    noResponse,    // 3: the device gave up waiting (the watchdog's silence ends the same way)
    refused,       // anything else: no driver in RAM, not a sector start, past the flash end
};

DeviceStatus deviceStatusOf (int statusByte);
// The log line that ends an operation on this status (printf-style: a refusal names the
// status byte); empty for ok, whose line is the operation's own.
const char* logLineFor (DeviceStatus status);

enum class TransferOperation
{
    none,
    driverUpload,
    flashTest,
    erase,
    program,
    read,
};

class TransferHost
{
public:
    enum class SendResult
    {
        queued,   // handed to the output's writer
        noOutput, // no instrument is selected: nothing can go out
        failed,   // the output is gone or cannot take more
    };

    enum class Emphasis
    {
        none,
        success, // bold green
        failure, // bold red
    };

    virtual ~TransferHost() = default;

    virtual SendResult sendFrame (const std::uint8_t* frame, int size) = 0;
    virtual void post (int code, int p1 = 0, int p2 = 0, int p3 = 0) = 0;
    virtual void print (const char* text, Emphasis emphasis = Emphasis::none) = 0;
    // The read's data, in order; false when the destination did not take all of it.
    virtual bool writeReadData (const std::uint8_t* data, int size) = 0;
    // The read is over: flush and close the destination; false when something was not kept.
    virtual bool closeReadData() = 0;
    // Ticks of tick() every `milliseconds`; 0 stops them.
    virtual void setTimer (int milliseconds) = 0;
    // A monotonic clock: when requests went out and replies came in. The device link stamps
    // incoming frames with it as they arrive.
    virtual std::int64_t microseconds();
};

class TransferEngine
{
public:
    static constexpr int blockSize = FlashLayout::blockSize;
    static constexpr int fsBlockSize = Frames::checkedBlockSize;
    static constexpr int maxReadRetries = 10;
    static constexpr int watchdogLimit = 8;      // the time-out fires on the ninth tick
    static constexpr int watchdogCeiling = 50;   // the count stops here
    static constexpr int watchdogMs = 500;
    static constexpr int readWatchdogMs = 80;
    // A reply's arrival time when it is handed over at once (tests, direct calls).
    static constexpr std::int64_t arrivedNow = -1;

    explicit TransferEngine (TransferHost& host);

    void setFsMode (bool fs) { fsMode = fs; }
    bool isFsMode() const { return fsMode; }
    // Another instrument or cable: what was measured of the last link no longer holds.
    void newLink() { linkFrameUs = fastestBlockUs = 0; }

    // --- Starts. Each one ends with exactly one JobFinished (through finish). ---
    // The image goes into the device's RAM after a RamLoad frame; the watchdog is left running
    // at the end for the flash test that follows.
    // `settleFirst`: as for the flash test below (a late verdict of the last driver's test must
    // not pass for the refusal of this upload).
    void startDriverUpload (const std::uint8_t* image, int size, bool settleFirst = false);
    // With `settleFirst` the test is sent only once the line has been quiet for as long as any
    // reply still on its way could take, so that a late or doubled reply to what went before
    // cannot be taken for its verdict.
    void startFlashTest (int argument, bool settleFirst = false);
    // Erases sectors [first, end) of `table`, shifted to `page`.
    void startErase (int page, std::vector<FlashSector> table, int first, int end);
    // `data` must stay valid until the operation ends.
    void startProgram (const std::uint8_t* data, int byteAddress, int length);
    // `length` bytes from `byteAddress`, already clipped to the flash (readLength); 0 ends at once.
    void startRead (int byteAddress, int length);
    // A job that cannot start: its own log line has been printed already.
    void refuseStart (int reason, bool operationFailed);

    // The bytes a read of `length` at page:offset gets from a flash ending at `flashEnd`
    // (0: to the flash end); 0 when it starts at or past the end.
    static int readLength (std::int64_t flashEnd, int page, int offset, int length);

    // --- What the device sends, and time ---
    // `arrivedUs`: when the frame came in, on the host's clock. A frame that was already there
    // before the request it would answer went out cannot be that answer, and is dropped.
    void onAck (int statusByte, std::int64_t arrivedUs = arrivedNow);
    // body: the bytes between F0 and F7
    void onReadFrame (const std::uint8_t* body, int size, std::int64_t arrivedUs = arrivedNow);
    void tick();

    TransferOperation getOperation() const { return operation; }

private:
    enum class Ending
    {
        completed,       // the operation's own success
        flashTestFailed, // the flash test's verdict: not this chip
        flashTimedOut,
        noResponse,
        refused,
        readNotKept,     // the read's data could not be written
        extraReply,      // a read frame after the last block: every block may be a copy late by one
        notStarted,      // refuseStart
    };

    void finish (Ending ending, int detail = 0, bool operationFailed = false);
    void send (const std::uint8_t* frame, int size);
    void startTimer (int milliseconds);
    std::int64_t arrival (std::int64_t arrivedUs);
    void noteFrameTime (std::int64_t us);
    // Ticks of the running period that cover `us` of link time twice over, plus one tick.
    int ticksForTwice (std::int64_t us) const;
    int watchdogLimitTicks() const;
    int quietTicks() const;
    void sendRunTest();
    void sendDriverImage();
    void startSettling();
    void onSettleTick();
    void printf (const char* format, ...) __attribute__ ((format (printf, 2, 3)));
    void printElapsed (const char* label, std::int64_t milliseconds);
    void postProgress (int phase, int a, int b);

    void startTransfer (const std::uint8_t* data, int address, int length, bool toFlash);
    void loadNextBlock();
    void sendBlock();
    void onStatus (DeviceStatus status, int statusByte);
    void onNoReply();
    bool eraseNextSector();

    void requestReadBlock();
    bool takeReadBlock();
    void onBadReadBlock (bool drainFirst);
    void startDrain();
    void onDrainTick();
    void onTrailingTick();
    void finishRead();

    TransferHost& host;
    bool fsMode = false;

    TransferOperation operation = TransferOperation::none;
    bool awaitingReply = false;      // the watchdog counts only while the device owes a reply
    bool noOutputReported = false;   // one "no output" report per operation
    bool outputFailed = false;       // a frame the output did not take: the cable is gone
    int watchdogTicks = 0;
    int timerMs = 0;                 // the period this engine last set
    std::int64_t startTick = 0;      // an erase's or a read's start: "Total time" of a program
    std::int64_t phaseTick = 0;

    // Write streaming
    bool transferActive = false;
    const std::uint8_t* transferData = nullptr;
    int transferTotal = 0;
    int transferPos = 0;
    std::array<std::uint8_t, Frames::maxFrameSize> frameBuffer {};
    std::array<std::uint8_t, fsBlockSize> blockBuffer {};

    // Link timing. Frames carry no request id, so what tells a lost reply from a slow one is
    // time. A DIN cable (3125 bytes/s) takes 1.5 s for one block frame; USB a few ms. The
    // watchdog and the quiet time of a drain are therefore stretched to twice the longest
    // block exchange measured lately (a Data block to its Ack, a read request to its frame),
    // never below the fixed limits that hold on fast links.
    std::int64_t askedAtUs = 0;      // the last frame that asks for a reply went out
    int askedCommand = -1;           // and its command
    // The quickest a Data block has been answered on this link. Every block must cross the
    // cable before its Ack can leave, so an Ack that comes in far sooner after a block went
    // out (a sixteenth of that: more than any flash program time varies) is a copy of the Ack
    // before, sent twice. Timed only on links slow enough to tell (16 ms a block and up, so
    // the margin is a millisecond or more); on faster ones the copy arrives before the next
    // block goes out. Erase Acks are not timed: a driver may skip a blank sector.
    // A busy host or device can make a fast link look that slow for a few blocks, and then its
    // real Acks look like copies: the first such Ack is held, and taken as the answer when no
    // other comes within twice the fastest exchange.
    std::int64_t fastestBlockUs = 0;
    struct HeldAck
    {
        int statusByte = 0;
        std::int64_t arrivedUs = 0;
    };
    std::optional<HeldAck> heldAck;
    std::int64_t linkFrameUs = 0;    // decays by 1/8 per exchange towards what is measured
    std::int64_t lastReadFrameUs = 0;
    std::int64_t blockAskedAtUs = 0; // the first request of the current read block

    // Settling before a driver upload or a flash test
    const std::uint8_t* uploadImage = nullptr;
    int uploadSize = 0;
    bool settling = false;
    int settleQuiet = 0;
    int settleTicks = 0;
    int testArgument = 0;

    // Erase stepping
    std::vector<FlashSector> sectors;
    int erasePage = 0;
    int firstSector = 0;
    int endSector = 0;
    int currentSector = 0;

    // Read streaming. A block asked for again after a time-out may still be answered late,
    // once per request (the device answers requests in turn). The first frame after such a
    // request starts a drain: device frames are ignored, without host Acks, until the line has
    // been quiet for a few read-watchdog ticks; then the block is asked for once more, and only
    // that answer is taken.
    bool readActive = false;
    int readBase = 0;
    int blockFill = 0;
    int retryCount = 0;              // time-outs of the current block
    int badBlockCount = 0;           // bad copies (check bytes, oversize) of the current block
    bool readWriteFailed = false;
    bool readDataOpen = false;       // the host's destination still waits for closeReadData
    bool lateRepliesPossible = false;
    bool readDraining = false;
    int drainQuiet = 0;
    int drainTicks = 0;
    // After the last block the line must stay quiet for a drain's quiet time: one frame more
    // than was asked for means a copy (a doubled reply, one held back past the drain) was taken
    // for a block somewhere, and that every block after it may be one behind.
    bool readTrailing = false;
    int trailingQuiet = 0;
};
