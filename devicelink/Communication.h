#pragma once

// The device link: port discovery and probe, and the operations behind the jobs. The block
// transfer itself is the TransferEngine's; this class feeds it and is its host.
//
// Threads: everything here runs on the message thread. An input's own thread only classifies
// what arrives and hands programmer frames to the inbox (Inbox below), which the message
// thread empties; outputs write on threads of their own (OutputWriter.h).
//
// Sources, by concern:
//   Communication.cpp          the inbox, the timer, the engine's host
//   CommunicationPorts.cpp     discovery, probe windows, pairing, link mode
//   CommunicationDriver.cpp    sendDriver, testFlash, sector table
//   CommunicationFlash.cpp     eraseRange, programFile, programData, readToFile
//   FileJobs.cpp               compare, version record, lock file (no device)

#include "devicelink/Clock.h"
#include "devicelink/FlashLayout.h"
#include "devicelink/Frames.h"
#include "devicelink/MidiPorts.h"
#include "devicelink/TransferEngine.h"
#include "messages/CustomMessage.h"

#include <juce_events/juce_events.h>
#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <map>
#include <optional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CLogPrinter;

class Communication : private TransferHost
{
public:
    static constexpr int blockSize = FlashLayout::blockSize;
    static constexpr int pageSize = FlashLayout::pageSize;

    // `ports` is the set of MIDI ports to probe; null means the platform's own ports
    // (the framework's devices, ALSA raw MIDI nodes on Linux, and TALVEK_MIDI_SOCKETS). Every
    // wait, time stamp and posted message goes through `clock`, which must outlive this.
    explicit Communication (std::unique_ptr<MidiPortSystem> ports = nullptr, Clock& clock = Clock::real());
    ~Communication() override;

    juce::MessageListener* listener = nullptr; // target of every posted message
    CLogPrinter* log = nullptr;                // target of every log line

    // --- Discovery and probe ---
    void rescan();
    // Probe window end or watchdog tick; what has arrived before it is taken first.
    void timerCallback();
    // Takes every frame that has arrived (the async update does this on its own).
    void processIncoming();
    bool isConnected() const;
    bool isFsMode() const;
    bool isProbing() const { return probing; }

    // --- Operations started by the jobs ---
    // `settleFirst`: the upload starts once the line is quiet (see TransferEngine).
    void sendDriver (const std::uint8_t* data, int length, const char* name, float progressStart, float progressEnd,
                     bool settleFirst = false);
    // `settleFirst`: the test goes out once the line is quiet, so that no late or doubled reply
    // to what went before can pass for its verdict; it is logged as a confirmation.
    void testFlash (int argument, const char* name, bool settleFirst = false);
    void eraseRange (const juce::String& path, int page, int flashOffset, int length, int fileOffset,
                     float progressStart, float progressEnd);
    void programFile (const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                      float progressStart, float progressEnd);
    void programData (const std::uint8_t* data, int page, int flashOffset, int length,
                      float progressStart, float progressEnd);
    void readToFile (const juce::String& path, int page, int flashOffset, int length,
                     float progressStart, float progressEnd);
    void compareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath);

    // A file that may change on the disk during an update (its private copy) is used by the
    // jobs only while its bytes have this SHA-256 (64 hex digits), checked on the very bytes
    // that are then sent or compared. Message thread only.
    void pinContent (const juce::String& path, const juce::String& sha256);
    void clearPins();
    void readVersionInfo (const juce::String& path);
    void backupLock (const juce::String& path, int mode);


    // The sector table that the last driver upload built (copy, for tests and the workflow).
    std::vector<FlashSector> getSectors() const;

    // The watchdog's or the probe window's period (0: stopped).
    int getTimerPeriod() const { return timerPeriod; }
    // The pair in use: the output's name, empty without one.
    juce::String getSelectedOutputName() const;

