#pragma once

// Reaches the transfer engine of Communication below its public operations, so that tests and
// benchmarks can start a transfer or a read the way the jobs do and look at the state after.
// Every call takes the engine's lock like an entry point.

#include "devicelink/Communication.h"
#include "devicelink/TickCount.h"

struct CommunicationTestAccess
{
    using Op = Communication::Operation;

    // Call before anything starts the timer: ticks then come only from calling timerCallback.
    static void useManualTimer (Communication& c) { c.frameworkTimer = false; }

    static int timerPeriod (Communication& c) { const juce::ScopedLock sl (c.lock); return c.timerPeriod; }
    static bool probing (Communication& c) { const juce::ScopedLock sl (c.lock); return c.probing; }
    static bool frameworkOutputs (Communication& c) { const juce::ScopedLock sl (c.lock); return c.useFrameworkOutputs; }
    static bool deviceFound (Communication& c) { const juce::ScopedLock sl (c.lock); return c.deviceFound; }
    static int scanAttempts (Communication& c) { const juce::ScopedLock sl (c.lock); return c.scanAttempts; }
    static Op operation (Communication& c) { const juce::ScopedLock sl (c.lock); return c.operation; }
    static int watchdogTicks (Communication& c) { const juce::ScopedLock sl (c.lock); return c.watchdogTicks; }
    static MidiInPort* selectedInput (Communication& c) { const juce::ScopedLock sl (c.lock); return c.selectedInput; }
    static juce::String selectedOutputName (Communication& c)
    {
        const juce::ScopedLock sl (c.lock);
        return c.selectedOutput != nullptr ? c.selectedOutput->getName() : juce::String();
    }

    static void setOperation (Communication& c, Op op) { const juce::ScopedLock sl (c.lock); c.operation = op; }
    static void startTimer (Communication& c, int ms) { const juce::ScopedLock sl (c.lock); c.startTimer (ms); }
    static void setSectors (Communication& c, std::vector<FlashSector> table) { const juce::ScopedLock sl (c.lock); c.sectors = std::move (table); }

    // What the program jobs do around a transfer: operation, timer, then the transfer itself.
    static void startProgram (Communication& c, const std::uint8_t* data, int address, int length)
    {
        const juce::ScopedLock sl (c.lock);
        c.operation = Communication::opProgram;
        c.startTick = c.phaseTick = getTickCount();
        c.startTimer (500);
        c.startTransfer (data, address, length, true);
    }

    static void startRamLoad (Communication& c, const std::uint8_t* data, int length)
    {
        const juce::ScopedLock sl (c.lock);
        c.operation = Communication::opDriverUpload;
        c.startTransfer (data, 0, length, false);
        c.watchdogTicks = 0;
        c.startTimer (500);
    }

    // What the read job does before startRead: the range, the file, the operation.
    static void startRead (Communication& c, int page, int offset, int length, std::unique_ptr<juce::FileOutputStream> file)
    {
        const juce::ScopedLock sl (c.lock);
        c.startTick = getTickCount();
        c.readFile = std::move (file);
        c.operation = Communication::opRead;
        c.startTimer (500);
        c.page = page;
        c.flashOffset = offset;
        c.length = length;
        c.startRead();
    }

    static void startErase (Communication& c, int page, int firstSector, int endSector)
    {
        const juce::ScopedLock sl (c.lock);
        c.page = page;
        c.firstSector = firstSector;
        c.endSector = endSector;
        c.currentSector = firstSector;
        c.operation = Communication::opErase;
        c.startTick = c.phaseTick = getTickCount();
        c.eraseNextSector();
        c.startTimer (500);
    }

    static void startFlashTest (Communication& c)
    {
        const juce::ScopedLock sl (c.lock);
        c.operation = Communication::opFlashTest;
        c.sendFrame (c.frameBuffer.data(), Frames::buildRunTest (c.frameBuffer.data(), 0));
        c.watchdogTicks = 0;
    }
};
