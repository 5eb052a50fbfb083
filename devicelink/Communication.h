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

#include "messages/CustomMessage.h"

#include <juce_events/juce_events.h>
#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLogPrinter;
class MidiPortSystem;
class MidiInPort;
class MidiOutPort;

// One flash sector: start byte address and size in bytes.
struct FlashSector
{
    int start = 0;
    int size = 0;
};

class Communication : private juce::Timer
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

    static constexpr int blockSize = 4096;
    static constexpr int fsBlockSize = 4100;   // read block with its four check bytes
    static constexpr int frameBufferSize = 8192;
    static constexpr int pageSize = 0x20000;
    static constexpr int maxPathUnits = 259;   // longest path a job accepts

    // `ports` is the set of MIDI ports to probe; null means the platform's own ports
    // (the framework's devices, ALSA raw MIDI nodes on Linux, and TALVEK_MIDI_SOCKETS).
    explicit Communication (std::unique_ptr<MidiPortSystem> ports = nullptr);
    ~Communication() override;

    juce::MessageListener* listener = nullptr; // target of every posted message
    CLogPrinter* log = nullptr;                // target of every log line

    // --- Discovery and probe ---
    void rescan();
    // The framework's input callback, reached through the port layer (MIDI input thread).
    void handleIncomingMidiMessage (MidiInPort* source, const juce::MidiMessage& message);
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
    // --- Serialisation ---
    // The MIDI input thread (handleIncomingMidiMessage) and the message thread (timer, operation
    // starts, rescan) share every member below. Each entry point holds `lock` for its whole run;
    // it is re-entrant so that an operation may call another part of the engine. Ports are never
    // stopped or deleted while it is held: stopping an input joins its reader thread, which may
    // be waiting for this lock.
    juce::CriticalSection lock;

    // ===== Ports and probe (CommunicationPorts.cpp) =====
    void scanPorts();
    void closeUnusedPorts();
    void onProbeReply (MidiInPort* source, const std::uint8_t* payload, int size);
    void endProbeWindow();

    std::unique_ptr<MidiPortSystem> ports;
    int inputCount = 0;
    int outputCount = 0;
    std::vector<std::unique_ptr<MidiInPort>> openInputs;
    std::vector<std::unique_ptr<MidiOutPort>> openOutputs;
    MidiInPort* selectedInput = nullptr;   // owned by the matching entry of the owned ports below
    MidiOutPort* selectedOutput = nullptr;
    std::unique_ptr<MidiInPort> selectedInputOwner;
    std::unique_ptr<MidiOutPort> selectedOutputOwner;
    bool deviceFound = false;
    bool probing = false;
    int scanAttempts = 0;
    bool useFrameworkOutputs = false;
    bool fsMode = false;

    // ===== Transactions (CommunicationTransfer.cpp) =====
    // Sends one whole frame through the selected output; false (and nothing sent) without one.
    bool sendFrame (const std::uint8_t* frame, int size);
    void startTransfer (const std::uint8_t* data, int address, int length, bool toFlash);
    void sendBlock();
    void startRead();
    void requestReadBlock (int byteAddress);
    void onAck (int status);
    void onReadFrame (const std::uint8_t* payload, int size);
    void onReadBlock();
    void onStatus (int status);
    bool eraseNextSector();
    void postProgress (int phase, int a, int b);
    void post (int code, int p1 = 0, int p2 = 0, int p3 = 0);
    void printElapsed (const char* label, std::int64_t milliseconds);

    std::array<std::uint8_t, frameBufferSize> frameBuffer {};
    Operation operation = opNone;
    int watchdogTicks = 0;
    bool transferActive = false;
    const std::uint8_t* transferData = nullptr;
    int transferTotal = 0;
    int transferPos = 0;
    std::array<std::uint8_t, fsBlockSize> blockBuffer {};
    int blockFill = 0;
    int retryCount = 0;
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
};
