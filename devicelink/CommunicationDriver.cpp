// Flash driver upload and flash test.
#include "devicelink/Communication.h"

#include "devicelink/DriverImage.h"
#include "messages/LogPrinter.h"

void Communication::sendDriver (const std::uint8_t* data, int lengthIn, const char* name,
                                float progressStart, float progressEnd, bool settleFirst)
{
    if (data != nullptr && lengthIn > 0)
        driverImage.assign (data, data + lengthIn);
    else
        driverImage.clear();

    sectors = DriverImage::readSectorTable (driverImage.data(), (int) driverImage.size());
    if (sectors.empty())
    {
        logText ("Flash infomation is not correct.");
        driverImage.clear();
        engine.refuseStart (FailureReason::JobRefused, false);
        return;
    }

    post (MessageCode::Progress, ProgressPhase::Range, (int) (progressStart * 10), (int) (progressEnd * 10));
    engine.startDriverUpload (driverImage.data(), (int) driverImage.size(), settleFirst);
    if (log != nullptr)
        log->printA ("Sending flash driver for \"%s\"...\n", name != nullptr ? name : "");
}

void Communication::testFlash (int argument, const char* name, bool settleFirst)
{
    if (log != nullptr)
    {
        if (settleFirst)
            log->printA ("Confirming flash \"%s\"...", name != nullptr ? name : "");
        else
            log->printA ("Testing flash \"%s\"...", name != nullptr ? name : "");
    }
    engine.startFlashTest (argument, settleFirst);
}

int Communication::flashEnd() const
{
    return static_cast<int> (FlashLayout::endOf (sectors));
}

std::vector<FlashSector> Communication::getSectors() const
{
    return sectors;
}
