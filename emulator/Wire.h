#pragma once

// The instrument's side of the SysEx wire: its own frame codec, deliberately independent of
// the tool's (devicelink/), so that both sides are checked against the same byte rules rather
// than against each other.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace talvek::emu::wire
{

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::array<std::uint8_t, 5> header { 0xF0, 0x00, 0x20, 0x54, 0x7D };
inline constexpr std::size_t maxFrame = 8192;

enum Command : std::uint8_t
{
    cmdAck = 0x00,
    cmdData = 0x01,
    cmdAddress = 0x02,
    cmdRamLoad = 0x03,
    cmdEraseSector = 0x04,
    cmdRunTest = 0x05,
    cmdProbe = 0x08,
    cmdProbeReply = 0x09,
};

// 8-bit bytes to 7-bit groups: each group of up to 7 bytes becomes its low 7 bits, in order,
// then one byte holding the top bits, the group's first byte in the highest used bit.
Bytes pack (const std::uint8_t* data, std::size_t size);
// The inverse, for one frame's payload on its own; a trailing group of one byte carries nothing.
Bytes unpack (const std::uint8_t* packed, std::size_t size);
// Data bytes carried by a packed payload of this many bytes.
std::size_t unpackedSize (std::size_t packedSize);

// The FS check bytes of a 4096-byte block: B lo, B hi, A lo, A hi.
std::array<std::uint8_t, 4> checkBytes (const std::uint8_t* block4096);

// Word address in four 7-bit groups, most significant first.
std::array<std::uint8_t, 4> encodeWordAddress (std::uint32_t wordAddress);
std::uint32_t decodeWordAddress (const std::uint8_t* fourGroups);

// A whole frame: header, command, payload, F7.
Bytes frame (std::uint8_t command, const Bytes& payload = {});

// Device frames.
Bytes ack (std::uint8_t status);
Bytes probeReply (std::uint8_t port, std::optional<std::uint8_t> speed);
Bytes readFrame (std::uint8_t flag, const std::uint8_t* data, std::size_t size);

// A complete frame from the host, taken apart. Nullopt when the envelope is not ours.
struct HostFrame
{
    std::uint8_t command = 0;
    Bytes payload; // between the command byte and F7
};
std::optional<HostFrame> parse (const Bytes& frame);

// The exact length (F0 to F7) of each host command; 0 for commands a host does not send.
std::size_t hostFrameLength (std::uint8_t command);

// Splits a raw MIDI byte stream into SysEx frames the way a MIDI receiver does: real-time
// bytes (F8 to FF) are skipped wherever they appear, other status bytes end a frame early
// (it is dropped), bytes outside a frame are ignored, frames longer than maxFrame are dropped.
class StreamParser
{
public:
    // Feeds one byte; returns true when a complete frame is ready in frame().
    bool feed (std::uint8_t byte);
    const Bytes& frame() const { return current; }
    std::size_t droppedFrames() const { return dropped; }
    void reset();

private:
    Bytes building, current;
    bool inFrame = false, overflow = false;
    std::size_t dropped = 0;
};

} // namespace talvek::emu::wire
