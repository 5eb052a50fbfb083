#pragma once

// Turns a raw MIDI byte stream (a cable, a raw MIDI device node, a socket) back into whole
// messages. SysEx is joined in a fixed buffer of maxSysExSize bytes, F0 and F7 included; a
// longer one is dropped. Real-time bytes (F8..FF) inside a SysEx are ignored and the SysEx goes
// on; any other status byte inside it ends it as broken (dropped) and then counts as itself.

#include <array>
#include <cstdint>
#include <functional>

class MidiStreamParser
{
public:
    static constexpr int maxSysExSize = 8192;

    // Called with each whole message; the bytes are valid only during the call.
    using Sink = std::function<void (const std::uint8_t* data, int size)>;

    void feed (const std::uint8_t* data, int size, const Sink& sink);
    void reset();

private:
    enum class State { idle, sysEx, skippingSysEx };

    void startShort (std::uint8_t status, const Sink& sink);

    State state = State::idle;
    std::array<std::uint8_t, maxSysExSize> sysEx {};
    int sysExFill = 0;

    std::array<std::uint8_t, 3> shortMessage {};
    int shortFill = 0;
    int shortLength = 0;          // 0: no message under way
    std::uint8_t runningStatus = 0;
};
