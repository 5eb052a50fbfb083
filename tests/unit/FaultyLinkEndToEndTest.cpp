// The workflow against an instrument that refuses, doubles its Acks or stops answering: a
// driver is chosen only if it is the fitted chip's, an update reports success only with the
// flash it should give, and a lost device keeps the controls locked. In simulated time.
#include "SimulatedBench.h"

#include "devicelink/BuiltInData.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <vector>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

using namespace workflowtest;

namespace
{
const char* const lostText = "Device disconnected. Quit this tool and try again.";

emu::Config withFaults (emu::FlashChip chip, std::initializer_list<const char*> specs)
{
    auto config = instantInstrument (chip);
    for (const char* spec : specs)
    {
        std::string error;
        const auto fault = emu::parseFault (spec, &error);
        EXPECT_TRUE (fault.has_value()) << error;
        if (fault.has_value())
            config.faults.push_back (*fault);
    }
    return config;
}

// The position in the built-in table of the driver made for `chip`.
int driverIndexFor (emu::FlashChip chip)
{
    const auto drivers = makeBuiltInDrivers();
    for (std::size_t i = 0; i < drivers.size(); ++i)
        if (juce::String (drivers[i].flashName.data()) == emu::chipInfo (chip).name)
            return static_cast<int> (i);
    return -1;
}

enum class Detection
{
    chosen,   // a driver selected
    noneFits, // "Please select correct flash model."
    lost,     // the device stopped answering
    unsettled,
};

const char* name (Detection d)
{
    switch (d)
    {
        case Detection::chosen: return "chosen";
        case Detection::noneFits: return "none fits";
        case Detection::lost: return "lost";
        case Detection::unsettled: return "unsettled";
    }
    return "?";
}

Detection waitForDetection (SimBench& bench, int timeoutMs = 60000)
{
    const auto outcome = [&]
    {
        if (bench.w().isDetectingFlash())
            return Detection::unsettled;
        if (bench.w().chosenDriver().data != nullptr)
            return Detection::chosen;
        if (bench.status() == lostText)
            return Detection::lost;
        if (bench.log.all().contains ("Please select correct flash model."))
            return Detection::noneFits;
        return Detection::unsettled;
    };
    bench.runUntil ([&] { return outcome() != Detection::unsettled; }, timeoutMs);
    bench.settle(); // whatever would still follow
    return outcome();
}

int chosenIndex (SimBench& bench)
{
    const auto drivers = BuiltInData::detectionDrivers();
    for (std::size_t i = 0; i < drivers.size(); ++i)
        if (bench.w().chosenDriver().data == drivers[i].data)
            return static_cast<int> (i);
    return -1;
}

int testsOf (const emu::Record& record, const char* flashName)
{
    int n = 0;
    for (const auto& t : record.tests)
        n += t.flashName == flashName ? 1 : 0;
    return n;
}
} // namespace

//==============================================================================================
// A refused or failed driver is skipped; a device that stops answering ends the detection.

