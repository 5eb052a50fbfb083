#pragma once

// The device link: port discovery and probe, transactions with the instrument's programmer,
// and the driver, flash and file operations behind the jobs.
//
// Sources, by concern:
//   CommunicationPorts.cpp     discovery, probe windows, pairing, link mode
//   CommunicationTransfer.cpp  reply matching, write/read streaming, watchdog, onStatus
//   CommunicationDriver.cpp    sendDriver, testFlash, sector table
//   CommunicationFlash.cpp     eraseRange, programFile, programData, readToFile
//   CommunicationFiles.cpp     compareFiles, readVersionRecord, readVersionInfo, backupLock

#include "devicelink/FlashLayout.h"
#include "devicelink/Frames.h"
#include "devicelink/MidiPorts.h"
#include "messages/CustomMessage.h"

#include <juce_events/juce_events.h>
#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLogPrinter;

// One flash sector: start byte address and size in bytes.
struct FlashSector
{
    int start = 0;
    int size = 0;
};

class Communication : private MidiInPortCallback, private juce::Timer
{
public:
    enum Operation : int
    {
        opNone = -1,
        opDriverUpload = 0,
        opFlashTest = 1,
        opErase = 2,
        opProgram = 3,
        opRead = 5,
    };

    static constexpr int blockSize = FlashLayout::blockSize;
    static constexpr int fsBlockSize = 4100;   // read block with its four check bytes
    static constexpr int frameBufferSize = 8192;
    static constexpr int pageSize = FlashLayout::pageSize;
    static constexpr int maxPathUnits = 259;   // longest path a job accepts

    // `ports` is the set of MIDI ports to probe; null means the platform's own ports
    // (the framework's devices, ALSA raw MIDI nodes on Linux, and TALVEK_MIDI_SOCKETS).
    explicit Communication (std::unique_ptr<MidiPortSystem> ports = nullptr);
    ~Communication() override;

    juce::MessageListener* listener = nullptr; // target of every posted message
    CLogPrinter* log = nullptr;                // target of every log line

    // --- Discovery and probe ---
    void rescan();
    // The input callback, reached through the port layer (on the input's own thread).
    void handleIncomingMidiMessage (MidiInPort* source, const juce::MidiMessage& message) override;
    void timerCallback() override; // probe window end, or the transfer watchdog
    bool isConnected() const;
    bool isFsMode() const;

    // --- Operations started by the jobs (message thread) ---
    void sendDriver (const std::uint8_t* data, int length, const char* name, float progressStart, float progressEnd);
    void testFlash (int argument, const char* name);
    void eraseRange (const juce::String& path, int page, int flashOffset, int length, int fileOffset,
                     float progressStart, float progressEnd);
    void programFile (const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                      float progressStart, float progressEnd);
    void programData (const std::uint8_t* data, int page, int flashOffset, int length,
                      float progressStart, float progressEnd);
    void readToFile (const juce::String& path, int page, int flashOffset, int length,
                     float progressStart, float progressEnd);
    void compareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath);
    void readVersionInfo (const juce::String& path);
    void backupLock (const juce::String& path, int mode);

    // 143 UTF-16 units: the first 12 bytes of the file, one unit each, then zeros; or "error".
    static std::unique_ptr<std::u16string> readVersionRecord (const juce::String& path);
    static constexpr int versionRecordUnits = 143;

    // The sector table that the last driver upload built (copy, for tests and the workflow).
    std::vector<FlashSector> getSectors() const;

    // The implementation detail below is shared by the Communication*.cpp files.
