#pragma once

// The transfer engine with a host that records: frames sent, messages posted, log text, read
// data and the watchdog's period. The test plays the device (replies are built with the
// emulator's own codec, not the tool's) and the timer (each watchdog tick is a call of tick()).

#include "devicelink/Frames.h"
#include "devicelink/TransferEngine.h"
#include "emulator/Wire.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace transfertest
{
using Bytes = std::vector<std::uint8_t>;
namespace wire = talvek::emu::wire;

struct RecordingHost : TransferHost
{
    SendResult sendFrame (const std::uint8_t* frame, int size) override
    {
        if (! hasOutput)
            return SendResult::noOutput;
        if (failSends)
            return SendResult::failed;
        frames.emplace_back (frame, frame + size);
        return SendResult::queued;
    }

    void post (int code, int p1, int p2, int p3) override { messages.messages.push_back ({ code, p1, p2, p3 }); }

    void print (const char* text, Emphasis emphasis) override
    {
        log += text;
        if (emphasis != Emphasis::none)
            emphasised.push_back ({ text, emphasis });
    }

    bool writeReadData (const std::uint8_t* data, int size) override
    {
        if (failWrites)
            return false;
        readData.insert (readData.end(), data, data + size);
        return true;
    }

    bool closeReadData() override
    {
        ++closes;
        return ! failClose;
    }

    void setTimer (int milliseconds) override { timerPeriod = milliseconds; }

    bool hasOutput = true;
    bool failSends = false;
    bool failWrites = false;
    bool failClose = false;
    std::vector<Bytes> frames;
    MessageCollector messages;
    std::string log;
    std::vector<std::pair<std::string, Emphasis>> emphasised;
    Bytes readData;
    int closes = 0;
    int timerPeriod = 0;
};

// Hands one whole incoming frame to the engine, as the device link does with what it takes
// from its inbox.
inline void deliver (TransferEngine& engine, const Bytes& bytes)
{
    const auto frame = Frames::classify (bytes.data(), static_cast<int> (bytes.size()));
    ASSERT_TRUE (frame.has_value());
    if (frame->command == Frames::Ack)
        engine.onAck (frame->body[Frames::bodyFirstPayload]);
    else if (frame->command == Frames::Data)
        engine.onReadFrame (frame->body, frame->bodySize);
}

inline Bytes ack (std::uint8_t status) { return { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, status, 0xF7 }; }
inline const Bytes hostAck { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 };

inline Bytes pattern (std::size_t n, int seed = 1)
{
    Bytes b (n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = (std::uint8_t) ((i * 131 + (std::size_t) seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

// The 4096 bytes a Data frame carries.
inline Bytes dataOf (const Bytes& frame)
{
    EXPECT_EQ (frame.size(), 4689u);
    EXPECT_EQ (frame[5], 0x01);
    return wire::unpack (frame.data() + 6, frame.size() - 7);
}

inline bool isReadRequest (const Bytes& frame) { return frame.size() == 12 && frame[5] == 0x02 && frame[10] == 0x01; }

// The log as text, cleared by clear(); what LogCapture is for the device link.
struct HostLog
{
    RecordingHost* host = nullptr;
    juce::String text() const { return juce::String (host->log); }
    void clear() { host->log.clear(); }
};

class TransferTestBase : public ::testing::Test
{
protected:
    // A paired instrument in the given link mode, with nothing sent yet.
    void connect (bool fs)
    {
        host = std::make_unique<RecordingHost>();
        engine = std::make_unique<TransferEngine> (*host);
        engine->setFsMode (fs);
        log.host = host.get();
    }

    const std::vector<Bytes>& sent() const { return host->frames; }
    MessageCollector& messages() { return host->messages; }

    int countSent (const Bytes& frame) const
    {
        int n = 0;
        for (auto& f : sent())
            n += f == frame ? 1 : 0;
        return n;
    }

    void reply (const Bytes& bytes) { deliver (*engine, bytes); }
    // An erase (like an upload or a test that settles first) goes out once the line has been
    // quiet for a few ticks.
    void untilSent()
    {
        const auto before = sent().size();
        for (int i = 0; i < 20 && sent().size() == before; ++i)
            engine->tick();
    }
    void tick (int n = 1)
    {
        for (int i = 0; i < n; ++i)
            engine->tick();
    }

    // A read as the read job starts it: the range clipped to the flash the table describes.
    void startRead (int page, int offset, int length, std::vector<FlashSector> sectors = { { 0, 0x20000 }, { 0x20000, 0x20000 } })
    {
        const std::int64_t flashEnd = sectors.empty() ? 0 : std::int64_t (sectors.back().start) + sectors.back().size;
        host->readData.clear();
        engine->startRead (page * FlashLayout::pageSize + offset, TransferEngine::readLength (flashEnd, page, offset, length));
    }

    // One whole block from the device in one frame, with check bytes in FS mode.
    static Bytes blockFrame (const Bytes& data, bool fs, std::uint8_t flag = 0)
    {
        Bytes block = data;
        if (fs)
        {
            const auto check = wire::checkBytes (data.data());
            block.insert (block.end(), check.begin(), check.end());
        }
        return wire::readFrame (flag, block.data(), block.size());
    }

    std::unique_ptr<RecordingHost> host;
    std::unique_ptr<TransferEngine> engine;
    HostLog log;
};
} // namespace transfertest
