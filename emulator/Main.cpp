// talvek-instrument: serves an emulated instrument on a Unix-domain socket or loopback TCP.

#include "emulator/Instrument.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#if defined(_WIN32)
 #include <atomic>
 #include <chrono>
 #include <thread>
#else
 #include <pthread.h>
#endif

using namespace talvek::emu;

namespace
{
const char* usage = R"(Usage: talvek-instrument [options]

Emulates a TALVEK instrument's SysEx programmer and its NOR flash. With --socket it listens
on a Unix-domain stream socket, or on loopback TCP; one connection carries raw MIDI 1.0 bytes
both ways, as on a cable. The tool finds such ports through TALVEK_MIDI_SOCKETS (entries
separated by ':', on Windows by ';'). Runs until SIGINT or SIGTERM (Ctrl+C on Windows).
Without --socket it only writes the files asked for and exits.

Link and programmer:
  --socket PATH            listen on this socket path (a stale socket there is replaced)
  --socket tcp:PORT        listen on 127.0.0.1:PORT; tcp:0 takes a free port (the line
                           "listening on tcp:N" on stderr names it). The only kind on Windows
  --chip NAME              fitted flash: S29GL256_S (32 MiB), S29GL512_S (64 MiB, default),
                           S29GL01G_S (128 MiB), S29GL02GS_EST (256 MiB); 128 KiB sectors
  --mode fs|hs             link mode announced in the ProbeReply (default fs: speed byte 01
                           and four check bytes after each read block; hs: speed byte 00)
  --no-speed-byte          send the ProbeReply without its speed byte
  --read-frame-size N      packed payload bytes per read frame after the flag byte
                           (default 0: the whole block in one frame; N >= 2)
  --read-flags ack|stream  ack (default): read frames carry flag 0 and each waits for the
                           host's Ack; stream: flag 1, frames follow each other at once

Flash content (the flash file, when it exists, is the flash; the rest applies otherwise):
  --flash-file PATH        keep the flash in PATH across runs: loaded at start, saved when
                           the link is idle, at power loss and at exit (RAM is never kept)
  --fresh                  ignore an existing flash file's content (it is overwritten)
  --image PATH             flash content from a raw image file placed at address 0
  --blank                  flash all FFh
  (default)                generated content: old firmware with 02h at 0 and "BD" at FFF8h,
                           the identity at 1FFF4h, the instrument's own parameter area at
                           40000h (128 KiB, begins "TALVEK PARAMS "), the tag at 9E0000h
  --identity SPEC          the 12 identity bytes at 1FFF4h: text, or hex:0102... (default
                           "TALVEK DM-10"; text shorter than 12 bytes is padded with 00h)
  --tag SPEC               the tag bytes at 9E0000h, text or hex: (default "T1")

Files:
  --write-update PATH      write an update file that this instrument accepts (identity,
                           tag when long enough, 02h at 0, "BD" at FFF8h, patterned content)
  --update-size SIZE       its size (default 256K), rounded up to a multiple of 256K;
                           10M is 40 x 256K and reaches the tag at 9E0000h
  --update-seed N          pattern seed of the update content (default 2)
  --dump PATH[@START:LEN]  at exit, write the flash (or LEN bytes from START) to PATH as raw
                           bytes; numbers take 0x, K and M
  --record PATH            append every event to PATH, one line each
  --verbose                print every event on stderr

Timing (default instant):
  --timing instant|realistic  realistic: 100000 bytes/s link, 275 ms sector erase,
                           2.7 ms per 4096-byte program, 5 ms flash test
  --link-rate BPS          bytes per second on the link (3125 = DIN MIDI cable; 0 = instant)
  --erase-ms MS            time of one sector erase before its Ack
  --program-ms MS          time of programming one 4096-byte block before its Ack
  --test-ms MS             time of a flash test before its Ack

Faults (repeatable; each counted from the start of the run):
  --fault KIND[@POINT:N][,count=C][,every=E][,ms=M][,after=A][,partial=P]
      KIND   power-loss         stop answering, RAM (driver) lost, flash keeps completed
                                work; a program block or erase it cuts is done for P bytes
             cable-pull         close the connection (state kept; a new one is accepted)
             ack-status-2       the Ack carries status 2 instead of doing the operation
             ack-status-3       the Ack carries status 3 instead of doing the operation
             refuse             the Ack carries status 1 (refused) instead of doing the
                                operation
             drop-reply         a reply frame (Ack, ProbeReply or read frame) is not sent
             corrupt-read       one data bit of a read frame is flipped
             wrong-check        the check bytes of a read block are wrong (fs mode only)
             delay              a reply is held back M ms (default 5000)
             duplicate-ack      an Ack is sent twice (after=A: the copy A ms later, while
                                nothing from the host is taken)
             duplicate-read     a read frame is sent twice (after=A as for duplicate-ack)
             noise              a foreign SysEx, an unknown-command frame and MIDI clock
                                bytes (F8, also inside the reply) around a reply
             second-instrument  a Probe is answered twice
             oversize-read      before a read answer, a read frame longer than a block
      POINT  frame | block | program-block | read-block | erase | test | bytes
             (default frame:1)
             frame: the N-th SysEx frame from the host; block: the N-th Data block or read
             request; program-block: the N-th Data block of a flash program transfer;
             read-block: the N-th read request; erase: the N-th EraseSector; test: the N-th
             RunTest; bytes: when the N-th byte from the host arrives (power-loss and
             cable-pull cut there, mid-frame)
      count  replies affected from the trigger on (default 1; 0 = every one after it)
      every  only every E-th reply it could apply to is affected (default 1); count
             counts those
  --power-restore-ms MS    after a power-loss fault, power returns after MS ms
  --no-power-on-connect    a new connection does not switch a dead instrument on again
                           (default: it does, like replugging a USB-powered instrument)
  --help                   this text
)";

