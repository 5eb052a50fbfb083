#include "devicelink/MidiStreamParser.h"

namespace
{
// Length of a message from its status byte; 0 for bytes that start nothing.
int messageLength (std::uint8_t status)
{
    if (status < 0xF0)
    {
        const int kind = status & 0xF0;
        return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
    }
    switch (status)
    {
        case 0xF1: case 0xF3: return 2;
        case 0xF2: return 3;
        case 0xF6: return 1;
        default: return 0;
    }
}
} // namespace

void MidiStreamParser::reset()
{
    state = State::idle;
    sysExFill = 0;
    shortFill = 0;
    shortLength = 0;
    runningStatus = 0;
}

void MidiStreamParser::startShort (std::uint8_t status, const Sink& sink)
{
    const int length = messageLength (status);
    // Channel messages set running status; system common messages clear it.
    runningStatus = status < 0xF0 ? status : 0;
    shortFill = 0;
    shortLength = 0;
    if (length == 0)
        return;
    shortMessage[0] = status;
    shortFill = 1;
    shortLength = length;
    if (length == 1)
    {
        sink (shortMessage.data(), 1);
        shortFill = 0;
        shortLength = 0;
    }
}

void MidiStreamParser::feed (const std::uint8_t* data, int size, const Sink& sink)
{
    for (int i = 0; i < size; ++i)
    {
        const std::uint8_t b = data[i];

        if (b >= 0xF8)
        {
            // Real time: may appear anywhere, even inside a SysEx, and interrupts nothing.
            if (state == State::idle)
                sink (&b, 1);
            continue;
        }

        if (b == 0xF7)
        {
            if (state == State::sysEx)
            {
                sysEx[static_cast<std::size_t> (sysExFill++)] = b;
                sink (sysEx.data(), sysExFill);
            }
            state = State::idle;
            sysExFill = 0;
            continue;
        }

        if (b >= 0x80)
        {
            // Any status byte ends a SysEx under way: without its F7 it is broken.
            state = State::idle;
            sysExFill = 0;
            if (b == 0xF0)
            {
                state = State::sysEx;
                sysEx[0] = b;
                sysExFill = 1;
                runningStatus = 0;
                shortFill = 0;
                shortLength = 0;
            }
            else
            {
                startShort (b, sink);
            }
            continue;
        }

        // A data byte.
        if (state == State::sysEx)
        {
            // Keep one place for the F7.
            if (sysExFill < maxSysExSize - 1)
                sysEx[static_cast<std::size_t> (sysExFill++)] = b;
            else
                state = State::skippingSysEx;
            continue;
        }
        if (state == State::skippingSysEx)
            continue;

        if (shortLength == 0)
        {
            if (runningStatus == 0)
                continue; // stray data byte
            startShort (runningStatus, sink);
        }
        shortMessage[static_cast<std::size_t> (shortFill++)] = b;
        if (shortFill == shortLength)
        {
            sink (shortMessage.data(), shortFill);
            shortFill = 0;
            shortLength = 0;
        }
    }
}
