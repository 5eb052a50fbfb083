// talvek_update_bench: one whole update by the terminal tool against the emulated instrument,
// timed from the frames on the line. Prints figures; asserts nothing.
//
// The bench starts talvek-instrument at the given link rate and flash timing, puts a relay of
// its own between the tool and the instrument's socket (the tool finds the relay through
// TALVEK_MIDI_SOCKETS), stamps every SysEx frame in both directions there and runs
// `talvek-update update FILE --yes --json` with a state folder of its own.
//
// The emulator handles one thing at a time: a host frame crosses the cable (its bytes at the
// link rate), then the flash works (erase, program, test), then the reply crosses the cable.
// Replaying the stamps through that model gives, at every moment, the time the line becomes
// free; whatever lies between "free" and the next frame is excess, and is split by whose turn
// it was:
//   - before an instrument frame: the instrument (emulator) was late;
//   - before a host frame: the tool's time; the tool's own CPU time within it (all threads,
//     from /proc) is local work, its time runnable while other programs had the CPUs is
//     waiting for a CPU, and the rest is turnaround when it is short and a quiet wait when it
//     is longer than --turnaround-limit-ms.
// A disk sync blocks without CPU, so it shows as a quiet wait, not as local work.
//
// Linux only (posix_spawn, /proc, Unix-domain sockets).