TEST (FaultyLinkDetection, RefusalsSkipTheDriverSilenceEndsTheDetection)
{
    struct Case
    {
        const char* what;
        emu::FlashChip chip;
        const char* fault;
        Detection expected;
        const char* logLine;
        const char* untested = nullptr; // a driver that must never reach a test
    };
    const Case cases[] = {
        { "first upload refused", emu::FlashChip::S29GL512_S, "refuse@block:1", Detection::chosen,
          "The device refused the operation (status 1).\n", "S29GL256_S" },
        { "fitted driver's upload refused", emu::FlashChip::S29GL512_S, "refuse@block:3", Detection::noneFits,
          "The device refused the operation (status 1).\n", "S29GL512_S" },
        { "first test fails on the flash", emu::FlashChip::S29GL512_S, "ack-status-2@test:1", Detection::chosen,
          "Timer out when operating the flash.\n" },
        { "fitted driver's confirmation refused", emu::FlashChip::S29GL256_S, "refuse@test:2", Detection::noneFits,
          "Confirming flash \"S29GL256_S\"...Fail.\n" },
        { "no answer to the first upload", emu::FlashChip::S29GL512_S, "drop-reply@block:1", Detection::lost,
          "The device has no response.\n" },
        { "device gives up in the first test", emu::FlashChip::S29GL512_S, "ack-status-3@test:1", Detection::lost,
          "The device has no response.\n" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        SimBench bench (withFaults (c.chip, { c.fault }));
        const auto outcome = waitForDetection (bench);
        const auto log = bench.log.all();
        ASSERT_EQ (outcome, c.expected) << name (outcome) << "\n" << bench.status() << "\n" << log;
        EXPECT_TRUE (log.contains (c.logLine)) << log;
        const auto record = bench.instrument->record();

        switch (c.expected)
        {
            case Detection::chosen:
                EXPECT_EQ (chosenIndex (bench), driverIndexFor (c.chip));
                EXPECT_TRUE (bench.view.fileEnabled);
                break;
            case Detection::noneFits:
                EXPECT_EQ (bench.w().chosenDriver().data, nullptr);
                EXPECT_EQ (bench.log.count ("Sending flash driver for"), 4) << "every driver was tried";
                EXPECT_TRUE (log.endsWith ("Please select correct flash model.\n")) << log;
                EXPECT_TRUE (bench.w().jobs().getJobs().empty());
                break;
            case Detection::lost:
                EXPECT_EQ (bench.status(), lostText);
                EXPECT_EQ (bench.w().chosenDriver().data, nullptr);
                EXPECT_EQ (bench.log.count ("Sending flash driver for"), 1) << "no other driver was tried";
                EXPECT_FALSE (log.contains ("Please select correct flash model."));
                EXPECT_FALSE (bench.view.fileEnabled);
                EXPECT_TRUE (bench.w().jobs().getJobs().empty());
                break;
            case Detection::unsettled:
                break;
        }
        EXPECT_FALSE (bench.view.executeEnabled);
        if (c.untested != nullptr)
        {
            EXPECT_EQ (testsOf (record, c.untested), 0);
        }
    }
}

TEST (FaultyLinkDetection, PassIsConfirmedOnAQuietLine)
{
    SimBench bench (instantInstrument (emu::FlashChip::S29GL512_S));
    ASSERT_EQ (waitForDetection (bench), Detection::chosen) << bench.log.all();
    // The plain test's lines stay as they were; the confirmation follows the pass.
    EXPECT_TRUE (bench.log.all().contains ("Testing flash \"S29GL512_S\"...OK.\n"
                                           "Confirming flash \"S29GL512_S\"...OK.\n"
                                           "Select MCU: ZKT828, flash: S29GL512_S\n"))
        << bench.log.all();
    EXPECT_EQ (bench.log.count ("Confirming flash"), 1) << "failed drivers need no confirmation";
    EXPECT_EQ (testsOf (bench.instrument->record(), "S29GL512_S"), 2);
}

//==============================================================================================
// Frames carry no request id, so a doubled Ack can be taken for the answer to the next request.
// Whatever that does, a driver other than the fitted chip's is never chosen.

TEST (FaultyLinkDetection, DoubledAcksNeverChooseAWrongDriver)
{
    const char* doublings[] = {
        "duplicate-ack,count=0",
        "duplicate-ack,count=0,every=2",
        "duplicate-ack,count=0,every=3",
        // The copy lands after the next request went out.
        "duplicate-ack,count=0,after=40",
        "duplicate-ack,count=0,every=2,after=40",
    };
    for (const auto chip : { emu::FlashChip::S29GL01G_S, emu::FlashChip::S29GL512_S })
        for (const char* doubling : doublings)
        {
            SCOPED_TRACE (juce::String (emu::chipInfo (chip).name) + " " + doubling);
            SimBench bench (withFaults (chip, { doubling }));
            const auto outcome = waitForDetection (bench);
            ASSERT_NE (outcome, Detection::unsettled) << bench.status() << "\n" << bench.log.all();
            if (outcome == Detection::chosen)
            {
                EXPECT_EQ (chosenIndex (bench), driverIndexFor (chip)) << bench.log.all();
            }
            else
            {
                EXPECT_EQ (bench.w().chosenDriver().data, nullptr);
            }
        }
}

//==============================================================================================

TEST (FaultyLinkUpdate, DoubledAcksGiveTheRightFlashOrAFailure)
{
    const char* doublings[] = {
        "duplicate-ack,count=0",
        "duplicate-ack,count=0,every=2",
        "duplicate-ack,count=0,every=5",
        // The copy lands after the next block or request went out.
        "duplicate-ack,count=0,after=40",
        "duplicate-ack,count=0,every=7,after=40",
    };
    for (const char* doubling : doublings)
    {
        SCOPED_TRACE (doubling);
        SimBench bench (instantInstrument());
        ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
        const auto ownArea = bench.flash (0x40000, 0x20000);
        const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
        bench.choose (file);
        ASSERT_TRUE (bench.view.executeEnabled);

        // Armed from the update's first frame on.
        bench.instrument->injectFault (*emu::parseFault (doubling));
        bench.execute (true);
        ASSERT_TRUE (bench.runUntil ([&] { return ! bench.w().isUpdating(); }, 300000)) << bench.log.all();
        bench.settle();

        if (bench.status() == "Update completed successfully.")
        {
            EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (file)) << bench.log.all();
            EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea) << bench.log.all();
        }
        else
        {
            EXPECT_NE (bench.status(), "Updating....");
            EXPECT_FALSE (bench.view.executeEnabled);
        }
        EXPECT_FALSE (bench.view.progressVisible);
        EXPECT_FALSE (bench.view.screenSaverBlocked);
    }
}

