// Flash driver upload and flash test.
#include "devicelink/Communication.h"

#include "devicelink/DriverImage.h"
#include "devicelink/Frames.h"
#include "messages/LogPrinter.h"

void Communication::sendDriver (const std::uint8_t* data, int lengthIn, const char* name,
                                float progressStart, float progressEnd)
{
    const juce::ScopedLock sl (lock);

    if (data != nullptr && lengthIn > 0)
        driverImage.assign (data, data + lengthIn);
    else
        driverImage.clear();

    sectors = DriverImage::readSectorTable (driverImage.data(), (int) driverImage.size());
    if (sectors.empty())
    {
        logText ("Flash infomation is not correct.");
        driverImage.clear();
        failJob (FailureReason::JobRefused, false);
        return;
    }

    operation = opDriverUpload;
    postProgress (ProgressPhase::Range, (int) (progressStart * 10), (int) (progressEnd * 10));
    startTransfer (driverImage.data(), 0, (int) driverImage.size(), false);
    if (log != nullptr)
        log->printA ("Sending flash driver for \"%s\"...\n", name != nullptr ? name : "");
    watchdogTicks = 0;
    startTimer (500);
}

void Communication::testFlash (int argument, const char* name)
{
    const juce::ScopedLock sl (lock);

    operation = opFlashTest;
    if (log != nullptr)
        log->printA ("Testing flash \"%s\"...", name != nullptr ? name : "");
    const int size = Frames::buildRunTest (frameBuffer.data(), argument);
    sendFrame (frameBuffer.data(), size);
    watchdogTicks = 0;
    // The test normally runs on the watchdog of the upload before it; without one it would
    // wait for ever for a verdict that never comes.
    if (timerPeriod == 0)
        startTimer (500);
}

int Communication::flashEnd() const
{
    return sectors.empty() ? 0 : sectors.back().start + sectors.back().size;
}

std::vector<FlashSector> Communication::getSectors() const
{
    const juce::ScopedLock sl (lock);
    return sectors;
}