#include "devicelink/Frames.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace
{
const char* usage = R"(Usage: talvek_update_bench [options]

Runs one update with the terminal tool against the emulated instrument through a relay that
stamps every frame, and prints the bound (bytes on the line at the link rate plus the flash
times), the measured time, their ratio and where the excess went.

  --rate BPS               link rate in bytes per second (default 100000; DIN cable: 3125)
  --erase-ms MS            sector erase time (default 275)
  --program-ms MS          time to program one 4096-byte block (default 2.7)
  --test-ms MS             flash test time (default 5)
  --size SIZE              update file size: 256K (default) or up to 10M, in 256K steps
  --tool PATH              the talvek-update to measure (default: the one of this build)
  --instrument PATH        the talvek-instrument to run (default: the one of this build)
  --emulator-arg ARG       one more option for the instrument (repeatable)
  --timeout S              stop the tool (SIGTERM twice) after S seconds (default 1800)
  --turnaround-limit-ms MS a tool gap longer than this (less its CPU time) is a quiet wait
                           (default 50)
  --work DIR               scratch folder (default: a new one under the system's temp
                           folder, removed at the end)
  --keep                   keep the scratch folder (frame stamps in frames.tsv, the tool's
                           output, the instrument's events)
  --label TEXT             the case's name in the markdown row
  --row                    print the markdown row (see bench/update-bench.sh); the report
                           goes to stderr
  --help                   this text
)";

using Clock = std::chrono::steady_clock;

[[noreturn]] void die (const std::string& message)
{
    std::fprintf (stderr, "talvek_update_bench: %s\n", message.c_str());
    std::exit (2);
}

double number (const std::string& option, const std::string& text)
{
    char* end = nullptr;
    const double v = std::strtod (text.c_str(), &end);
    if (end == text.c_str() || *end != 0 || v < 0 || ! std::isfinite (v))
        die (option + ": not a number: " + text);
    return v;
}

std::uint64_t size (const std::string& text)
{
    std::string s = text;
    std::uint64_t mult = 1;
    if (! s.empty() && (s.back() == 'K' || s.back() == 'k')) mult = 1024, s.pop_back();
    else if (! s.empty() && (s.back() == 'M' || s.back() == 'm')) mult = 1024 * 1024, s.pop_back();
    return std::uint64_t (number ("--size", s)) * mult;
}

struct Options
{
    double rate = 100000, eraseMs = 275, programMs = 2.7, testMs = 5;
    std::string sizeText = "256K";
    std::uint64_t sizeBytes = 256 * 1024;
    std::string tool, instrument, label, work;
    std::vector<std::string> emulatorArgs;
    double turnaroundLimitMs = 50;
    double timeoutS = 1800;
    bool keep = false, row = false;
};

// ---------------------------------------------------------------------------------------------
// The tool's time so far on a CPU and waiting for one (runnable while other programs ran),
// every thread, in seconds (threads that ended are no longer counted, which only makes a later
// difference smaller).
struct CpuTime
{
    double run = 0, wait = 0;
};

CpuTime cpuSeconds (pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string (pid) + "/task";
    DIR* d = ::opendir (dir.c_str());
    if (d == nullptr)
        return {};
    CpuTime total;
    while (const dirent* e = ::readdir (d))
    {
        if (e->d_name[0] == '.')
            continue;
        const std::string path = dir + "/" + e->d_name + "/schedstat";
        if (FILE* f = std::fopen (path.c_str(), "r"))
        {
            unsigned long long run = 0, wait = 0;
            if (std::fscanf (f, "%llu %llu", &run, &wait) == 2)
            {
                total.run += double (run) / 1e9;
                total.wait += double (wait) / 1e9;
            }
            std::fclose (f);
        }
    }
    ::closedir (d);
    return total;
}

// ---------------------------------------------------------------------------------------------
// One SysEx frame as the relay saw it.
struct Frame
{
    bool fromHost = false;
    double t = 0;       // seconds from the tool's start: when its last byte reached the relay
    int bytes = 0;
    int command = -1;   // the programmer's command, or -1 for a foreign frame
    double flashMs = 0; // the flash work the instrument does before answering it
    CpuTime toolCpu;    // the tool's CPU seconds at that moment
    bool programs = false; // a Data block the instrument programs into its flash
};

// Cuts a byte stream into frames; remembers what the instrument will do with host frames.
struct FrameCutter
{
    bool fromHost = false;
    std::vector<std::uint8_t> current;
    bool inFrame = false;
    bool programMode = false;
    std::uint64_t strayBytes = 0;

    template <typename Emit>
    void feed (const std::uint8_t* data, std::size_t n, const Options& o, Emit&& emit)
    {
        for (std::size_t i = 0; i < n; ++i)
        {
            const std::uint8_t b = data[i];
            if (b >= 0xF8) // real-time bytes may sit anywhere, also inside a frame
            {
                ++strayBytes;
                continue;
            }
            if (b == 0xF0)
            {
                if (inFrame)
                    strayBytes += current.size();
                current.assign (1, b);
                inFrame = true;
                continue;
            }
            if (! inFrame)
            {
                ++strayBytes;
                continue;
            }
            current.push_back (b);
            if (b == Frames::sysExEnd)
            {
                inFrame = false;
                emit (describe (o));
            }
            else if (b >= 0x80 || current.size() > std::size_t (Frames::maxFrameSize))
            {
                strayBytes += current.size();
                inFrame = false;
            }
        }
    }

    Frame describe (const Options& o)
    {
        Frame f;
        f.fromHost = fromHost;
        f.bytes = int (current.size());
        const bool ours = current.size() > Frames::header.size() + 1
                          && std::equal (Frames::header.begin(), Frames::header.end(), current.begin());
        if (! ours)
            return f;
        f.command = current[Frames::header.size()];
        if (! fromHost)
            return f;
        switch (f.command)
        {
            case Frames::RamLoad: programMode = false; break;
            case Frames::Address:
                if (current.size() == std::size_t (Frames::addressFrameSize))
                    programMode = current[10] == 0;
                break;
            case Frames::Data: f.programs = programMode; f.flashMs = programMode ? o.programMs : 0; break;
            case Frames::EraseSector: f.flashMs = o.eraseMs; break;
            case Frames::RunTest: f.flashMs = o.testMs; break;
            default: break;
        }
        return f;
    }
};

// ---------------------------------------------------------------------------------------------
// Where the time of one stretch (connect, or the update itself) went.
struct Split
{
    double wire = 0, flash = 0;
    double quiet = 0, turnaround = 0, localWork = 0, cpuWait = 0, instrument = 0;
    int quietGaps = 0, turnarounds = 0;
    double largestQuiet = 0;
    int hostFrames = 0, instrumentFrames = 0;
    std::uint64_t hostBytes = 0, instrumentBytes = 0;
    int erases = 0, programBlocks = 0, tests = 0;

    double bound() const { return wire + flash; }
    double accounted() const { return bound() + quiet + turnaround + localWork + cpuWait + instrument; }
};

struct Analysis
{
    Split connect, update;
};

Analysis analyse (const std::vector<Frame>& frames, double ready, double end, CpuTime endCpu, const Options& o)
{
    Analysis a;
    double lineFree = 0;
    CpuTime lastCpu;
    auto place = [&] (Split& s, double gap, double work, double waitForCpu)
    {
        const double rest = gap - work - waitForCpu;
        s.localWork += work;
        s.cpuWait += waitForCpu;
        if (rest * 1000 <= o.turnaroundLimitMs)
        {
            s.turnaround += rest;
            s.turnarounds++;
        }
        else
        {
            s.quiet += rest;
            s.quietGaps++;
            s.largestQuiet = std::max (s.largestQuiet, rest);
        }
    };
    // The tool's time from `from` to `to`; a gap across the moment of "Device connected." is
    // shared between the two stretches, its CPU time in proportion.
    auto toolGap = [&] (double from, double to, CpuTime cpuNow)
    {
        const double gap = to - from;
        const double cpu = std::max (0.0, cpuNow.run - lastCpu.run);
        const double cpuWait = std::max (0.0, cpuNow.wait - lastCpu.wait);
        lastCpu = cpuNow;
        if (gap <= 0)
            return;
        const double work = std::min (cpu, gap);
        const double waitForCpu = std::min (cpuWait, gap - work);
        if (to <= ready)
            place (a.connect, gap, work, waitForCpu);
        else if (from >= ready)
            place (a.update, gap, work, waitForCpu);
        else
        {
            const double before = (ready - from) / gap;
            place (a.connect, gap * before, work * before, waitForCpu * before);
            place (a.update, gap * (1 - before), work * (1 - before), waitForCpu * (1 - before));
        }
    };
    for (const auto& f : frames)
    {
        Split& s = f.t <= ready ? a.connect : a.update;
        const double wire = o.rate > 0 ? f.bytes / o.rate : 0;
        s.wire += wire;
        s.flash += f.flashMs / 1000;
        if (f.fromHost)
        {
            s.hostFrames++;
            s.hostBytes += std::uint64_t (f.bytes);
            if (f.command == Frames::EraseSector) s.erases++;
            if (f.command == Frames::RunTest) s.tests++;
            if (f.programs) s.programBlocks++;
            toolGap (lineFree, f.t, f.toolCpu);
            lineFree = std::max (lineFree, f.t) + wire + f.flashMs / 1000;
        }
        else
        {
            s.instrumentFrames++;
            s.instrumentBytes += std::uint64_t (f.bytes);
            lastCpu = f.toolCpu; // the tool's work on this answer shows before its next frame
            const double wireStart = f.t - wire;
            if (wireStart > lineFree)
                s.instrument += wireStart - lineFree;
            lineFree = std::max (lineFree + wire, f.t);
        }
    }
    // The tool's own ending after the last frame.
    toolGap (lineFree, end, endCpu);
    return a;
}

// ---------------------------------------------------------------------------------------------
int listenUnix (const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof (address.sun_path))
        die ("socket path too long: " + path);
    std::strcpy (address.sun_path, path.c_str());
    ::unlink (path.c_str());
    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0 || ::listen (fd, 4) != 0)
        die ("can't listen on " + path + ": " + std::strerror (errno));
    return fd;
}

