// A doubled Ack of one step's last frame lands just after the next step's first request went
// out: on a fast link the copy must not pass for that request's answer, whatever the request.
// In simulated time, with the engine alone against the emulated programmer.

#include "support/SimulatedLink.h"

#include "devicelink/BuiltInData.h"

#include <gtest/gtest.h>

namespace
{
namespace emu = talvek::emu;
using simlink::Bytes;
using simlink::Cable;
using simlink::SimulatedLink;

Bytes content (int blocks)
{
    Bytes data (std::size_t (blocks) * 4096);
    std::uint32_t seed = 0x2468ACE1u;
    for (auto& b : data)
    {
        seed = seed * 1664525u + 1013904223u;
        b = std::uint8_t (seed >> 24);
    }
    return data;
}
} // namespace

// A program's last Ack doubled, then an erase: the erase is over only once the instrument has
// erased, and the program after it sends no block ahead of the instrument.
TEST (DoubledAckSteps, AnEraseIsNotAnsweredByTheCopyOfTheProgramsLastAck)
{
    for (const double rate : { 800000.0, 100000.0 })
    {
        SCOPED_TRACE (std::to_string (rate) + " B/s");
        Cable cable;
        cable.bytesPerSecond = rate;
        cable.faults.push_back (*emu::parseFault ("duplicate-ack@frame:1,count=0"));
        SimulatedLink link (cable);
        link.programmer.norFlash().eraseAll();
        const auto driver = BuiltInData::detectionDrivers()[2]; // the emulated chip's
        link.engine.startDriverUpload (driver.data, driver.size);
        ASSERT_EQ (link.run(), std::make_pair (0, 0)) << link.log;

        const auto first = content (4);
        link.engine.startProgram (first.data(), 0, static_cast<int> (first.size()));
        ASSERT_EQ (link.run(), std::make_pair (0, 0)) << link.log;

        link.engine.startErase (0, { { 0x20000, 0x20000 } }, 0, 1);
        const auto erased = link.run();
        ASSERT_TRUE (erased.has_value()) << link.log;
        EXPECT_EQ (*erased, std::make_pair (0, 0)) << link.log;
        EXPECT_EQ (link.programmer.record().count (emu::EventKind::Erase), 1u)
            << "the erase was reported done before the instrument erased\n" << link.log;

        const auto second = content (8);
        link.engine.startProgram (second.data(), 0x20000, static_cast<int> (second.size()));
        const auto programmed = link.run();
        ASSERT_TRUE (programmed.has_value()) << link.log;
        EXPECT_EQ (*programmed, std::make_pair (0, 0)) << link.log;
        EXPECT_EQ (link.mostBlocksAhead, 0);
        Bytes flash (second.size());
        link.programmer.norFlash().read (0x20000, flash.data(), flash.size());
        EXPECT_TRUE (flash == second);
    }
}
