#pragma once

// What an emulated instrument's record tells of the faults armed in it.

#include "emulator/Instrument.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace testsupport
{
// The faults of one kind (the text a fault's description begins with) that fired.
inline std::vector<talvek::emu::Event> faultsFired (const talvek::emu::Record& record, const char* kind)
{
    std::vector<talvek::emu::Event> fired;
    for (const auto& e : record.eventsOf (talvek::emu::EventKind::FaultFired))
        if (e.text.rfind (kind, 0) == 0)
            fired.push_back (e);
    return fired;
}

// The address of the last block read before the first answer held back.
inline std::optional<std::uint64_t> readBeforeFirstHold (const talvek::emu::Record& record)
{
    std::optional<std::uint64_t> last;
    for (const auto& e : record.events)
    {
        if (e.kind == talvek::emu::EventKind::ReadBlock)
            last = e.address;
        if (e.kind == talvek::emu::EventKind::FaultFired && e.text.rfind ("delay@", 0) == 0)
            return last;
    }
    return std::nullopt;
}
} // namespace testsupport