int connectUnix (const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy (address.sun_path, path.c_str());
    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) == 0)
        return fd;
    if (fd >= 0)
        ::close (fd);
    return -1;
}

bool writeAll (int fd, const std::uint8_t* data, std::size_t n)
{
    while (n > 0)
    {
        const ssize_t w = ::send (fd, data, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        n -= std::size_t (w);
    }
    return true;
}

pid_t spawn (const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int stdoutFd, int stderrFd)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back (const_cast<char*> (a.c_str()));
    argv.push_back (nullptr);
    std::vector<std::string> envStrings (extraEnv);
    for (char** e = environ; *e != nullptr; ++e)
        envStrings.emplace_back (*e);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back (e.data());
    envp.push_back (nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_adddup2 (&actions, stdoutFd, 1);
    posix_spawn_file_actions_adddup2 (&actions, stderrFd, 2);
    pid_t pid = 0;
    const int r = posix_spawn (&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy (&actions);
    if (r != 0)
        die ("can't start " + args[0] + ": " + std::strerror (r));
    return pid;
}

int openFile (const fs::path& p)
{
    const int fd = ::open (p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die ("can't write " + p.string());
    return fd;
}

fs::path ownFolder()
{
    std::error_code ec;
    const auto exe = fs::read_symlink ("/proc/self/exe", ec);
    return ec ? fs::current_path() : exe.parent_path();
}

std::string fmt (double v, int decimals = 2)
{
    char b[64];
    std::snprintf (b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string rateName (double rate)
{
    if (rate == 3125) return "DIN 3125 B/s";
    if (rate >= 1000 && std::fmod (rate, 1000) == 0) return fmt (rate / 1000, 0) + " kB/s";
    return fmt (rate, 0) + " B/s";
}

struct Run
{
    std::vector<Frame> frames;
    double ready = -1, end = 0, cpuUser = 0, cpuSystem = 0;
    CpuTime endCpu;
    int exitCode = -1;
    std::string result;
    std::uint64_t strayBytes = 0;
};

Run run (const Options& o, const fs::path& work)
{
    fs::create_directories (work / "state");
    const auto emuSocket = (work / "instrument.sock").string();
    const auto relaySocket = (work / "relay.sock").string();
    const auto update = (work / ("update-" + o.sizeText + ".bin")).string();

    // The update file this instrument accepts.
    {
        const int log = openFile (work / "write-update.log");
        const pid_t p = spawn ({ o.instrument, "--write-update", update, "--update-size", o.sizeText }, {}, log, log);
        int status = 0;
        ::waitpid (p, &status, 0);
        ::close (log);
        if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
            die ("the instrument could not write the update file (see write-update.log)");
    }

    std::vector<std::string> emuArgs { o.instrument, "--socket", emuSocket, "--timing", "realistic",
                                       "--link-rate", fmt (o.rate, 3), "--erase-ms", fmt (o.eraseMs, 3),
                                       "--program-ms", fmt (o.programMs, 3), "--test-ms", fmt (o.testMs, 3),
                                       "--record", (work / "instrument-events.log").string() };
    emuArgs.insert (emuArgs.end(), o.emulatorArgs.begin(), o.emulatorArgs.end());
    const int emuLog = openFile (work / "instrument.log");
    const pid_t emuPid = spawn (emuArgs, {}, emuLog, emuLog);
    ::close (emuLog);
    for (int i = 0; i < 500; ++i)
    {
        if (const int fd = connectUnix (emuSocket); fd >= 0)
        {
            ::close (fd); // the instrument takes the next connection in its place
            break;
        }
        if (i == 499)
            die ("the instrument did not start (see instrument.log)");
        ::usleep (10000);
    }

    const int listenFd = listenUnix (relaySocket);
    int outPipe[2];
    if (::pipe2 (outPipe, O_CLOEXEC) != 0)
        die ("pipe");
    const int toolErr = openFile (work / "tool-stderr.log");
    const int toolOut = openFile (work / "tool-stdout.jsonl");

    Run r;
    const auto start = Clock::now();
    auto now = [&] { return std::chrono::duration<double> (Clock::now() - start).count(); };
    const pid_t toolPid = spawn ({ o.tool, "update", update, "--yes", "--json" },
                                 { "TALVEK_MIDI_SOCKETS=" + relaySocket, "TALVEK_STATE_DIR=" + (work / "state").string() },
                                 outPipe[1], toolErr);
    ::close (outPipe[1]);
    ::close (toolErr);

    struct Pair
    {
        int tool = -1, instrument = -1;
        FrameCutter fromTool, fromInstrument;
    };
    std::vector<Pair> pairs;
    std::string lineBuffer;
    bool outOpen = true;
    int stops = 0;
    std::vector<std::uint8_t> buffer (1 << 16);

    auto stamp = [&] (double t) { return [&r, &o, t, toolPid] (Frame f) {
        f.t = t;
        f.toolCpu = cpuSeconds (toolPid);
        r.frames.push_back (f);
        (void) o;
    }; };

    while (outOpen)
    {
        std::vector<pollfd> fds { { listenFd, POLLIN, 0 }, { outPipe[0], POLLIN, 0 } };
        for (auto& p : pairs)
        {
            fds.push_back ({ p.tool, POLLIN, 0 });
            fds.push_back ({ p.instrument, POLLIN, 0 });
        }
        if (::poll (fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
            die ("poll");
        const double t = now();
        // A hung run still ends: during the flash write the tool takes the second SIGTERM.
        if (t > o.timeoutS + stops * 5.0 && stops < 2)
        {
            std::fprintf (stderr, "talvek_update_bench: the tool ran past --timeout; stopping it\n");
            ::kill (toolPid, SIGTERM);
            ++stops;
        }
        if (fds[0].revents & POLLIN)
        {
            const int fd = ::accept4 (listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
            {
                Pair p;
                p.tool = fd;
                p.instrument = connectUnix (emuSocket);
                p.fromTool.fromHost = true;
                if (p.instrument < 0)
                    ::close (fd);
                else
                    pairs.push_back (std::move (p));
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP))
        {
            const ssize_t n = ::read (outPipe[0], buffer.data(), buffer.size());
            if (n <= 0)
                outOpen = false;
            else
            {
                (void) ! ::write (toolOut, buffer.data(), std::size_t (n));
                lineBuffer.append (reinterpret_cast<const char*> (buffer.data()), std::size_t (n));
                for (std::size_t nl; (nl = lineBuffer.find ('\n')) != std::string::npos; lineBuffer.erase (0, nl + 1))
                {
                    const auto line = lineBuffer.substr (0, nl);
                    if (r.ready < 0 && line.find ("\"Device connected.\"") != std::string::npos)
                        r.ready = t;
                    if (line.find ("\"type\": \"result\"") != std::string::npos)
                        r.result = line;
                }
            }
        }
        for (std::size_t i = 0; i < pairs.size(); ++i)
        {
            auto& p = pairs[i];
            const auto& ft = fds[2 + 2 * i];
            const auto& fi = fds[3 + 2 * i];
            bool closed = false;
            // Forward first, then stamp: the stamps must not slow the line down.
            if (ft.revents & (POLLIN | POLLHUP | POLLERR))
            {
                const ssize_t n = ::recv (p.tool, buffer.data(), buffer.size(), 0);
                if (n <= 0 || ! writeAll (p.instrument, buffer.data(), std::size_t (n)))
                    closed = true;
                else
                    p.fromTool.feed (buffer.data(), std::size_t (n), o, stamp (t));
            }
            if (! closed && (fi.revents & (POLLIN | POLLHUP | POLLERR)))
            {
                const ssize_t n = ::recv (p.instrument, buffer.data(), buffer.size(), 0);
                if (n <= 0 || ! writeAll (p.tool, buffer.data(), std::size_t (n)))
                    closed = true;
                else
                    p.fromInstrument.feed (buffer.data(), std::size_t (n), o, stamp (t));
            }
            if (closed)
            {
                r.strayBytes += p.fromTool.strayBytes + p.fromInstrument.strayBytes;
                ::close (p.tool);
                ::close (p.instrument);
                pairs.erase (pairs.begin() + std::ptrdiff_t (i));
                break; // the poll entries no longer match
            }
        }
    }
    // The tool's exit ends the run; its last CPU sample comes from the kernel's account.
    int status = 0;
    rusage spent {};
    ::wait4 (toolPid, &status, 0, &spent);
    r.end = now();
    r.exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
    r.cpuUser = double (spent.ru_utime.tv_sec) + double (spent.ru_utime.tv_usec) / 1e6;
    r.cpuSystem = double (spent.ru_stime.tv_sec) + double (spent.ru_stime.tv_usec) / 1e6;
    r.endCpu.run = r.cpuUser + r.cpuSystem;
    r.endCpu.wait = r.frames.empty() ? 0 : r.frames.back().toolCpu.wait; // not known after the exit
    for (auto& p : pairs)
    {
        r.strayBytes += p.fromTool.strayBytes + p.fromInstrument.strayBytes;
        ::close (p.tool);
        ::close (p.instrument);
    }
    ::close (listenFd);
    ::close (outPipe[0]);
    ::close (toolOut);
    ::kill (emuPid, SIGTERM);
    ::waitpid (emuPid, nullptr, 0);

    // Every stamp, for a closer look (--keep).
    if (FILE* f = std::fopen ((work / "frames.tsv").c_str(), "w"))
    {
        std::fprintf (f, "seconds\tfrom\tbytes\tcommand\tflash_ms\ttool_cpu_s\ttool_cpu_wait_s\n");
        for (const auto& fr : r.frames)
            std::fprintf (f, "%.6f\t%s\t%d\t%d\t%.3f\t%.6f\t%.6f\n", fr.t, fr.fromHost ? "tool" : "instrument", fr.bytes,
                          fr.command, fr.flashMs, fr.toolCpu.run, fr.toolCpu.wait);
        std::fclose (f);
    }
    return r;
}

void printSplit (FILE* out, const char* name, const Split& s, double measured)
{
    std::fprintf (out, "%s\n", name);
    std::fprintf (out, "  frames       tool %d (%llu bytes), instrument %d (%llu bytes); erases %d, program blocks %d, tests %d\n",
                 s.hostFrames, (unsigned long long) s.hostBytes, s.instrumentFrames, (unsigned long long) s.instrumentBytes,
                 s.erases, s.programBlocks, s.tests);
    std::fprintf (out, "  bound        %s s (line %s s, flash %s s)\n", fmt (s.bound(), 3).c_str(), fmt (s.wire, 3).c_str(),
                 fmt (s.flash, 3).c_str());
    std::fprintf (out, "  measured     %s s   ratio %s\n", fmt (measured, 3).c_str(),
                 s.bound() > 0 ? fmt (measured / s.bound(), 3).c_str() : "-");
    std::fprintf (out, "  excess       %s s: quiet waits %s s (%d, largest %s s), turnaround %s s (%d), local work %s s, "
                 "waiting for a CPU %s s, instrument late %s s, not placed %s s\n",
                 fmt (measured - s.bound(), 3).c_str(), fmt (s.quiet, 3).c_str(), s.quietGaps, fmt (s.largestQuiet, 3).c_str(),
                 fmt (s.turnaround, 3).c_str(), s.turnarounds, fmt (s.localWork, 3).c_str(), fmt (s.cpuWait, 3).c_str(), fmt (s.instrument, 3).c_str(),
                 fmt (measured - s.accounted(), 3).c_str());
}
} // namespace

int main (int argc, char** argv)
{
    Options o;
    std::vector<std::string> args (argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                die (a + " needs a value");
            return args[++i];
        };
        if (a == "--help" || a == "-h") { std::fputs (usage, stdout); return 0; }
        else if (a == "--rate") o.rate = number (a, value());
        else if (a == "--erase-ms") o.eraseMs = number (a, value());
        else if (a == "--program-ms") o.programMs = number (a, value());
        else if (a == "--test-ms") o.testMs = number (a, value());
        else if (a == "--size") { o.sizeText = value(); o.sizeBytes = size (o.sizeText); }
        else if (a == "--tool") o.tool = value();
        else if (a == "--instrument") o.instrument = value();
        else if (a == "--emulator-arg") o.emulatorArgs.push_back (value());
        else if (a == "--timeout") o.timeoutS = number (a, value());
        else if (a == "--turnaround-limit-ms") o.turnaroundLimitMs = number (a, value());
        else if (a == "--work") o.work = value();
        else if (a == "--keep") o.keep = true;
        else if (a == "--label") o.label = value();
        else if (a == "--row") o.row = true;
        else die ("unknown option " + a + " (--help lists them)");
    }
    const auto here = ownFolder();
    if (o.tool.empty()) o.tool = (here / "../cli/talvek-update").lexically_normal().string();
    if (o.instrument.empty()) o.instrument = (here / "../emulator/talvek-instrument").lexically_normal().string();
    for (const auto* p : { &o.tool, &o.instrument })
        if (::access (p->c_str(), X_OK) != 0)
            die (*p + " is not a program (build it, or name it with --tool / --instrument)");
    if (o.sizeBytes == 0 || o.sizeBytes % (256 * 1024) != 0)
        die ("--size: a multiple of 256K, such as 256K or 10M");
    if (o.label.empty())
        o.label = (o.sizeBytes >= 1024 * 1024 ? fmt (double (o.sizeBytes) / (1024 * 1024), 0) + " MiB"
                                              : fmt (double (o.sizeBytes) / 1024, 0) + " KiB")
                  + ", " + rateName (o.rate);

    bool madeWork = false;
    fs::path work = o.work;
    if (work.empty())
    {
        std::string pattern = (fs::temp_directory_path() / "talvek-bench-XXXXXX").string();
        if (::mkdtemp (pattern.data()) == nullptr)
            die ("can't make a scratch folder");
        work = pattern;
        madeWork = true;
    }
    std::signal (SIGPIPE, SIG_IGN);

    const Run r = run (o, work);
    const double ready = r.ready < 0 ? r.end : r.ready;
    const Analysis a = analyse (r.frames, ready, r.end, r.endCpu, o);
    const double updateMeasured = r.end - ready;
    const double cpu = r.cpuUser + r.cpuSystem;

    if (o.row)
    {
        const auto& u = a.update;
        std::printf ("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %d |\n", o.label.c_str(),
                     fmt (u.bound(), 2).c_str(), fmt (updateMeasured, 2).c_str(),
                     u.bound() > 0 ? fmt (updateMeasured / u.bound(), 3).c_str() : "-",
                     fmt (u.quiet, 2).c_str(), fmt (u.turnaround, 3).c_str(), fmt (u.localWork, 3).c_str(),
                     fmt (u.cpuWait, 3).c_str(), fmt (u.instrument, 3).c_str(), fmt (ready, 2).c_str(), fmt (a.connect.bound(), 3).c_str(),
                     fmt (cpu, 2).c_str(), r.exitCode);
    }
    {
        // With --row the whole report goes to stderr, for a closer look at a row.
        FILE* out = o.row ? stderr : stdout;
        std::fprintf (out, "%s: link %s B/s, erase %s ms, program %s ms, test %s ms\n", o.label.c_str(), fmt (o.rate, 0).c_str(),
                     fmt (o.eraseMs, 1).c_str(), fmt (o.programMs, 1).c_str(), fmt (o.testMs, 1).c_str());
        std::fprintf (out, "tool %s: exit code %d\n", o.tool.c_str(), r.exitCode);
        if (r.ready < 0)
            std::fprintf (out, "the tool never said \"Device connected.\": everything counts as connect\n");
        printSplit (out, "connect (start to \"Device connected.\")", a.connect, ready);
        printSplit (out, "update (\"Device connected.\" to the tool's exit)", a.update, updateMeasured);
        std::fprintf (out, "whole run    %s s; tool host CPU %s s (user %s, system %s)\n", fmt (r.end, 3).c_str(),
                     fmt (cpu, 3).c_str(), fmt (r.cpuUser, 3).c_str(), fmt (r.cpuSystem, 3).c_str());
        if (r.strayBytes > 0)
            std::fprintf (out, "bytes outside frames: %llu\n", (unsigned long long) r.strayBytes);
        if (! r.result.empty())
            std::fprintf (out, "result: %s\n", r.result.c_str());
        if (o.keep || ! madeWork)
            std::fprintf (out, "scratch folder: %s\n", work.c_str());
    }
    if (madeWork && ! o.keep)
    {
        std::error_code ec;
        fs::remove_all (work, ec);
    }
    return r.exitCode == 0 ? 0 : 1;
}
