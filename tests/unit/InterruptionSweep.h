#pragma once

// Interrupts an update at a chosen host frame (power lost with the cut erase or program done
// for some of its bytes, cable pulled, tool killed), then runs the tool again as a user would
// until the update completes, and judges the end: the flash must equal the file, the
// instrument's own 128 KiB at 40000h their content before the first run, and no run may have
// reported success over a wrong flash. The emulated instrument keeps its flash across all of it.
// Everything runs in simulated time (SimulatedBench.h): a case takes milliseconds.

#include "SimulatedBench.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sweep
{
namespace emu = talvek::emu;
using workflowtest::SimBench;

enum class Cut
{
    powerLoss,  // the instrument goes dead in the middle of the frame; a USB one also drops off
    cablePull,  // the connection goes as the frame arrives: the frame is lost
    toolKilled, // the frame is carried out, its reply never read: the tool is gone
};

struct Point
{
    std::uint64_t frame = 0;     // host frames counted from the run's Execute, 1 = the first
    Cut cut = Cut::cablePull;
    std::uint32_t partial = 0;   // power loss: bytes of the cut erase or program block done
    std::string what;            // what the frame does, for the report
};

struct Case
{
    bool wholeImage = false;          // a file larger than 256 KiB: the whole image is rewritten
    Point first;
    std::optional<Point> second;      // in the first recovery run
};

enum class Result
{
    completed,
    completedAfterQuestion, // the user confirmed the instrument whose identity was unreadable
    refused,                // never completed: every run ended refused or failed
    falseSuccess,           // success reported over a wrong flash
    hang,                   // a run never reached an end
    notReached,             // the frame lies beyond the update's end: nothing was cut
};

const char* resultName (Result result);

struct Outcome
{
    Result result = Result::hang;
    std::size_t bytesLost = 0; // of the instrument's own area, neither in the flash nor backed up
    int runs = 0;              // runs after the interruption
    std::string detail;
    double seconds = 0;
};

// What the host frames of an uninterrupted update do, from a reference run.
struct FrameMap
{
    struct Frame
    {
        emu::EventKind kind = emu::EventKind::Connected; // Connected: nothing recorded (an Ack, an address)
        std::uint64_t address = 0;
    };
    std::vector<Frame> frames;      // index 0 = frame 1
    std::uint64_t firstFlashChange = 0;
};

class Sweeper
{
public:
    Sweeper();
    ~Sweeper();

    bool ready() const { return setupError.empty(); }
    std::string setupError;

    const FrameMap& frameMap (bool wholeImage);

    // The interruption points of a script: for B every frame from the first flash change to the
    // end (power loss: none, half and all of an erase or block, and cuts inside the identity
    // bytes); for A every erase, the first and last block of each program job and every
    // `sampleEvery`-th of the others.
    std::vector<Point> points (bool wholeImage, int sampleEvery = 16);

    Outcome run (const Case& c);

private:
    // The instrument's flash as before the first run, no files of an update; the tool is
    // started again unless `keepTool`.
    void reset (bool keepTool);
    enum class Wait { cut, ended, hung };
    Wait interruptAndWait (const Point& p, Outcome& out);
    std::size_t ownBytesLost();

    SimBench bench;
    bool faultFired = false; // since the fault was armed
    juce::File small, large;
    std::vector<std::uint8_t> smallBytes, largeBytes;
    std::vector<std::uint8_t> initialFlash; // 0 to the end of the large file
    std::vector<std::uint8_t> ownArea;
    std::optional<FrameMap> mapB, mapA;
    bool toolReady = false; // the tool runs, connected and idle
};
} // namespace sweep
