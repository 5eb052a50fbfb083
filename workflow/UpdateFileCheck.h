#pragma once

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>

class CLogPrinter;
enum class UpdateFileCheck : int; // ui/MainComponent.h

// The rules an update file (a raw image of the instrument's flash from address 0) must meet.
namespace UpdateFile
{
constexpr juce::int64 unitSize = 0x40000;          // files are whole multiples of 256 KiB
constexpr juce::int64 identityOffset = 0x1FFF4;
constexpr juce::int64 tagOffset = 0x9E0000;
constexpr juce::int64 markerOffset = 0xFFF8;
constexpr int identityLength = 12;
constexpr int tagLength = 2;

// The identity check of a chosen file: its 12 bytes at 1FFF4h must equal the instrument's,
// and, in a file that reaches 9E0000h, its two bytes there the instrument's first two tag
// bytes. A file that cannot be read there, or whose path a job could not carry, does not
// match.
// The size rules alone, with the line the check logs when one is broken (null when none is).
const char* sizeProblem (juce::int64 size);

bool matchesInstrument (const juce::File& file,
                        const std::array<std::uint8_t, identityLength>& deviceId,
                        const std::array<std::uint8_t, identityLength>& deviceTag);

// Logs the file's version and checks size and marker bytes (never returns none). `size`
// receives the file's size.
UpdateFileCheck check (const juce::File& file, CLogPrinter& log, juce::int64& size);
} // namespace UpdateFile
