#pragma once

// The faults armed in an instrument and the counters of the points they wait for. The fault
// description, parseFault and describeFault are public (Instrument.h); this is the matching.
// Not thread-safe (the Instrument locks).

#include "Instrument.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace talvek::emu
{

class FaultPlan
{
public:
    struct Armed
    {
        Fault fault;
        std::uint64_t base = 0;   // the point's counter when armed
        bool triggered = false;
        std::uint32_t chances = 0; // takes that found it active, applied or not (every=)
        std::uint32_t applied = 0;
        bool done = false;
    };

    void arm (const Fault& fault); // counted from the point's present count
    void clear();                  // the counters keep running

    void reached (FaultPoint point) { ++counters[index (point)]; }
    std::uint64_t count (FaultPoint point) const { return counters[index (point)]; }

    // Immediate faults act on the frame (or byte) at their point; the others wait for a reply.
    static bool immediate (FaultKind kind) { return kind == FaultKind::PowerLoss || kind == FaultKind::CablePull; }

    // Marks faults whose point has just been reached; returns the first immediate one.
    std::optional<Fault> checkTriggers (bool bytesOnly);

    // Takes one application of an active fault of this kind, if any.
    const Armed* take (FaultKind kind);

private:
    static std::size_t index (FaultPoint point) { return std::size_t (point); }

    std::array<std::uint64_t, 7> counters {}; // one per FaultPoint
    std::vector<Armed> armed;
};

} // namespace talvek::emu
