#include "InterruptionSweep.h"

#include <algorithm>

namespace sweep
{
using workflowtest::readAll;

namespace
{
const juce::String succeeded = "Update completed successfully.";
const juce::String disconnected = "Device disconnected. Quit this tool and try again.";
const juce::String updating = "Updating....";

constexpr std::size_t largeSize = 0x80000;
constexpr int runTimeoutMs = 120000;

bool flashChange (emu::EventKind kind)
{
    return kind == emu::EventKind::Erase || kind == emu::EventKind::ProgramBlock;
}

std::string hex (std::uint64_t value)
{
    char text[24];
    std::snprintf (text, sizeof text, "%llXh", (unsigned long long) value);
    return text;
}

std::string describe (const FrameMap::Frame& f)
{
    switch (f.kind)
    {
        case emu::EventKind::Erase:        return "erase " + hex (f.address);
        case emu::EventKind::ProgramBlock: return "program " + hex (f.address);
        case emu::EventKind::ReadBlock:    return "read " + hex (f.address);
        case emu::EventKind::DriverLoaded: return "driver block";
        case emu::EventKind::SaveIoState:  return "save I/O state";
        case emu::EventKind::RunTest:      return "test";
        default:                           return "other";
    }
}
} // namespace

const char* resultName (Result result)
{
    switch (result)
    {
        case Result::completed:              return "completed";
        case Result::completedAfterQuestion: return "completed after the question";
        case Result::refused:                return "refused";
        case Result::falseSuccess:           return "FALSE SUCCESS";
        case Result::hang:                   return "HANG";
        case Result::notReached:             return "not reached";
    }
    return "?";
}

Sweeper::Sweeper() : bench (workflowtest::instantInstrument())
{
    bench.instrument->onEvent = [this] (const emu::Event& e)
    {
        if (e.kind == emu::EventKind::FaultFired)
            faultFired = true;
    };
    // The user finishes at home, on the unit whose update was cut, and says so when asked.
    bench.view.sameUnit = true;
    if (! bench.waitUntilReady())
    {
        setupError = "the instrument was not found: " + bench.log.all().toStdString();
        return;
    }
    small = bench.writeUpdate ("update-256k.bin", 0x40000);
    large = bench.writeUpdate ("update-512k.bin", largeSize, 3);
    smallBytes = readAll (small);
    largeBytes = readAll (large);
    initialFlash = bench.flash (0, largeSize);
    ownArea = bench.flash (0x40000, 0x20000);
}

Sweeper::~Sweeper() = default;

void Sweeper::reset (bool keepTool)
{
    if (! keepTool)
        bench.stop();
    toolReady = false;
    bench.instrument->clearFaults();
    if (! bench.instrument->powered())
        bench.instrument->powerOn();
    bench.instrument->writeFlash (0, initialFlash);
    for (const auto& f : bench.state.folder.findChildFiles (juce::File::findFilesAndDirectories, false))
        f.deleteRecursively();
    bench.view.questions.clear();
    bench.view.messages.clear();
}

const FrameMap& Sweeper::frameMap (bool wholeImage)
{
    auto& map = wholeImage ? mapA : mapB;
    if (map.has_value())
        return *map;

    map.emplace();
    reset (false);
    bench.start();
    if (! bench.waitUntilReady())
        return *map;
    bench.choose (wholeImage ? large : small);
    bench.instrument->clearRecord();
    bench.execute (true);
    if (! bench.waitForStatus (succeeded, runTimeoutMs))
        return *map;

    const auto record = bench.instrument->record();
    map->frames.resize (record.framesIn);
    for (const auto& e : record.events)
    {
        if (e.frame == 0 || e.frame > map->frames.size())
            continue;
        auto& f = map->frames[e.frame - 1];
        // A flash change outweighs whatever else the frame did.
        if (f.kind == emu::EventKind::Connected || flashChange (e.kind))
            f = { e.kind, e.address };
        if (flashChange (e.kind) && map->firstFlashChange == 0)
            map->firstFlashChange = e.frame;
    }
    return *map;
}

std::vector<Point> Sweeper::points (bool wholeImage, int sampleEvery)
{
    const auto& map = frameMap (wholeImage);
    std::vector<Point> result;
    if (map.firstFlashChange == 0)
        return result;

    auto addAll = [&] (std::uint64_t frame, const FrameMap::Frame& f)
    {
        const auto what = describe (f);
        if (f.kind == emu::EventKind::Erase)
            for (const std::uint32_t done : { 0u, 0x10000u, 0x20000u - 8u })
                result.push_back ({ frame, Cut::powerLoss, done, what });
        else if (f.kind == emu::EventKind::ProgramBlock)
        {
            for (const std::uint32_t done : { 0u, 2048u, 4096u })
                result.push_back ({ frame, Cut::powerLoss, done, what });
            // The block that holds the identity bytes (the last 12 of it): cuts inside them.
            if (f.address == 0x1F000)
                for (const std::uint32_t done : { 4085u, 4090u, 4095u })
                    result.push_back ({ frame, Cut::powerLoss, done, what });
        }
        else
            result.push_back ({ frame, Cut::powerLoss, 0, what });
        result.push_back ({ frame, Cut::cablePull, 0, what });
        result.push_back ({ frame, Cut::toolKilled, 0, what });
    };

    if (! wholeImage)
    {
        for (auto frame = map.firstFlashChange; frame <= map.frames.size(); ++frame)
            addAll (frame, map.frames[frame - 1]);
        return result;
    }

    // Script A: every erase, the first and last block of each program job, a sample of the rest.
    int sinceSample = 0;
    for (auto frame = map.firstFlashChange; frame <= map.frames.size(); ++frame)
    {
        const auto& f = map.frames[frame - 1];
        const auto* before = frame > 1 ? &map.frames[frame - 2] : nullptr;
        const auto* after = frame < map.frames.size() ? &map.frames[frame] : nullptr;
        const bool program = f.kind == emu::EventKind::ProgramBlock;
        const bool firstOrLast = program
                                 && (before == nullptr || before->kind != emu::EventKind::ProgramBlock
                                     || before->address + emu::blockSize != f.address
                                     || after == nullptr || after->kind != emu::EventKind::ProgramBlock
                                     || f.address + emu::blockSize != after->address);
        if (f.kind == emu::EventKind::Erase || firstOrLast || ++sinceSample >= sampleEvery)
        {
            sinceSample = 0;
            addAll (frame, f);
        }
    }
    return result;
}

Sweeper::Wait Sweeper::interruptAndWait (const Point& p, Outcome& out)
{
    auto& instrument = *bench.instrument;
    const bool fired = bench.runUntil ([&]
    {
        return faultFired || (p.cut == Cut::toolKilled && instrument.recordNow().framesIn >= p.frame)
               || (bench.status() != updating);
    }, runTimeoutMs);
    if (! fired)
    {
        out.result = Result::hang;
        out.detail = "the interruption never came: " + bench.status().toStdString();
        return Wait::hung;
    }
    if (bench.status() != updating)
        return Wait::ended; // ended before the frame: the caller judges the end

    switch (p.cut)
    {
        case Cut::powerLoss:
            instrument.pullCable();
            [[fallthrough]];
        case Cut::cablePull:
            if (! bench.runUntil ([&] { return bench.status() != updating; }, 30000))
            {
                out.result = Result::hang;
                out.detail = "no end after the interruption";
                return Wait::hung;
            }
            if (bench.status() == succeeded)
                return Wait::ended;
            break;
        case Cut::toolKilled:
            break;
    }
    bench.stop();
    instrument.clearFaults();
    if (! instrument.powered())
        instrument.powerOn();
    return Wait::cut;
}

std::size_t Sweeper::ownBytesLost()
{
    const auto now = bench.flash (0x40000, 0x20000);
    const auto backup = readAll (juce::File (bench.state.paths().backupFile));
    std::size_t lost = 0;
    for (std::size_t i = 0; i < ownArea.size(); ++i)
        if (now[i] != ownArea[i] && (backup.size() != ownArea.size() || backup[i] != ownArea[i]))
            ++lost;
    return lost;
}

Outcome Sweeper::run (const Case& c)
{
    const auto started = std::chrono::steady_clock::now();
    Outcome out;
    const auto& file = c.wholeImage ? large : small;
    const auto& bytes = c.wholeImage ? largeBytes : smallBytes;

    auto fault = [] (const Point& p)
    {
        emu::Fault f;
        f.point = emu::FaultPoint::Frame;
        f.n = p.frame;
        f.kind = p.cut == Cut::powerLoss ? emu::FaultKind::PowerLoss
               : p.cut == Cut::cablePull ? emu::FaultKind::CablePull
                                         : emu::FaultKind::DropReply;
        f.partialBytes = p.partial;
        return f;
    };
    auto judgeSuccess = [&]
    {
        const bool imageRight = bench.flash (0, bytes.size()) == bytes;
        const bool areaRight = c.wholeImage || bench.flash (0x40000, 0x20000) == ownArea;
        const bool asked = bench.view.questions.joinIntoString ("\n").contains ("Complete that update");
        out.result = imageRight && areaRight ? (asked ? Result::completedAfterQuestion : Result::completed)
                                             : Result::falseSuccess;
        if (! imageRight || ! areaRight)
            out.detail = imageRight ? "own area differs" : "image differs";
    };
    auto finish = [&]
    {
        out.bytesLost = c.wholeImage ? 0 : ownBytesLost();
        out.seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - started).count();
        // A tool that has just completed an update is connected and idle: the next case starts
        // with it instead of waiting for another connection.
        toolReady = out.result == Result::completed || out.result == Result::completedAfterQuestion
                    || out.result == Result::notReached;
        if (! toolReady && bench.workflow != nullptr)
            out.detail += "\n  the tool's log: " + bench.log.all().getLastCharacters (1500).replace ("\n", "\n    ").toStdString();
        if (! toolReady)
            bench.stop();
        return out;
    };

