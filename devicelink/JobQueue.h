#pragma once

// The script of device jobs: the owner clears it, appends jobs and calls runNext(); each job
// starts one operation of `communication`, which reports the job's end with a posted
// JobFinished; the owner's message handler then calls runNext() again or stops.
// Used on the message thread only.

#include "devicelink/FlashLayout.h"
#include "devicelink/Communication.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class MidiPortSystem;

enum class JobKind : int
{
    None             = 0, // `current` after the script has run out
    SendDriver       = 2,
    TestFlash        = 3,
    EraseRange       = 4,
    EraseParamSector = 5,
    ProgramFile      = 6,
    ProgramData      = 7,
    ReadToFile       = 8,
    CompareFiles     = 9,
    ReadVersionInfo  = 10,
    SaveIoState      = 11,
    BackupLock       = 12,
};

// An 8-bit name, always zero-terminated within its 18 bytes.
using JobName = std::array<char, 18>;

// Copies at most 17 characters of `text` (stopping at its terminator) and zero-fills the rest;
// a null text gives an empty name.
JobName makeJobName (const char* text);

// One job record, copied by value. Each kind uses only the fields listed for it; the others
// keep their defaults.
struct FlashJob
{
    JobKind kind = JobKind::None;

    // SendDriver, TestFlash, ProgramData: memory owned by the caller, valid until the job ran.
    const std::uint8_t* data = nullptr;
    int dataLength = 0;          // SendDriver, TestFlash: image length

    JobName name {};             // SendDriver: flash name printed in the log
    JobName mcuName {};          // TestFlash
    JobName flashName {};        // TestFlash
    int argument = 0;            // TestFlash, SaveIoState: test argument, always 0
    bool settleFirst = false;    // SendDriver, TestFlash: started only once the line is quiet

    juce::String path;           // EraseRange, ProgramFile, ReadToFile, ReadVersionInfo, BackupLock;
                                 // CompareFiles: the written file
    juce::String readBackPath;   // CompareFiles: the file read back from flash

    int page = 0;                // EraseRange, EraseParamSector, ProgramFile, ProgramData, ReadToFile
    int flashOffset = 0;         // same kinds
    int length = 0;              // same kinds; 0 means as much as the source or the flash holds
    int fileOffset = 0;          // EraseRange, ProgramFile; CompareFiles: offset into the written file
    int mode = 0;                // BackupLock: 0 create, 1 delete

    float progressStart = 0.0f;  // percent of the overall bar this job fills
    float progressEnd = 0.0f;
};

class JobQueue
{
public:
    static constexpr int paramSectorOffset = FlashLayout::paramAreaOffset;
    static constexpr int paramSectorLength = FlashLayout::paramAreaLength;
    static constexpr const char* noFilePath = "***"; // erase path that stands for no file

    // `ports` and `clock` are handed to the owned Communication (null: the platform's MIDI ports).
    explicit JobQueue (std::unique_ptr<MidiPortSystem> ports = nullptr, Clock& clock = Clock::real());
    ~JobQueue();

    void clear();

    void addSendDriver (const std::uint8_t* data, int length, const char* name,
                        float progressStart, float progressEnd, bool settleFirst = false);
    void addTestFlash (const char* mcuName, const char* flashName, const std::uint8_t* data, int length,
                       bool settleFirst = false);
    void addEraseRange (const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                        float progressStart, float progressEnd);
    void addEraseParamSector (float progressStart, float progressEnd);
    void addProgramFile (const juce::String& path, int page, int fileOffset, int flashOffset, int length,
                         float progressStart, float progressEnd);
    void addProgramData (const std::uint8_t* data, int flashOffset, int length,
                         float progressStart, float progressEnd);
    void addReadToFile (const juce::String& path, int page, int flashOffset, int length,
                        float progressStart, float progressEnd);
    void addCompareFiles (const juce::String& writtenPath, int offset, const juce::String& readBackPath);
    void addReadVersionInfo (const juce::String& path);
    void addSaveIoState();
    void addBackupLock (const juce::String& path, int mode);
    // Appends any record as it is (a kind outside 2..12 is skipped when its turn comes).
    void add (const FlashJob& job);

    // 1: the script is finished and nothing was started; 0: the next job was started
    // (or skipped, for an unknown kind).
    int runNext();
    // A job was started and has not reported its end yet (JobFinished, or VersionInfo for a
    // version record): the link is busy.
    bool isRunning() const { return running; }
    // The owner got the running job's report.
    void finishCurrent() { running = false; }
    // False only when the next job to run is a SendDriver.
    bool noDriverUploadNext() const;
    // Skips the jobs before the next SendDriver; false (everything skipped) when none is left.
    bool skipToNextDriverUpload();
    void rescan();

    const std::vector<FlashJob>& getJobs() const { return jobs; }
    unsigned int getNextIndex() const { return nextIndex; }

private:
    std::vector<FlashJob> jobs;
    unsigned int nextIndex = 0;
    bool running = false;

public:
    FlashJob current;            // copy of the job started last; kind None once the script ran out
    Communication communication; // declared last, so it is destroyed first
};
