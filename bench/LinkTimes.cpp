// Cable time of reads in simulated time: what a read costs at each link speed and mode, and
// the slowest a cable fault makes it. Prints figures; asserts nothing.
//
//   build/bench/talvek_link_times

#include "support/SimulatedLink.h"

#include "devicelink/BuiltInData.h"

#include <cstdio>
#include <string>

namespace
{
namespace emu = talvek::emu;
using simlink::Cable;
using simlink::SimulatedLink;

struct Run
{
    bool ok = false;
    double seconds = 0;
};

Run timeRead (const Cable& cable, int bytes)
{
    SimulatedLink link (cable);
    const auto driver = BuiltInData::detectionDrivers()[2]; // the emulated chip's
    link.engine.startDriverUpload (driver.data, driver.size);
    if (link.run() != std::make_pair (0, 0))
        return {};
    const auto start = link.nowUs();
    link.engine.startRead (0x40000, bytes);
    const auto result = link.run();
    return { result == std::make_pair (0, 0) && (int) link.readData.size() == bytes, double (link.nowUs() - start) / 1e6 };
}
} // namespace

int main()
{
    struct Speed { const char* name; double bytesPerSecond; };
    const Speed speeds[] = { { "USB-like 100000 B/s", 100000 }, { "DIN 3125 B/s", 3125 } };

    std::printf ("Read of 128 KiB (the instrument's own area), cable time:\n");
    for (const auto& s : speeds)
        for (const auto mode : { emu::LinkMode::FS, emu::LinkMode::HS })
        {
            Cable cable;
            cable.bytesPerSecond = s.bytesPerSecond;
            cable.mode = mode;
            const auto r = timeRead (cable, 0x20000);
            std::printf ("  %-20s %s  %s %8.2f s\n", s.name, mode == emu::LinkMode::FS ? "FS" : "HS",
                         r.ok ? "read  " : "FAILED", r.seconds);
        }

    struct Row { const char* name; const char* spec; };
    const Row rows[] = {
        { "reply held back 1 s", "delay@read-block:3,ms=1000" },
        { "reply held back 5 s", "delay@read-block:3,ms=5000" },
        { "two replies held back 1.5 s", "delay@read-block:3,ms=1500,count=2" },
        { "reply dropped", "drop-reply@read-block:3" },
        { "read frame doubled", "duplicate-read@read-block:3" },
    };
    struct Style { const char* name; int frameBytes; emu::ReadFlagStyle flags; };
    const Style styles[] = {
        { "acked blocks", 0, emu::ReadFlagStyle::WaitForAck },
        { "streamed blocks", 0, emu::ReadFlagStyle::Stream },
        { "acked 600-byte frames", 600, emu::ReadFlagStyle::WaitForAck },
        { "streamed 1600-byte frames", 1600, emu::ReadFlagStyle::Stream },
    };

    std::printf ("\nRead of 32 KiB with one fault; worst case over FS/HS and frame styles:\n");
    for (const auto& s : speeds)
    {
        Cable clean;
        clean.bytesPerSecond = s.bytesPerSecond;
        std::printf ("  %s (no fault: %.2f s)\n", s.name, timeRead (clean, 0x8000).seconds);
        for (const auto& row : rows)
        {
            double worst = 0;
            int failed = 0, runs = 0;
            std::string worstCase;
            for (const auto mode : { emu::LinkMode::FS, emu::LinkMode::HS })
                for (const auto& style : styles)
                {
                    Cable cable = clean;
                    cable.mode = mode;
                    cable.readFrameBytes = style.frameBytes;
                    cable.flags = style.flags;
                    cable.faults.push_back (*emu::parseFault (row.spec));
                    const auto r = timeRead (cable, 0x8000);
                    ++runs;
                    failed += r.ok ? 0 : 1;
                    if (r.seconds > worst)
                    {
                        worst = r.seconds;
                        worstCase = std::string (mode == emu::LinkMode::FS ? "FS, " : "HS, ") + style.name;
                    }
                }
            std::printf ("    %-28s worst %7.2f s (%s); failed %d of %d\n", row.name, worst, worstCase.c_str(), failed, runs);
        }
    }
    return 0;
}