    const bool reuse = toolReady;
    reset (reuse);
    if (! reuse)
    {
        bench.start();
        if (! bench.waitUntilReady())
        {
            out.detail = "not ready before the first run";
            return finish();
        }
    }
    bench.choose (file);
    bench.instrument->clearRecord();
    faultFired = false;
    bench.instrument->injectFault (fault (c.first));
    bench.execute (true);
    if (const auto first = interruptAndWait (c.first, out); first != Wait::cut)
    {
        if (first == Wait::hung)
            return finish();
        if (bench.status() == succeeded)
        {
            judgeSuccess();
            if (out.result != Result::falseSuccess)
                out.result = Result::notReached;
        }
        else
            out.detail = "the first run ended before the frame: " + bench.status().toStdString();
        return finish();
    }

    // The user starts the tool again, picks the same file and presses Execute, until done.
    bench.view.questions.clear();
    for (int run = 1; run <= 4; ++run)
    {
        out.runs = run;
        bench.start();
        if (! bench.waitUntilReady())
        {
            out.result = Result::refused;
            out.detail = "not ready: " + bench.status().toStdString();
            return finish();
        }
        bench.choose (file);
        if (! bench.view.executeEnabled)
        {
            out.result = Result::refused;
            out.detail = "file not accepted: " + bench.view.messages.joinIntoString (" | ").toStdString() + " "
                         + bench.status().toStdString();
            return finish();
        }
        bench.instrument->clearRecord();
        const bool cutAgain = run == 1 && c.second.has_value();
        faultFired = false;
        if (cutAgain)
            bench.instrument->injectFault (fault (*c.second));
        bench.execute (true);
        if (bench.status() != updating)
        {
            out.result = Result::refused;
            out.detail = "refused at Execute: " + bench.status().toStdString();
            return finish();
        }
        if (cutAgain)
        {
            const auto second = interruptAndWait (*c.second, out);
            if (second == Wait::cut)
                continue;
            if (second == Wait::hung)
                return finish();
        }
        if (! bench.runUntil ([&] { return bench.status() != updating; }, runTimeoutMs))
        {
            out.result = Result::hang;
            out.detail = "run " + std::to_string (run) + " never ended";
            return finish();
        }
        if (bench.status() == succeeded)
        {
            judgeSuccess();
            return finish();
        }
        out.detail += "run " + std::to_string (run) + ": " + bench.status().toStdString() + "; ";
    }
    out.result = Result::refused;
    return finish();
}
} // namespace sweep