[[noreturn]] void die (const std::string& message)
{
    std::fprintf (stderr, "talvek-instrument: %s\n", message.c_str());
    std::exit (2);
}

std::optional<std::uint64_t> parseSize (std::string_view s)
{
    std::uint64_t mult = 1;
    if (! s.empty() && (s.back() == 'K' || s.back() == 'k'))
        mult = 1024, s.remove_suffix (1);
    else if (! s.empty() && (s.back() == 'M' || s.back() == 'm'))
        mult = 1024 * 1024, s.remove_suffix (1);
    if (s.empty())
        return std::nullopt;
    const std::string str (s);
    char* end = nullptr;
    const unsigned long long v = std::strtoull (str.c_str(), &end, 0);
    if (end == nullptr || *end != 0)
        return std::nullopt;
    return std::uint64_t (v) * mult;
}

double parseNumber (const std::string& option, const std::string& value)
{
    char* end = nullptr;
    const double v = std::strtod (value.c_str(), &end);
    if (end == value.c_str() || *end != 0 || v < 0)
        die (option + ": not a number: " + value);
    return v;
}

struct Dump
{
    std::string path;
    std::uint64_t start = 0, length = 0;
};
} // namespace

int main (int argc, char** argv)
{
    Config config;
    config.powerOnAtConnect = true;
    Identity identity = Identity::defaults();
    std::string socketPath, imagePath, updatePath;
    std::uint64_t updateSize = updateFileUnit;
    std::uint32_t updateSeed = 2;
    bool blank = false, fresh = false;
    std::vector<Dump> dumps;
    std::optional<double> linkRate, eraseMs, programMs, testMs;

    std::vector<std::string> args (argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                die (a + " needs a value");
            return args[++i];
        };
        if (a == "--help" || a == "-h")
        {
            std::fputs (usage, stdout);
            return 0;
        }
        else if (a == "--socket") socketPath = value();
        else if (a == "--chip")
        {
            const auto v = value();
            const auto chip = chipFromName (v);
            if (! chip)
                die ("unknown chip " + v);
            config.chip = *chip;
        }
        else if (a == "--mode")
        {
            const auto v = value();
            if (v == "fs" || v == "FS") config.mode = LinkMode::FS;
            else if (v == "hs" || v == "HS") config.mode = LinkMode::HS;
            else die ("--mode takes fs or hs");
        }
        else if (a == "--no-speed-byte") config.omitSpeedByte = true;
        else if (a == "--read-frame-size")
        {
            const auto v = parseNumber (a, value());
            if (v != 0 && v < 2)
                die ("--read-frame-size must be 0 or at least 2");
            config.readFramePackedSize = int (v);
        }
        else if (a == "--read-flags")
        {
            const auto v = value();
            if (v == "ack") config.readFlags = ReadFlagStyle::WaitForAck;
            else if (v == "stream") config.readFlags = ReadFlagStyle::Stream;
            else die ("--read-flags takes ack or stream");
        }
        else if (a == "--flash-file") config.flashFile = value();
        else if (a == "--fresh") fresh = true;
        else if (a == "--image") imagePath = value();
        else if (a == "--blank") blank = true;
        else if (a == "--identity")
        {
            const auto v = value();
            const auto bytes = parseBytes (v, 12);
            if (! bytes)
                die ("--identity: 1 to 12 bytes, as text or hex:...");
            identity.id.fill (0);
            std::copy (bytes->begin(), bytes->end(), identity.id.begin());
        }
        else if (a == "--tag")
        {
            const auto bytes = parseBytes (value(), 12);
            if (! bytes)
                die ("--tag: 1 to 12 bytes, as text or hex:...");
            identity.tag = *bytes;
        }
        else if (a == "--write-update") updatePath = value();
        else if (a == "--update-size")
        {
            const auto v = parseSize (value());
            if (! v || *v == 0)
                die ("--update-size: a size such as 256K or 10M");
            updateSize = (*v + updateFileUnit - 1) / updateFileUnit * updateFileUnit;
        }
        else if (a == "--update-seed") updateSeed = std::uint32_t (parseNumber (a, value()));
        else if (a == "--dump")
        {
            const auto v = value();
            Dump d;
            d.path = v;
            if (const auto at = v.rfind ('@'); at != std::string::npos)
            {
                d.path = v.substr (0, at);
                const auto range = v.substr (at + 1);
                const auto colon = range.find (':');
                const auto start = parseSize (range.substr (0, colon));
                const auto length = colon == std::string::npos ? std::optional<std::uint64_t> (0) : parseSize (range.substr (colon + 1));
                if (! start || ! length)
                    die ("--dump: PATH@START:LEN");
                d.start = *start;
                d.length = *length;
            }
            dumps.push_back (d);
        }
        else if (a == "--record") config.recordFile = value();
        else if (a == "--verbose") config.logToStderr = true;
        else if (a == "--timing")
        {
            const auto v = value();
            if (v == "instant") config.timing = Timing::instant();
            else if (v == "realistic") config.timing = Timing::realistic();
            else die ("--timing takes instant or realistic");
        }
        else if (a == "--link-rate") linkRate = parseNumber (a, value());
        else if (a == "--erase-ms") eraseMs = parseNumber (a, value());
        else if (a == "--program-ms") programMs = parseNumber (a, value());
        else if (a == "--test-ms") testMs = parseNumber (a, value());
        else if (a == "--fault")
        {
            std::string error;
            const auto fault = parseFault (value(), &error);
            if (! fault)
                die (error);
            config.faults.push_back (*fault);
        }
        else if (a == "--power-restore-ms") config.powerRestoreMs = std::uint32_t (parseNumber (a, value()));
        else if (a == "--no-power-on-connect") config.powerOnAtConnect = false;
        else
            die ("unknown option " + a + " (see --help)");
    }
    if (linkRate) config.timing.linkBytesPerSecond = *linkRate;
    if (eraseMs) config.timing.sectorEraseMs = *eraseMs;
    if (programMs) config.timing.blockProgramMs = *programMs;
    if (testMs) config.timing.runTestMs = *testMs;

    if (! updatePath.empty())
    {
        std::string error;
        if (! writeUpdateFile (updatePath, identity, updateSize, updateSeed, &error))
            die (error);
    }
    if (socketPath.empty() && dumps.empty())
        return 0;

    struct stat st {};
    const bool haveFlashFile = ! config.flashFile.empty() && ::stat (config.flashFile.c_str(), &st) == 0;
    if (haveFlashFile && fresh)
        std::remove (config.flashFile.c_str());
    Instrument instrument (config);
    if (! haveFlashFile || fresh)
    {
        std::string error;
        if (! imagePath.empty())
        {
            if (! instrument.loadImageFile (imagePath, &error))
                die (error);
        }
        else if (blank)
            instrument.eraseAll();
        else
            instrument.generateContent (identity);
    }

    if (! socketPath.empty())
    {
#if defined(_WIN32)
        static std::atomic<bool> stopRequested { false };
        const auto requestStop = [] (int) { stopRequested = true; };
        std::signal (SIGINT, requestStop);
        std::signal (SIGTERM, requestStop);
        std::signal (SIGBREAK, requestStop);
#else
        // Signals go to this thread only, taken synchronously below.
        sigset_t signals;
        sigemptyset (&signals);
        sigaddset (&signals, SIGINT);
        sigaddset (&signals, SIGTERM);
        pthread_sigmask (SIG_BLOCK, &signals, nullptr);
#endif

        std::string error;
        if (! instrument.start (socketPath, &error))
            die (error);
        std::fprintf (stderr, "talvek-instrument: %s, %s mode, listening on %s\n", chipInfo (config.chip).name,
                      config.mode == LinkMode::FS ? "FS" : "HS", instrument.socketPath().c_str());
        std::fflush (stderr);
#if defined(_WIN32)
        while (! stopRequested)
            std::this_thread::sleep_for (std::chrono::milliseconds (100));
#else
        int sig = 0;
        sigwait (&signals, &sig);
#endif
        instrument.stop();
    }

    int status = 0;
    for (const auto& d : dumps)
    {
        std::string error;
        if (! instrument.dumpFlash (d.path, d.start, d.length, &error))
        {
            std::fprintf (stderr, "talvek-instrument: %s\n", error.c_str());
            status = 1;
        }
    }
    return status;
}
