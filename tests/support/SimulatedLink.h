#pragma once

// The transfer engine and the emulated instrument's programmer joined by a cable of a chosen
// speed, in simulated time: a read at DIN speed that takes a minute of cable time runs in
// milliseconds, and every run of a case is the same.
//
// The cable carries one byte after the other in each direction, at `bytesPerSecond` (0: no
// time at all). The instrument takes the frames in turn, as the real one does: it acts on a
// frame once the whole frame is in and it has finished what it was doing, and its replies
// leave one after the other. The host takes a frame the moment it has arrived; its watchdog
// ticks at the period the engine sets.

#include "devicelink/Frames.h"
#include "devicelink/TransferEngine.h"
#include "emulator/Programmer.h"
#include "messages/CustomMessage.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simlink
{
namespace emu = talvek::emu;
using Bytes = std::vector<std::uint8_t>;

struct Cable
{
    double bytesPerSecond = 0; // 0: instant; 3125 a DIN MIDI cable
    emu::LinkMode mode = emu::LinkMode::FS;
    int readFrameBytes = 0;    // packed payload bytes per read frame; 0: a whole block
    emu::ReadFlagStyle flags = emu::ReadFlagStyle::WaitForAck;
    std::vector<emu::Fault> faults;
    // Answers to read requests first..last (counted from 1) held back `ms` while the instrument
    // goes on taking frames. Such an instrument answers in turn: an answer waits for the one
    // before it, and in acked mode one that has sent a frame waits for the host's Ack until the
    // host's next other frame ends it.
    struct HeldAnswers
    {
        int first = 0;
        int last = 0;
        double ms = 0;
    };
    std::optional<HeldAnswers> held;
    // The host's port sees every byte: it knows when a frame begins, long before it is whole.
    bool byteStamps = false;
};

class SimulatedLink final : public TransferHost
{
public:
    explicit SimulatedLink (const Cable& cableIn, emu::FlashChip chip = emu::FlashChip::S29GL512_S)
        : cable (cableIn), programmer (configFor (cableIn, chip), [] {})
    {
        engine.setFsMode (cable.mode == emu::LinkMode::FS);
    }

    // Runs until the engine posts JobFinished or `limitMs` of simulated time have passed; the
    // result's (p1, p2), nothing when the time ran out.
    std::optional<std::pair<int, int>> run (double limitMs = 3'600'000)
    {
        finished.reset();
        const std::int64_t limit = now + std::int64_t (limitMs * 1000);
        while (! finished && ! events.empty())
        {
            auto first = events.begin();
            if (first->first > limit)
                break;
            eventTime = first->first;
            now = std::max (now, eventTime);
            auto action = std::move (first->second);
            events.erase (first);
            action();
        }
        return finished;
    }

    std::int64_t nowUs() const { return now; }

    const Cable cable;
    TransferEngine engine { *this };
    emu::Programmer programmer;
    Bytes readData;
    std::string log;
    // Data blocks the host had sent beyond those the instrument had taken, at most, when it
    // sent one: 0 while the host waits for each block's Ack.
    int mostBlocksAhead = 0;
    // Read requests the host had sent whose answers had not begun to leave the instrument, at
    // most, when it sent one (the one sent included).
    int mostRequestsOwed = 0;

private:
    static emu::Config configFor (const Cable& c, emu::FlashChip chip)
    {
        emu::Config config;
        config.chip = chip;
        config.mode = c.mode;
        config.readFramePackedSize = c.readFrameBytes;
        // Holding answers needs them whole: the link sends their frames and keeps the Acks.
        config.readFlags = c.held ? emu::ReadFlagStyle::Stream : c.flags;
        config.faults = c.faults;
        return config;
    }

    std::int64_t lineTime (std::size_t bytes) const
    {
        return cable.bytesPerSecond > 0 ? std::int64_t (1e6 * double (bytes) / cable.bytesPerSecond) : 0;
    }

    void at (std::int64_t time, std::function<void()> action) { events.emplace (time, std::move (action)); }

    // ---- The instrument's side ----
    static bool isDataBlock (const Bytes& frame)
    {
        return frame.size() > Frames::header.size() && frame[Frames::header.size()] == Frames::Data;
    }

    void frameReachesDevice (const Bytes& frame)
    {
        // Busy with an earlier frame: this one waits its turn.
        if (deviceFreeAt > now)
        {
            at (deviceFreeAt, [this, frame] { frameReachesDevice (frame); });
            return;
        }
        if (isDataBlock (frame))
            ++blocksTaken;
        if (cable.held && takeInTurn (frame))
            return;
        if (isReadRequest (frame))
            ++answeredRequests;
        std::int64_t t = now;
        std::vector<emu::Action> actions;
        std::size_t used = 0;
        while (used < frame.size())
        {
            const auto fed = programmer.feed (frame.data() + used, frame.size() - used, actions);
            if (fed.used == 0)
                break;
            used += fed.used;
        }
        for (const auto& a : actions)
        {
            if (a.kind == emu::Action::Kind::Wait)
                t += std::int64_t (a.ms * 1000);
            else if (a.kind == emu::Action::Kind::Send && programmer.deliverable (a))
            {
                t += lineTime (a.bytes.size());
                toHost (t - lineTime (a.bytes.size()), t);
                const Bytes bytes = a.bytes;
                at (t, [this, bytes] { frameReachesHost (bytes); });
                programmer.sent (a);
            }
        }
        deviceFreeAt = t;
    }

    // ---- An instrument that answers read requests in turn ----
    struct Answer
    {
        std::deque<Bytes> frames;
        std::int64_t due = 0;
        bool started = false;
        bool stalled = false; // sent a frame, waits for the host's Ack
    };

    static bool isReadRequest (const Bytes& frame)
    {
        return frame.size() == std::size_t (Frames::addressFrameSize) && frame[Frames::header.size()] == Frames::Address
               && frame[Frames::addressFrameSize - 2] == 1;
    }

    bool takeInTurn (const Bytes& frame)
    {
        const bool acked = cable.flags == emu::ReadFlagStyle::WaitForAck;
        if (frame.size() > Frames::header.size() && frame[Frames::header.size()] == Frames::Ack)
        {
            if (! answers.empty() && answers.front().stalled)
            {
                answers.front().stalled = false;
                sendAnswers();
            }
            return true;
        }
        if (! answers.empty() && answers.front().stalled)
            answers.pop_front(); // ended by the host's next frame
        if (! isReadRequest (frame))
            return false;
        ++requestsTaken;
        std::vector<emu::Action> actions;
        programmer.feed (frame.data(), frame.size(), actions);
        Answer answer;
        answer.due = now;
        if (requestsTaken >= cable.held->first && requestsTaken <= cable.held->last)
            answer.due += std::int64_t (cable.held->ms * 1000);
        for (const auto& a : actions)
        {
            if (a.kind == emu::Action::Kind::Wait)
                answer.due += std::int64_t (a.ms * 1000);
            else if (a.kind == emu::Action::Kind::Send && programmer.deliverable (a))
            {
                Bytes bytes = a.bytes;
                if (acked && bytes.size() > std::size_t (Frames::bodyFirstPayload + 2) && bytes[Frames::header.size()] == Frames::Data)
                    bytes[1 + Frames::bodyFirstPayload] = 0;
                answer.frames.push_back (std::move (bytes));
                programmer.sent (a);
            }
        }
        answers.push_back (std::move (answer));
        sendAnswers();
        return true;
    }

    void sendAnswers()
    {
        const bool acked = cable.flags == emu::ReadFlagStyle::WaitForAck;
        while (! answers.empty())
        {
            auto& answer = answers.front();
            if (answer.stalled)
                return;
            if (answer.frames.empty())
            {
                answers.pop_front();
                continue;
            }
            if (answer.due > now)
            {
                at (answer.due, [this] { sendAnswers(); });
                return;
            }
            if (! answer.started)
                answeredRequests++;
            answer.started = true;
            Bytes f = std::move (answer.frames.front());
            answer.frames.pop_front();
            answerLineFreeAt = std::max (now, answerLineFreeAt) + lineTime (f.size());
            toHost (answerLineFreeAt - lineTime (f.size()), answerLineFreeAt);
            at (answerLineFreeAt, [this, f] { frameReachesHost (f); });
            const bool readFrame = f.size() > Frames::header.size() && f[Frames::header.size()] == Frames::Data;
            if (acked && readFrame && ! answer.frames.empty())
                answer.stalled = true;
        }
    }

    // ---- The host's side ----
    void toHost (std::int64_t begins, std::int64_t ends)
    {
        framesToHost.emplace_back (begins, ends);
        while (framesToHost.size() > 64)
            framesToHost.pop_front();
    }

    LineActivity lineActivity() override
    {
        LineActivity line;
        if (! cable.byteStamps)
            return line;
        line.known = true;
        for (const auto& [begins, ends] : framesToHost)
            if (begins <= now)
            {
                line.lastBeganUs = std::max (line.lastBeganUs, begins);
                line.arriving = line.arriving || now < ends;
            }
        return line;
    }

    void frameReachesHost (const Bytes& bytes)
    {
        const auto frame = Frames::classify (bytes.data(), static_cast<int> (bytes.size()));
        if (! frame)
            return;
        // Taking a frame takes the host a moment, so whatever it sends in answer goes out after
        // the frames that arrived with this one; each is stamped when it arrived.
        now += 1;
        if (frame->command == Frames::Ack)
            engine.onAck (frame->body[Frames::bodyFirstPayload], eventTime);
        else if (frame->command == Frames::Data)
            engine.onReadFrame (frame->body, frame->bodySize, eventTime);
    }

    SendResult sendFrame (const std::uint8_t* frame, int size) override
    {
        Bytes bytes (frame, frame + size);
        if (isDataBlock (bytes))
            mostBlocksAhead = std::max (mostBlocksAhead, blocksSent++ - blocksTaken);
        if (isReadRequest (bytes))
            mostRequestsOwed = std::max (mostRequestsOwed, ++requestsSent - answeredRequests);
        const std::int64_t start = std::max (now, hostLineFreeAt);
        hostLineFreeAt = start + lineTime (std::size_t (size));
        at (hostLineFreeAt, [this, bytes] { frameReachesDevice (bytes); });
        return SendResult::queued;
    }

    void post (int code, int p1, int p2, int) override
    {
        if (code == MessageCode::JobFinished)
        {
            finished = std::make_pair (p1, p2);
        }
    }

    void print (const char* text, Emphasis) override { log += text; }

    bool writeReadData (const std::uint8_t* data, int size) override
    {
        readData.insert (readData.end(), data, data + size);
        return true;
    }

    bool closeReadData() override { return true; }

    void setTimer (int milliseconds) override
    {
        ++timerGeneration;
        if (milliseconds > 0)
            scheduleTick (timerGeneration, now + std::int64_t (milliseconds) * 1000, milliseconds);
    }

    void scheduleTick (int generation, std::int64_t time, int periodMs)
    {
        at (time, [this, generation, periodMs]
        {
            if (generation != timerGeneration)
                return;
            engine.tick();
            if (generation == timerGeneration)
                scheduleTick (generation, now + std::int64_t (periodMs) * 1000, periodMs);
        });
    }

    std::int64_t microseconds() override { return now; }

    std::multimap<std::int64_t, std::function<void()>> events; // same time: in the order made
    std::int64_t now = 1'000'000;
    std::int64_t eventTime = 0;
    std::int64_t hostLineFreeAt = 0;
    std::int64_t deviceFreeAt = 0;
    int timerGeneration = 0;
    int blocksSent = 0;
    int blocksTaken = 0;
    std::deque<Answer> answers;
    std::deque<std::pair<std::int64_t, std::int64_t>> framesToHost; // when each began and ended
    int requestsTaken = 0;
    int requestsSent = 0;
    int answeredRequests = 0;
    std::int64_t answerLineFreeAt = 0;
    std::optional<std::pair<int, int>> finished;
};
} // namespace simlink
