#pragma once

#include <juce_events/juce_events.h>

#include <memory>
#include <string>

// Every report from worker code to the user interface is one of these, posted through the
// framework's message queue and handled on the message thread.
namespace MessageCode
{
enum : int
{
    // To the log view.
    LogAppendText    = 0x4000, // data: text to append
    LogSetBold       = 0x4001, // param1: 1 bold, 0 normal
    LogSetTextColour = 0x4002, // param1: ARGB
    LogSetFontHeight = 0x4003, // param1: height in pixels
    LogClear         = 0x4004,
    LogSetFontName   = 0x4005, // data: typeface name

    // To the main component.
    ScanStarted      = 0x5000,
    DeviceConnected  = 0x5001, // param1: 1 FS, 0 HS
    DeviceNotFound   = 0x5002,
    MultipleDevices  = 0x5003,
    OperationState   = 0x5004, // param1: 0 started, 1 failed
    Progress         = 0x5005, // param1: phase 0..4, param2/param3 by phase
    LinkState        = 0x5006, // param1: 0 scanning, 1 connected
    JobFinished      = 0x5007, // param1: 0 success, 1 failure; param2: FailureReason
    NoOutputDevice   = 0x5008, // a frame had no output to go to: the window shows "No out device"
    VersionInfo      = 0x500D, // data: 143-unit version record
    PortsDenied      = 0x500E, // every port that could be the instrument refused to open for want
                               // of permission; at the end of a scan it stands for DeviceNotFound
};
} // namespace MessageCode

// Phases of a Progress message (param1).
namespace ProgressPhase
{
enum : int
{
    None    = 0, // nothing to show
    Erase   = 1, // sectors erased / sectors to erase
    Write   = 2, // bytes acknowledged / bytes to write
    Read    = 3, // bytes read / bytes to read
    Range   = 4, // the running job's share of the bar, in tenths of a percent
};
} // namespace ProgressPhase

// param2 of a failed JobFinished.
namespace FailureReason
{
enum : int
{
    None             = 0,
    ReadFileNotMade  = 1, // the file that was to receive read data was not created
    FilesDiffer      = 2,
    LockNotCreated   = 3,
    LockNotDeleted   = 4,
    NoResponse       = 5, // the device gave no response
    // Failures that would otherwise leave a script waiting for a message that never comes:
    SourceNotOpened  = 6, // a file the job reads (to program or to compare) could not be opened
    FlashFailed      = 7, // the device reported a failure while operating the flash (status 2)
                          // or refused a driver, erase, program or read step (another status)
    JobRefused       = 8, // the job cannot run as given: no usable geometry in the driver image,
                          // a flash offset not at a sector start, nothing to erase or read, an
                          // offset beyond the end of its file, no data to program
};
} // namespace FailureReason

class CCustomMessage : public juce::Message
{
public:
    // The message owns `data`, so it is released whether or not it is ever delivered.
    CCustomMessage (int codeIn, int p1 = 0, int p2 = 0, int p3 = 0,
                    std::unique_ptr<std::u16string> dataIn = nullptr)
        : code (codeIn), param1 (p1), param2 (p2), param3 (p3), data (std::move (dataIn))
    {
    }

    const int code;
    const int param1;
    const int param2;
    const int param3;
    const std::unique_ptr<std::u16string> data;
};

// Posts a message from any thread; a null listener drops it.
inline void postCustomMessage (juce::MessageListener* target, int code, int p1 = 0, int p2 = 0,
                               int p3 = 0, std::unique_ptr<std::u16string> data = nullptr)
{
    if (target != nullptr)
        target->postMessage (new CCustomMessage (code, p1, p2, p3, std::move (data)));
}
