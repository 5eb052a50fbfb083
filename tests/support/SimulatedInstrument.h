#pragma once

// The emulated instrument's programmer behind MIDI ports of its own, in simulated time: the
// whole tool (device link, jobs, workflow) runs against it on one thread, and a session that
// takes minutes on a cable takes milliseconds, the same way for every run.
//
// It behaves as the emulator's socket server does: host frames reach the programmer the moment
// they are sent, each takes its bytes' time on the cable before the instrument acts on it, the
// instrument handles one frame after the other (waiting out erases and programs), and each
// reply takes its bytes' time before the host has it. A connection lasts while the tool has a
// port of it open; a new one replaces the old; a pulled cable ends it and the tool's sends on it
// fail.

#include "devicelink/Clock.h"
#include "devicelink/Frames.h"
#include "devicelink/MidiPorts.h"
#include "devicelink/MidiStreamParser.h"
#include "emulator/Instrument.h"
#include "emulator/Programmer.h"
#include "emulator/Wire.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simsession
{
namespace emu = talvek::emu;

class SimulatedInstrument
{
public:
    SimulatedInstrument (SimulatedClock& clockIn, emu::Config config)
        : clock (clockIn), programmer (withoutFiles (std::move (config)), [this] { eventRecorded(); })
    {
    }

    ~SimulatedInstrument() { alive = false; }

    SimulatedInstrument (const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator= (const SimulatedInstrument&) = delete;

    // A port system with one input and one output onto this instrument: what one run of the
    // tool sees. It must not outlive the instrument.
    std::unique_ptr<MidiPortSystem> ports (juce::String name = "TALVEK simulated")
    {
        return std::make_unique<Ports> (*this, name);
    }

    // --- Flash and record, as emu::Instrument has them ---
    void generateContent (const emu::Identity& identity = emu::Identity::defaults())
    {
        // The emulator's own content, copied over: the parts of the flash it writes.
        emu::Instrument source;
        source.generateContent (identity);
        auto& flash = programmer.norFlash();
        flash.eraseAll();
        for (const auto& [address, length] : { std::pair<std::uint64_t, std::size_t> { 0, 0x100000 },
                                               { emu::tagAddress, emu::sectorSize } })
        {
            const auto bytes = source.readFlash (address, length);
            if (! bytes.empty())
                flash.store (address, bytes.data(), bytes.size());
        }
    }
    void writeFlash (std::uint64_t address, const std::vector<std::uint8_t>& bytes)
    {
        auto& flash = programmer.norFlash();
        if (address < flash.size())
            flash.store (address, bytes.data(), std::size_t (std::min<std::uint64_t> (bytes.size(), flash.size() - address)));
    }
    std::vector<std::uint8_t> readFlash (std::uint64_t address, std::size_t length) const
    {
        const auto& flash = programmer.norFlash();
        if (address >= flash.size())
            return {};
        length = std::size_t (std::min<std::uint64_t> (length, flash.size() - address));
        std::vector<std::uint8_t> out (length);
        flash.read (address, out.data(), length);
        return out;
    }
    emu::Record record() { return programmer.record(); }
    const emu::Record& recordNow() { return programmer.record(); }
    void clearRecord() { programmer.record() = {}; }

    // --- Faults, power and the cable ---
    void injectFault (const emu::Fault& fault) { programmer.faults().arm (fault); }
    void clearFaults() { programmer.faults().clear(); }
    void powerLoss() { programmer.cutPower ("by request"); }
    void powerOn() { programmer.restorePower ("by request"); }
    bool powered() const { return programmer.powered(); }
    void pullCable()
    {
        if (current != nullptr)
            endConnection (emu::EventKind::CablePulled, "pulled");
    }
    bool connected() const { return current != nullptr; }

    // Data frames the host sent while the instrument still owed the Ack of an earlier frame (a
    // Data block, an erase or a test; a doubled Ack's copy pays nothing): 0 for a host that
    // waits for each answer. Meant for links that lose nothing: an Ack dropped by a fault or a
    // power loss stays owed.
    int dataFramesAhead() const { return framesAhead; }

    // Called after every event the programmer records (the event is the record's last).
    std::function<void (const emu::Event&)> onEvent;

    const emu::Config& config() const { return programmer.config(); }

private:
    struct Connection;

    class InPort final : public MidiInPort
    {
    public:
        InPort (std::shared_ptr<Connection> c, juce::String nameIn, MidiInPortCallback& callbackIn)
            : connection (std::move (c)), name (std::move (nameIn)), callback (callbackIn)
        {
            connection->inputs.push_back (this);
        }
        ~InPort() override
        {
            auto& list = connection->inputs;
            list.erase (std::remove (list.begin(), list.end(), this), list.end());
            connection->release();
        }
        juce::String getName() const override { return name; }
        void start() override { started = true; }
        void stop() override { started = false; }

        void deliver (const std::vector<std::uint8_t>& bytes)
        {
            if (! started)
                return;
            parser.feed (bytes.data(), int (bytes.size()), [this] (const std::uint8_t* data, int size)
            {
                callback.handleIncomingMidiMessage (this, juce::MidiMessage (data, size));
            });
        }

    private:
        std::shared_ptr<Connection> connection;
        juce::String name;
        MidiInPortCallback& callback;
        MidiStreamParser parser;
        bool started = false;
    };

    class OutPort final : public MidiOutPort
    {
    public:
        OutPort (std::shared_ptr<Connection> c, juce::String nameIn) : connection (std::move (c)), name (std::move (nameIn)) {}
        ~OutPort() override { connection->release(); }
        juce::String getName() const override { return name; }
        bool sendMessage (const std::uint8_t* data, int size) override
        {
            if (! connection->open)
                return false;
            connection->owner.fromHost (data, size);
            return true;
        }

    private:
        std::shared_ptr<Connection> connection;
        juce::String name;
    };

    // Ends when the last port of it closes (the host closed it), when the cable is pulled or
    // when a new connection replaces it.
    struct Connection
    {
        explicit Connection (SimulatedInstrument& ownerIn) : owner (ownerIn) {}
        void release()
        {
            if (--users == 0 && open && owner.alive && owner.current == this)
                owner.endConnection (emu::EventKind::Disconnected, "closed by the host");
        }

        SimulatedInstrument& owner;
        bool open = true;
        int users = 0;
        std::vector<InPort*> inputs;
    };

    class Ports final : public MidiPortSystem
    {
    public:
        Ports (SimulatedInstrument& ownerIn, juce::String nameIn) : owner (ownerIn), name (std::move (nameIn)) {}
        std::vector<MidiPortInfo> getInputs() override { return { { name, name } }; }
        std::vector<MidiPortInfo> getOutputs() override { return { { name, name } }; }
        std::unique_ptr<MidiInPort> openInput (const MidiPortInfo&, MidiInPortCallback& callback) override
        {
            return std::make_unique<InPort> (obtain(), name, callback);
        }
        std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo&) override
        {
            return std::make_unique<OutPort> (obtain(), name);
        }

    private:
        // The ports of one tool share its open connection, as the socket ports do.
        std::shared_ptr<Connection> obtain()
        {
            auto c = connection.lock();
            if (c == nullptr || ! c->open)
            {
                c = owner.connect();
                connection = c;
            }
            ++c->users;
            return c;
        }

        SimulatedInstrument& owner;
        juce::String name;
        std::weak_ptr<Connection> connection;
    };

    static emu::Config withoutFiles (emu::Config config)
    {
        config.flashFile.clear();
        config.recordFile.clear();
        return config;
    }

    double cableUs (std::size_t bytes) const
    {
        const double rate = programmer.config().timing.linkBytesPerSecond;
        return rate > 0 ? 1.0e6 * double (bytes) / rate : 0.0;
    }

    std::shared_ptr<Connection> connect()
    {
        if (current != nullptr)
            endConnection (emu::EventKind::ConnectionReplaced, "a new connection replaced it");
        auto c = std::make_shared<Connection> (*this);
        current = c.get();
        programmer.connected();
        return c;
    }

    void endConnection (emu::EventKind kind, const std::string& why)
    {
        current->open = false;
        current = nullptr;
        fromHostBytes.clear();
        pending.clear();
        ++generation; // a step already scheduled finds itself out of date
        busy = false;
        acksOwed = 0; // what was on its way is lost
        programmer.disconnected (kind, why);
    }

    void fromHost (const std::uint8_t* data, int size)
    {
        if (const auto frame = emu::wire::parse (emu::wire::Bytes (data, data + size)))
        {
            const auto c = frame->command;
            if (c == emu::wire::cmdData && acksOwed > 0)
                ++framesAhead;
            if (c == emu::wire::cmdData || c == emu::wire::cmdEraseSector || c == emu::wire::cmdRunTest)
                ++acksOwed;
        }
        fromHostBytes.insert (fromHostBytes.end(), data, data + size);
        if (! busy)
            schedule (0);
    }

    void schedule (std::int64_t delayUs)
    {
        busy = true;
        const auto gen = generation;
        clock.after (delayUs, [this, gen] { if (gen == generation) step(); });
    }

    struct Pending
    {
        emu::Action action;
        bool onTheWire = false; // a send whose bytes have crossed the cable
        bool ackCopy = false;   // a second Ack to the same host frame
    };

    // The instrument's one thread of work: actions in order, then the next host frame.
    void step()
    {
        busy = false;
        for (;;)
        {
            if (! pending.empty())
            {
                auto p = std::move (pending.front());
                pending.pop_front();
                auto& a = p.action;
                if (a.kind == emu::Action::Kind::Wait)
                {
                    if (a.ms > 0)
                        return schedule (std::int64_t (a.ms * 1000.0));
                    continue;
                }
                if (a.kind == emu::Action::Kind::Close)
                {
                    pullCable();
                    return;
                }
                if (! p.onTheWire)
                {
                    if (! programmer.deliverable (a))
                        continue;
                    if (const auto us = std::int64_t (cableUs (a.bytes.size())); us > 0)
                    {
                        p.onTheWire = true;
                        pending.push_front (std::move (p));
                        return schedule (us);
                    }
                }
                if (current == nullptr)
                    continue;
                programmer.sent (a);
                if (const auto frame = Frames::classify (a.bytes.data(), int (a.bytes.size()));
                    frame && frame->command == Frames::Ack && ! p.ackCopy && acksOwed > 0)
                    --acksOwed;
                const auto inputs = current->inputs;
                for (auto* in : inputs)
                    in->deliver (a.bytes);
                continue;
            }
            if (fromHostBytes.empty() || current == nullptr)
                return;
            std::vector<emu::Action> actions;
            const auto fed = programmer.feed (fromHostBytes.data(), fromHostBytes.size(), actions);
            fromHostBytes.erase (fromHostBytes.begin(), fromHostBytes.begin() + std::ptrdiff_t (fed.used));
            // The frame took its time to arrive over the cable before it was acted on.
            if (fed.frameBytes > 0 && cableUs (fed.frameBytes) > 0)
                pending.push_back ({ emu::Action::wait (cableUs (fed.frameBytes) / 1000.0), false });
            // One host frame has one answer: an Ack after its first is a copy.
            bool acked = false;
            for (auto& a : actions)
            {
                const auto frame = a.kind == emu::Action::Kind::Send ? Frames::classify (a.bytes.data(), int (a.bytes.size()))
                                                                     : std::nullopt;
                const bool ack = frame && frame->command == Frames::Ack;
                pending.push_back ({ std::move (a), false, ack && acked });
                acked = acked || ack;
            }
        }
    }

    void eventRecorded()
    {
        if (onEvent && ! programmer.record().events.empty())
            onEvent (programmer.record().events.back());
    }

    SimulatedClock& clock;
    emu::Programmer programmer;
    bool alive = true;
    Connection* current = nullptr;
    std::vector<std::uint8_t> fromHostBytes;
    std::deque<Pending> pending;
    bool busy = false;
    std::uint64_t generation = 0;
    int acksOwed = 0; // Acks the host's Data, erase and test frames are owed, copies not counted
    int framesAhead = 0;
};
} // namespace simsession
