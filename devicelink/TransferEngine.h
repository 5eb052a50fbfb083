#pragma once

// The block transfer with the instrument's programmer: driver upload, flash test, erase
// stepping, program and read streaming, the watchdog, read retries and the late-reply drain.
//
// It runs on one thread (the message thread) and reaches the outside only through its host:
// frames out, posted messages, log text, read data and the watchdog's period. Whatever ends an
// operation goes through finish(), so every ending reports in the same way.

#include "devicelink/FlashLayout.h"
#include "devicelink/Frames.h"
#include "devicelink/LinkRules.h"
#include "devicelink/ReadLedger.h"

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

    // What a port that sees every byte knows of the line from the instrument. `known` false:
    // the port delivers only whole frames, and quiet is judged from frames alone.
    struct LineActivity
    {
        bool known = false;
        bool arriving = false;        // a frame has begun and not yet ended
        std::int64_t lastBeganUs = 0; // when the latest frame began (its F0)
    };
    virtual LineActivity lineActivity() { return {}; }
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
    // Where the port sees every byte, a wait for a quiet line looks this often.
    static constexpr int quietCheckMs = 5;
    // A reply's arrival time when it is handed over at once (tests, direct calls).
    static constexpr std::int64_t arrivedNow = -1;

    explicit TransferEngine (TransferHost& host);

    void setFsMode (bool fs) { fsMode = fs; }
    bool isFsMode() const { return fsMode; }
    // Another instrument or cable: what was measured of the last link no longer holds.
    void newLink() { rules.newLink(); }

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
    int watchdogLimitTicks() const;
    int quietTicks() const;
    void sendRunTest();
    void sendDriverImage();
    void startSettling();
    void beginErase();
    void onSettleTick();
    void printf (const char* format, ...) __attribute__ ((format (printf, 2, 3)));
    void printElapsed (const char* label, std::int64_t milliseconds);
    void postProgress (int progressPhase, int a, int b);

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
    void requestNextBlockOrTrail(); // the next block, or the quiet after the last
    void endDrain();
    void sendHostAck();
    void finishRead();

    TransferHost& host;
    bool fsMode = false;

    // Where the operation stands. Which operation it is, and whether the device owes a reply
    // (the watchdog's concern), are kept beside it.
    enum class Phase
    {
        idle,     // no stream: a step's Ack awaited (upload end, erase, test), or nothing at all
        settling, // waiting for a quiet line before a driver upload or a flash test
        writing,  // Data blocks going out, each after the Ack of the one before
        reading,  // answers to the last read request are assembled into the block
        draining, // read frames counted and dropped until nothing is owed
        trailing, // every block read: one frame more means a block was taken from a copy
    };
    Phase phase = Phase::idle;
    bool readOpen() const { return phase == Phase::reading || phase == Phase::draining || phase == Phase::trailing; }

    TransferOperation operation = TransferOperation::none;
    bool awaitingReply = false;      // the watchdog counts only while the device owes a reply
    bool noOutputReported = false;   // one "no output" report per operation
    bool outputFailed = false;       // a frame the output did not take: the cable is gone
    int watchdogTicks = 0;
    int timerMs = 0;                 // the period this engine last set
    // The log's elapsed times, on the host's clock like everything else that is timed.
    std::int64_t elapsedMs() { return host.microseconds() / 1000; }
    std::int64_t startTick = 0;      // an erase's or a read's start: "Total time" of a program
    std::int64_t phaseTick = 0;

    // Write streaming
    const std::uint8_t* transferData = nullptr;
    int transferTotal = 0;
    int transferPos = 0;
    std::array<std::uint8_t, Frames::maxFrameSize> frameBuffer {};
    std::array<std::uint8_t, fsBlockSize> blockBuffer {};

    // Link timing (LinkRules): the watchdog and the quiet time of a drain stretch to twice the
    // longest block exchange measured lately, never below the fixed limits that hold on fast
    // links; an Ack sooner than a block can cross the cable is a copy. A busy host or device
    // can make a fast link look slow for a few blocks, and then its real Acks look like copies:
    // the first such Ack is held, and taken as the answer when no other comes in time.
    LinkRules rules;
    std::int64_t askedAtUs = 0;      // the last frame that asks for a reply went out
    int askedCommand = -1;           // and its command
    struct HeldAck
    {
        int statusByte = 0;
        std::int64_t arrivedUs = 0;
    };
    std::optional<HeldAck> heldAck;
    std::int64_t lastReadFrameUs = 0;
    std::int64_t lastFrameInUs = 0;  // the latest frame from the device, whatever it was

    // Settling before a driver upload or a flash test
    const std::uint8_t* uploadImage = nullptr;
    int uploadSize = 0;
    int settleQuiet = 0;
    int settleTicks = 0;
    bool settleByBytes = false;          // the line's bytes are seen: quiet is timed, not counted
    std::int64_t settleSinceUs = 0;
    std::int64_t settleLastFrameUs = 0;  // the last frame in or asking a reply out
    bool lastEndedUnanswered = false;    // the last operation timed out: its reply may yet come
    int testArgument = 0;

    // Erase stepping
    std::vector<FlashSector> sectors;
    int erasePage = 0;
    int firstSector = 0;
    int endSector = 0;
    int currentSector = 0;

    // Read streaming. What the instrument may still owe is kept by the ledger (ReadLedger.h).
    // An answer is taken only when it answers the one request still owed; any other (late,
    // copied, after a time-out or a bad frame) starts a drain: frames are counted and dropped
    // until nothing more is owed and the line has been quiet, then the block is asked for
    // again. An answer that waits for an Ack while others are owed behind it is Acked through,
    // so that they can come.
    ReadLedger ledger;
    int readBase = 0;
    int blockFill = 0;
    int takenAnswer = 0;             // the ledger's number of the answer being assembled
    int retryCount = 0;              // time-outs of the current block
    int badBlockCount = 0;           // bad copies (check bytes, oversize) of the current block
    bool readWriteFailed = false;
    bool readDataOpen = false;       // the host's destination still waits for closeReadData
    std::int64_t readStartedUs = 0;
    int drainQuiet = 0;
    int drainTicks = 0;
    bool drainDriving = false;       // Acking a held answer through so that the next can come
    int trailingQuiet = 0;
};
