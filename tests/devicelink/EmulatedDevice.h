#pragma once

// A job queue connected to an emulated instrument over a socket, and a runner that plays the
// main component's part: the next job after each success, a stop at the first failure.

#include "JobTestSupport.h"

#include "devicelink/BuiltInData.h"
#include "devicelink/JobQueue.h"
#include "devicelink/MidiPorts.h"
#include "emulator/Instrument.h"
#include "support/InstrumentAddress.h"

#include <gtest/gtest.h>

namespace jobtest
{
namespace emu = talvek::emu;

inline emu::Config emulatorConfig (emu::FlashChip chip, emu::LinkMode mode = emu::LinkMode::FS)
{
    emu::Config config;
    config.chip = chip;
    config.mode = mode;
    config.timing = emu::Timing::instant();
    return config;
}

// The detection driver made for `chip`.
inline BuiltInData::Block driverFor (emu::FlashChip chip)
{
    const auto drivers = BuiltInData::detectionDrivers();
    switch (chip)
    {
        case emu::FlashChip::S29GL256_S:    return drivers[0];
        case emu::FlashChip::S29GL02GS_EST: return drivers[1];
        case emu::FlashChip::S29GL512_S:    return drivers[2];
        case emu::FlashChip::S29GL01G_S:    return drivers[3];
    }
    return {};
}

class EmulatedDevice
{
public:
    explicit EmulatedDevice (emu::FlashChip chip, emu::LinkMode mode = emu::LinkMode::FS)
        : instrument (emulatorConfig (chip, mode))
    {
        instrument.generateContent();
        std::string error;
        started = instrument.start (instrumentAddress (temp.dir), &error);
        EXPECT_TRUE (started) << error;
        const juce::String socket (instrument.socketPath());

        queue = std::make_unique<JobQueue> (createSocketMidiPorts (juce::StringArray (socket)));
        queue->communication.listener = &messages;
        queue->communication.log = &log.printer;
        queue->rescan();
        connected = pumpUntil ([&] { return ! messages.of (MessageCode::DeviceConnected).empty(); }, 20000);
        EXPECT_TRUE (connected) << "no DeviceConnected from the emulated instrument";
    }

    ~EmulatedDevice()
    {
        queue.reset();
        instrument.stop();
    }

    // Forgets the messages, the log and the emulator's record so far.
    void forget()
    {
        pumpFor (20);
        messages.messages.clear();
        log.printer.clearLog();
        log.text();
        instrument.clearRecord();
    }

    // Runs the queued jobs from the start, the next one after each success, up to the first
    // failure or the end. Returns the JobFinished results in order; a job that reports nothing
    // within the time-out ends the run with (-1, -1).
    std::vector<std::pair<int, int>> runScript (int timeoutMs = 60000)
    {
        std::vector<std::pair<int, int>> results;
        if (queue->runNext() != 0)
            return results;
        for (;;)
        {
            const auto seen = messages.finished().size();
            if (! pumpUntil ([&] { return messages.finished().size() > seen; }, timeoutMs))
            {
                results.emplace_back (-1, -1);
                return results;
            }
            results.push_back (messages.finished().back());
            if (results.back().first != 0 || queue->runNext() != 0)
                return results;
        }
    }

    // Uploads the detection driver of the emulated chip and tests it.
    bool loadMatchingDriver()
    {
        const auto driver = driverFor (instrument.config().chip);
        queue->clear();
        queue->addSendDriver (driver.data, driver.size, "Work", 0, 100);
        queue->addTestFlash ("ZKT828", "Work", driver.data, driver.size);
        const auto results = runScript();
        queue->clear();
        return results == std::vector<std::pair<int, int>> { { 0, 0 }, { 0, 0 } };
    }

    TempFolder temp;
    MessageRecorder messages;
    CapturedLog log;
    emu::Instrument instrument;
    std::unique_ptr<JobQueue> queue;
    bool started = false;
    bool connected = false;
};

inline std::vector<std::uint8_t> toVector (const BuiltInData::Block& block)
{
    return std::vector<std::uint8_t> (block.data, block.data + block.size);
}
} // namespace jobtest
