#pragma once

// The instrument programmer's System Exclusive frames:
//   F0 00 20 54 7D <command> <7-bit payload> F7
// Builders write into a caller's frame buffer and return the frame length; parsers take the raw
// bytes of one whole incoming message. Nothing here allocates or keeps state.

#include "devicelink/FlashLayout.h"

#include <array>
#include <cstdint>
#include <optional>

namespace Frames
{
enum Command : std::uint8_t
{
    Ack = 0x00,
    Data = 0x01,
    Address = 0x02,
    RamLoad = 0x03,
    EraseSector = 0x04,
    RunTest = 0x05,
    Probe = 0x08,
    ProbeReply = 0x09,
};

constexpr std::array<std::uint8_t, 5> header { 0xF0, 0x00, 0x20, 0x54, 0x7D };
constexpr std::uint8_t sysExEnd = 0xF7;

constexpr int blockSize = FlashLayout::blockSize;
constexpr int checkedBlockSize = 4100;   // FS read block: data and four check bytes
constexpr int packedBlockSize = 4682;    // 585 groups of 7 bytes in 8, and 1 byte in 2
constexpr int dataFrameSize = 4689;
constexpr int maxFrameSize = 8192;

constexpr int probeFrameSize = 9;
constexpr int ackFrameSize = 8;
constexpr int addressFrameSize = 12;
constexpr int ramLoadFrameSize = 7;
constexpr int eraseSectorFrameSize = 11;
constexpr int runTestFrameSize = 9;

// Offsets into the body (the bytes between F0 and F7) of an incoming frame.
constexpr int bodyCommand = 4;
constexpr int bodyFirstPayload = 5;
constexpr int minBodySize = 6;           // header, command and at least one payload byte
constexpr int minDataBodySize = 8;       // header, command, flag and at least one data group

// --- Builders: `frame` has room for maxFrameSize bytes ---
int buildProbe (std::uint8_t* frame, int port);
int buildAck (std::uint8_t* frame);
int buildAddress (std::uint8_t* frame, int byteAddress, int direction); // 0 write, 1 read
int buildRamLoad (std::uint8_t* frame);
int buildEraseSector (std::uint8_t* frame, int wordAddress);
int buildRunTest (std::uint8_t* frame, int argument);
// Packs exactly blockSize bytes of `block` into a whole Data frame.
int buildData (std::uint8_t* frame, const std::uint8_t* block);

// Flash addresses travel as 16-bit word addresses in four 7-bit groups, most significant first.
constexpr int wordAddress (int byteAddress) { return static_cast<int> (static_cast<std::uint32_t> (byteAddress) >> 1); }
void putWordAddress (std::uint8_t* out, int word);

// --- Parsers ---
// One accepted incoming frame; `body` points into the message, `bodySize` counts the bytes
// between F0 and F7 (so body[bodyCommand] is the command).
struct Incoming
{
    Command command;
    const std::uint8_t* body;
    int bodySize;
};

// Accepts a whole SysEx message that carries the programmer's header and one of the commands
// the device sends (Ack, Data, ProbeReply); anything else is rejected.
std::optional<Incoming> classify (const std::uint8_t* message, int size);

// Bytes that `packedCount` payload bytes decode to: 7 per group of 8, a lone last byte none.
constexpr int unpackedSize (int packedCount)
{
    if (packedCount <= 0)
        return 0;
    const int rest = packedCount % 8;
    return (packedCount / 8) * 7 + (rest > 1 ? rest - 1 : 0);
}

// Decodes one frame's packed payload onto the end of `block` (at `fill`, advancing it). Returns
// false and writes nothing when the decoded bytes would pass `capacity`.
bool unpackPayload (const std::uint8_t* bytes, int count, std::uint8_t* block, int capacity, int& fill);

// The FS check: bytes 4096..4099 of `block` against the two 16-bit sums over its first 4096.
bool blockCheckOk (const std::uint8_t* block);
// The four check bytes that blockCheckOk expects after `data` (blockSize bytes).
std::array<std::uint8_t, 4> checkBytes (const std::uint8_t* data);
} // namespace Frames
