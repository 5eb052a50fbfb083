#pragma once

#include "devicelink/FlashLayout.h"
#include "workflow/InstrumentIdentity.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>

class CLogPrinter;

// Result of checkUpdateFile.
enum class UpdateFileCheck : int
{
    ok = 0,       // size rules and marker bytes satisfied
    modified = 1, // a marker byte differs
    badSize = 2,  // shorter than 256 KiB or not a multiple of it
    none = 3,     // no accepted file: nothing to show
};

// The rules an update file (a raw image of the instrument's flash from address 0) must meet.
namespace UpdateFile
{
constexpr juce::int64 markerOffset = 0xFFF8;
// Of the tag read from the instrument, only the first bytes identify it.
constexpr int comparedTagLength = 2;

// The size rules alone, with the line the check logs when one is broken (null when none is).
const char* sizeProblem (juce::int64 size);

// The identity check of a chosen file: its 12 bytes at 1FFF4h must equal the instrument's,
// and, in a file that reaches 9E0000h, its two bytes there the instrument's first two tag
// bytes. A file that cannot be read there, or whose path a job could not carry, does not
// match.
bool matchesInstrument (const juce::File& file, const IdentityBytes& deviceId, const TagBytes& deviceTag);

// Logs the file's version and checks size and marker bytes (never returns none). `size`
// receives the file's size.
UpdateFileCheck check (const juce::File& file, CLogPrinter& log, juce::int64& size);
} // namespace UpdateFile