// On a fast link an Ack's copy can come in while the next block is still on its way; taken
// for that block's Ack, it would send the host ahead of the instrument, which may take only
// one block at a time. At realistic flash timing, every 7th Ack doubled.
TEST (FaultyLinkUpdate, DoubledAcksNeverSendABlockAheadOnAFastLink)
{
    for (const double rate : { 800000.0, 100000.0 })
    {
        SCOPED_TRACE (rate);
        auto config = instantInstrument();
        config.timing = emu::Timing::realistic();
        config.timing.linkBytesPerSecond = rate;
        SimBench bench (config);
        ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
        const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
        bench.choose (file);
        ASSERT_TRUE (bench.view.executeEnabled);

        bench.instrument->injectFault (*emu::parseFault ("duplicate-ack,count=0,every=7"));
        bench.execute (true);
        ASSERT_TRUE (bench.runUntil ([&] { return ! bench.w().isUpdating(); }, 600000)) << bench.log.all();
        EXPECT_EQ (bench.status(), "Update completed successfully.") << bench.log.all();
        EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (file));
        EXPECT_EQ (bench.instrument->dataFramesAhead(), 0);
        EXPECT_GT (bench.instrument->record().count (emu::EventKind::FaultFired), 10u) << "Acks were doubled";
    }
}

//==============================================================================================
// A read that ends without an answer posts OperationState (1) before its failure; after a
// lost device the user has to start again, so neither that nor anything later unlocks the
// controls.

TEST (FaultyLinkUpdate, ExecuteStaysLockedAfterTheDeviceIsLost)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled);

    // The update begins with the read of the instrument's own area.
    bench.instrument->injectFault (*emu::parseFault ("drop-reply@read-block:1,count=0"));
    bench.execute (true);
    ASSERT_TRUE (bench.waitForStatus (lostText, 60000)) << bench.status() << "\n" << bench.log.all();
    bench.settle();
    EXPECT_TRUE (bench.log.all().contains ("Time out, retry...1")) << bench.log.all();
    EXPECT_FALSE (bench.w().isUpdating());
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_FALSE (bench.view.fileEnabled);

    bench.handle (MessageCode::OperationState, 1);
    bench.choose (file);
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_EQ (bench.status(), lostText);
}

//==============================================================================================
// The instrument behind a DIN MIDI cable (3125 bytes/s: a block takes 1.5 s, twice the fixed
// read watchdog), in HS mode with its read blocks streamed in 1600-byte frames and its first
// read reply held back a second: detection, the identity and the file check all come out right.