private:
    friend struct CommunicationTestAccess; // tests and benchmarks reach the engine directly

    // --- Serialisation ---
    // Every member below is shared by the input threads (handleIncomingMidiMessage) and the
    // message thread (timer, operation starts, rescan, destruction). Each entry point holds
    // `lock` for its whole run: an operation start (driver, flash and file operations included)
    // takes `const juce::ScopedLock sl (lock);`, the port and probe entry points take an
    // EntryLock. The lock is re-entrant, so one part of the engine may call another.
    //
    // Ports are never stopped or destroyed while the lock is held: stopping an input joins its
    // reader thread, which may be waiting for the lock in handleIncomingMidiMessage. A port that
    // goes out of use is moved to the retired lists instead, and the outermost EntryLock on the
    // message thread destroys them after releasing the lock. Input threads never retire ports.
    //
    // The timer is the framework's, started and stopped from either thread (it has its own
    // lock, which it does not hold while calling timerCallback). The wrappers below hide the
    // base class's pair so that every start and stop in the engine is recorded in timerPeriod:
    // a tick that was already on its way when the timer was stopped is ignored.
    juce::CriticalSection lock;

    class EntryLock
    {
    public:
        explicit EntryLock (Communication& owner);
        ~EntryLock();

    private:
        Communication& owner;
        JUCE_DECLARE_NON_COPYABLE (EntryLock)
    };

    void startTimer (int milliseconds);
    void stopTimer();
    int timerPeriod = 0;             // 0: stopped
    bool frameworkTimer = true;      // false: tests drive timerCallback themselves
    int entryDepth = 0;
    std::vector<std::unique_ptr<MidiInPort>> retiredInputs;
    std::vector<std::unique_ptr<MidiOutPort>> retiredOutputs;

    // ===== Ports and probe (CommunicationPorts.cpp) =====
    void scanPorts();
    void closeUnusedPorts();
    // payload: the bytes between F0 and F7 of an accepted ProbeReply.
    void onProbeReply (MidiInPort* source, const std::uint8_t* payload, int size);
    void endProbeWindow();
    void openProbeInputs();
    void sendFrameworkProbes();
    void sendRawProbes();
    bool isProbeInput (const MidiInPort* port) const;
    static bool isExcludedPort (const juce::String& name);
    void retire (std::unique_ptr<MidiInPort> port);
    void retire (std::unique_ptr<MidiOutPort> port);
    void dropSelectedPair();
    void destroyRetiredPorts();       // may release the lock for a moment

    std::unique_ptr<MidiPortSystem> ports;
    RawMidiOutputs rawOutputs;       // the raw probe path over the same port list
    std::vector<MidiPortInfo> inputList;   // taken at the start of the last scan
    std::vector<MidiPortInfo> outputList;
    int inputCount = 0;
    int outputCount = 0;
    std::vector<std::unique_ptr<MidiInPort>> openInputs;   // null where skipped or failed
    std::vector<std::unique_ptr<MidiOutPort>> openOutputs;
    MidiInPort* selectedInput = nullptr;   // in openInputs during a window, then in the owner
    MidiOutPort* selectedOutput = nullptr;
    std::unique_ptr<MidiInPort> selectedInputOwner;
    std::unique_ptr<MidiOutPort> selectedOutputOwner;
    bool deviceFound = false;
    bool probing = false;
    int scanAttempts = 0;
    bool useFrameworkOutputs = false;
    bool fsMode = false;

    // ===== Transactions (CommunicationTransfer.cpp) =====
    static constexpr int maxReadRetries = 10;
    static constexpr int watchdogLimit = 8;  // the time-out fires on the ninth tick

    // Sends one whole frame through the selected output; false (and nothing sent) without one
    // or when the port fails. A frame that asks the device for a reply arms the watchdog.
    bool sendFrame (const std::uint8_t* frame, int size);
    void warnNoOutput();
    void startTransfer (const std::uint8_t* data, int address, int length, bool toFlash);
    void loadNextBlock();
    void sendBlock();
    void startRead();
    void requestReadBlock (int byteAddress);
    void onAck (int status);
    // payload: the bytes between F0 and F7 of an accepted device Data frame.
    void onReadFrame (const std::uint8_t* payload, int size);
    bool onReadBlock();              // false: the block was bad and has been asked for again
    void onBadReadBlock (bool drainFirst);
    void startDrain();
    void onDrainTick();
    void finishRead();
    void abandonRead();              // the read block's retries are used up
    void endOperation();             // nothing owed by the device any more
    void onStatus (int status);
    void onRefused (int status);     // a status other than 0, 2, 3 for a driver, flash or read step
    bool eraseNextSector();
    void postProgress (int phase, int a, int b);
    void post (int code, int p1 = 0, int p2 = 0, int p3 = 0);
    void printElapsed (const char* label, std::int64_t milliseconds);

    std::array<std::uint8_t, frameBufferSize> frameBuffer {};
    Operation operation = opNone;
    int watchdogTicks = 0;
    bool awaitingReply = false;      // the watchdog counts only while the device owes a reply
    bool transferActive = false;
    bool readActive = false;         // read frames are taken only while a read runs
    const std::uint8_t* transferData = nullptr;
    int transferTotal = 0;
    int transferPos = 0;
    std::array<std::uint8_t, fsBlockSize> blockBuffer {};
    int blockFill = 0;
    int retryCount = 0;              // time-outs of the current read block
    int badBlockCount = 0;           // bad copies (check bytes, oversize) of the current read block
    // A read block asked for again after a time-out may still be answered late, once per
    // request (the device answers requests in turn). The first frame after such a request
    // starts a drain: device frames are ignored, without host Acks, until the line has been
    // quiet for a few read-watchdog ticks; then the block is asked for once more, and only that
    // answer is taken. A device waiting for a host Ack between frames must drop that block
    // when the next command arrives.
    bool lateRepliesPossible = false;
    bool readDraining = false;
    int drainQuiet = 0;              // ticks since the last frame of a drain
    int drainTicks = 0;              // ticks since the drain began
    std::unique_ptr<juce::FileOutputStream> readFile;
    int baseAddress = 0;
    std::int64_t startTick = 0;
    std::int64_t phaseTick = 0;

    // ===== Driver upload and flash test (CommunicationDriver.cpp) =====
    std::vector<FlashSector> sectors;           // sectorCount = sectors.size()
    std::vector<std::uint8_t> driverImage;      // copy kept until the next upload

    // ===== Erase, program, read (CommunicationFlash.cpp) =====
    int page = 0;
    int flashOffset = 0;
    int fileOffset = 0;
    int length = 0;
    int programLength = 0;
    int firstSector = 0;
    int endSector = 0;
    int currentSector = 0;
    std::vector<std::uint8_t> fileBuffer;       // whole content of the last file loaded
    int flashEnd() const;                        // end of the last sector, 0 without a table
    // Ends the job being started with a failure: OperationState (1) when asked, then
    // JobFinished (1, reason); stops the watchdog so that it cannot report the job again.
    void failJob (int reason, bool postOperationFailed);
    // Logs and returns true when a job's path is too long to be used whole.
    bool refuseLongPath (const juce::String& path);
    // Reads a whole file (at most the largest flash) into fileBuffer; false if it cannot.
    bool loadFileBuffer (const juce::String& path);
    // False (logged) when page, offset and length are negative or reach beyond any flash.
    bool checkFlashRange (int pageIn, int offsetIn, int lengthIn);
    void logText (const char* text) const;       // one line or part of one, if there is a log
};