private:
    // ===== The inbox: the only thing the input threads touch =====
    // Input threads append the programmer frames they receive; the message thread takes them.
    // Bounded: a message thread that stops taking frames loses the newest, which the watchdog
    // and the read retries then treat as lost on the cable.
    struct IncomingFrame
    {
        int portId = 0;
        std::int64_t arrivedUs = 0;     // on the engine's clock, when the input got it
        std::vector<std::uint8_t> body; // the bytes between F0 and F7
    };

    class Inbox
    {
    public:
        static constexpr std::size_t maxFrames = 256;
        bool push (int portId, std::int64_t arrivedUs, const std::uint8_t* body, int size); // false: full, dropped
        // Replaces `into` (whose buffers are kept for reuse) with every frame waiting.
        void takeAll (std::vector<IncomingFrame>& into);
        int takeDropped();

    private:
        std::mutex lock;
        std::vector<IncomingFrame> frames;
        std::vector<std::vector<std::uint8_t>> spare;
        int dropped = 0;
    };

    // The callback an input is opened with: it knows which open input it belongs to, so a frame
    // still queued from a port that has gone can never be taken for one of a new port.
    class InputTag final : public MidiInPortCallback
    {
    public:
        InputTag (Communication& ownerIn, int idIn) : id (idIn), owner (ownerIn) {}
        void handleIncomingMidiMessage (MidiInPort*, const juce::MidiMessage& message) override;
        void lineActivity (MidiInPort*, bool frameArriving) override;
        const int id;

    private:
        Communication& owner;
    };

    // The port is always closed before its tag goes: a port that is still open may be calling it.
    struct OpenInput
    {
        OpenInput() = default;
        OpenInput (OpenInput&&) = default;
        OpenInput& operator= (OpenInput&& other) noexcept
        {
            port.reset();
            tag = std::move (other.tag);
            port = std::move (other.port);
            return *this;
        }
        ~OpenInput() { port.reset(); }

        std::unique_ptr<InputTag> tag;
        std::unique_ptr<MidiInPort> port;
        int id() const { return tag != nullptr ? tag->id : 0; }
    };

    void dispatch (const IncomingFrame& frame);
    OpenInput openInput (const MidiPortInfo& info);

    Inbox inbox;
    std::vector<IncomingFrame> incoming;   // the batch being dispatched; its buffers go back
    int nextPortId = 1;

    // What the byte-stream inputs report of their line, from their own threads.
    struct LineState
    {
        int portId = 0; // the input that reported last; 0: none has
        bool arriving = false;
        std::int64_t beganUs = 0;
    };
    std::mutex lineLock;
    LineState lineState; // guarded by lineLock

    // ===== TransferHost =====
    LineActivity lineActivity() override;
    SendResult sendFrame (const std::uint8_t* frame, int size) override;
    void post (int code, int p1 = 0, int p2 = 0, int p3 = 0) override;
    void print (const char* text, Emphasis emphasis = Emphasis::none) override;
    bool writeReadData (const std::uint8_t* data, int size) override;
    bool closeReadData() override;
    void setTimer (int milliseconds) override;
    std::int64_t microseconds() override { return clock.nowUs(); }

    void startTimer (int milliseconds);
    void stopTimer();
    Clock& clock;
    std::unique_ptr<Clock::Timer> timer;
    int timerPeriod = 0;             // 0: stopped
    // Set off by the input threads: the message thread empties the inbox.
    std::unique_ptr<Clock::Trigger> incomingArrived;

    // ===== Ports and probe (CommunicationPorts.cpp) =====
    void scanPorts();
    void closeUnusedPorts();
    void onProbeReply (int portId, const std::uint8_t* payload, int size);
    void endProbeWindow();
    void openProbeInputs();
    void sendFrameworkProbes();
    void sendRawProbes();
    static bool isExcludedPort (const juce::String& name);
    void dropSelectedPair();
    // Counts an open of this window; a failed one is logged with its reason, once per scan.
    void countOpen (bool opened, const juce::String& portName);
    bool everyOpenDenied() const { return windowOpens > 0 && windowDenied == windowOpens; }

    std::unique_ptr<MidiPortSystem> ports;
    RawMidiOutputs rawOutputs;       // the raw probe path over the same port list
    std::vector<MidiPortInfo> inputList;   // taken at the start of the last scan
    std::vector<MidiPortInfo> outputList;
    int inputCount = 0;
    int outputCount = 0;
    std::vector<OpenInput> openInputs;     // empty entries where skipped or failed
    std::vector<std::unique_ptr<MidiOutPort>> openOutputs;
    int candidateInput = 0;                // the pair a reply chose in this window
    int candidateOutput = -1;
    OpenInput selectedInput;
    std::unique_ptr<MidiOutPort> selectedOutput;
    bool deviceFound = false;
    bool probing = false;
    int scanAttempts = 0;
    bool useFrameworkOutputs = false;
    int windowOpens = 0;                   // opens tried in this window
    int windowDenied = 0;                  // of them, refused for want of permission
    bool deniedReported = false;           // PortsDenied posted in this scan
    std::set<juce::String> loggedOpenFailures; // this scan's; one per port and reason
    std::array<std::uint8_t, Frames::maxFrameSize> probeFrame {};

    // ===== The transfer =====
    TransferEngine engine { *this };
    std::unique_ptr<juce::OutputStream> readFile;
    juce::File readFileTarget;
    std::int64_t readFileBytes = 0; // handed to readFile so far; the file must end this long

    // ===== Driver, erase, program, read starts (CommunicationDriver/Flash.cpp) =====
    std::vector<FlashSector> sectors;           // sectorCount = sectors.size()
    std::vector<std::uint8_t> driverImage;      // copy kept until the next upload
    std::vector<std::uint8_t> fileBuffer;       // whole content of the last file loaded
    std::map<juce::String, juce::String> pinnedContent; // path -> SHA-256 its bytes must have
    // A pinned file's bytes, read and checked once: later jobs take these and never the file
    // again, so a file swapped meanwhile is never mixed in, and a large file is hashed once.
    struct VerifiedCopy
    {
        juce::String path, sha256;
        std::vector<std::uint8_t> bytes;
    };
    std::optional<VerifiedCopy> verifiedCopy;
    // False (logged) when `path` is pinned and `bytes` are not what was pinned.
    bool contentAsPinned (const juce::String& path, const void* bytes, std::size_t size) const;
    int flashEnd() const;                        // end of the last sector, 0 without a table
    // Logs and returns true when a job's path is too long to be used whole.
    bool refuseLongPath (const juce::String& path);
    // Reads a whole file (at most the largest flash) into fileBuffer; false if it cannot.
    bool loadFileBuffer (const juce::String& path);
    // False (logged) when page, offset and length are negative or reach beyond any flash.
    bool checkFlashRange (int pageIn, int offsetIn, int lengthIn);
    void logText (const char* text) const;       // one line or part of one, if there is a log

    JUCE_DECLARE_NON_COPYABLE (Communication)
};