TEST (SlowCable, TheIdentityReadsRightAtDinSpeedWithALateReply)
{
    auto config = withFaults (emu::FlashChip::S29GL512_S, { "delay@read-block:1,ms=1000" });
    config.mode = emu::LinkMode::HS;
    config.readFlags = emu::ReadFlagStyle::Stream;
    config.readFramePackedSize = 1600;
    config.timing.linkBytesPerSecond = 3125;
    SimBench bench (config);
    ASSERT_TRUE (bench.waitUntilReady (180000)) << bench.status() << "\n" << bench.log.all();
    EXPECT_EQ (bench.w().chosenDriver().data, makeBuiltInDrivers()[(std::size_t) driverIndexFor (emu::FlashChip::S29GL512_S)].data);
    EXPECT_FALSE (bench.log.all().contains ("Time out")) << bench.log.all();

    bench.choose (bench.writeUpdate ("update-256k.bin", 0x40000));
    EXPECT_TRUE (bench.view.executeEnabled) << bench.status() << "\n" << bench.log.all();
}

//==============================================================================================
// The identity read held back: a file chosen meanwhile waits for it, and Execute starts
// nothing until the link is idle; once the read is done the file is checked and accepted.

TEST (IdentityFirst, AFileChosenDuringTheIdentityReadWaitsForIt)
{
    SimBench bench (withFaults (emu::FlashChip::S29GL512_S, { "delay@read-block:1,ms=1500" }));
    ASSERT_TRUE (bench.runUntil ([&] { return bench.identity().versionReadPhase != 0; }, 60000)) << bench.log.all();
    bench.choose (bench.writeUpdate ("update-256k.bin", 0x40000));
    EXPECT_FALSE (bench.identity().updateFileAccepted);
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_TRUE (bench.view.messages.isEmpty());

    bench.execute (true);
    EXPECT_FALSE (bench.w().isUpdating());
    bench.settle();
    EXPECT_TRUE (bench.log.all().contains ("The device is busy. Try again when it is done.\n"));

    ASSERT_TRUE (bench.waitUntilReady (60000)) << bench.status() << "\n" << bench.log.all();
    bench.settle();
    EXPECT_TRUE (bench.identity().updateFileAccepted);
    EXPECT_TRUE (bench.view.executeEnabled);
    EXPECT_EQ (bench.status(), "Device connected.");
    EXPECT_EQ (bench.instrument->record().count (emu::EventKind::Erase), 0u);
    EXPECT_EQ (bench.instrument->record().count (emu::EventKind::ProgramStarted), 0u);
}

//==============================================================================================
// The update writes the bytes that were checked: a private copy taken and checked again at
// Execute. A file replaced after File... by another instrument's, or by something that cannot
// be read, is refused before anything is erased.

TEST (FileAtExecute, AFileChangedAfterTheCheckIsNotWritten)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto good = readAll (file);

    struct Case
    {
        const char* what;
        std::function<void()> change;
        const char* status;
        bool executeLocked; // a size problem leaves the button as it was, for another try
    };
    std::vector<Case> cases = {
        { "another instrument's file of the same size",
          [&]
          {
              auto other = emu::Identity::defaults();
              const char id[] = "TALVEK DM-20";
              std::copy (id, id + 12, other.id.begin());
              ASSERT_TRUE (emu::writeUpdateFile (file.getFullPathName().toStdString(), other, 0x40000));
          },
          "The selected file is not supported.", true },
    };
   #if ! JUCE_WINDOWS
    cases.push_back ({ "a FIFO in its place",
                       [&]
                       {
                           ASSERT_TRUE (file.deleteFile());
                           ASSERT_EQ (::mkfifo (file.getFullPathName().toRawUTF8(), 0600), 0);
                       },
                       "The size of the update file is not correct.", false });
   #endif
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        file.deleteFile();
        ASSERT_TRUE (file.replaceWithData (good.data(), good.size()));
        bench.choose (file);
        ASSERT_TRUE (bench.view.executeEnabled);

        c.change();
        bench.instrument->clearRecord();
        bench.execute (true);
        bench.settle();
        EXPECT_EQ (bench.status(), c.status) << bench.log.all();
        EXPECT_FALSE (bench.w().isUpdating());
        if (c.executeLocked)
        {
            EXPECT_FALSE (bench.view.executeEnabled);
        }
        EXPECT_TRUE (bench.view.fileEnabled);
        EXPECT_EQ (bench.instrument->record().count (emu::EventKind::Erase), 0u);
        EXPECT_TRUE (bench.instrument->record().programmed.empty());
    }
}
