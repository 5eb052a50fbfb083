#pragma once

// An in-memory MIDI port system for tests and benchmarks. The test keeps the shared state and
// plays the instruments: every message an output sends is recorded and shown to `onSend`, which
// may queue replies; deliverPending() hands queued replies to the inputs that are open and
// started at that moment (others lose them, as a closed port would). An input's stop() waits
// for a delivery in progress, like a real reader thread's join.

#include "devicelink/MidiPorts.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class FakeMidiPorts : public MidiPortSystem
{
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Sent
    {
        int output;
        Bytes bytes;
    };

    struct State
    {
        std::vector<juce::String> inputNames, outputNames;
        // Called for every message sent (on the sending thread, outside the state's lock).
        std::function<void (int output, const Bytes& bytes)> onSend;
        // Outputs whose sends fail (a port that is gone).
        std::vector<int> failingOutputs;

        // Everything below is guarded by mutex.
        std::mutex mutex;
        std::vector<Sent> sent;
        std::vector<std::pair<int, Bytes>> pending;
        int inputOpens = 0, outputOpens = 0, liveInputs = 0, liveOutputs = 0;

        struct Endpoint
        {
            // Held during a delivery; stop() takes it and so waits for one in progress, like
            // a reader thread's join. start() does not: it runs under the engine's lock, which
            // a delivery takes while holding this one.
            std::mutex mutex;
            std::atomic<bool> started { false };
            MidiInPortCallback* callback = nullptr;
            MidiInPort* port = nullptr;
            int index = 0;
        };
        std::vector<std::weak_ptr<Endpoint>> endpoints;

        void queue (int input, Bytes bytes)
        {
            const std::lock_guard<std::mutex> g (mutex);
            pending.emplace_back (input, std::move (bytes));
        }

        // Delivers on the calling thread; returns the messages taken by a started input.
        int deliverPending()
        {
            std::vector<std::pair<int, Bytes>> batch;
            {
                const std::lock_guard<std::mutex> g (mutex);
                batch.swap (pending);
            }
            int delivered = 0;
            for (auto& [input, bytes] : batch)
                delivered += deliver (input, bytes) ? 1 : 0;
            return delivered;
        }

        bool deliver (int input, const Bytes& bytes)
        {
            std::vector<std::shared_ptr<Endpoint>> targets;
            {
                const std::lock_guard<std::mutex> g (mutex);
                for (auto& w : endpoints)
                    if (auto e = w.lock(); e != nullptr && e->index == input)
                        targets.push_back (e);
            }
            bool taken = false;
            const juce::MidiMessage message (bytes.data(), static_cast<int> (bytes.size()), 0.0);
            for (auto& e : targets)
            {
                const std::lock_guard<std::mutex> g (e->mutex);
                if (e->started)
                {
                    e->callback->handleIncomingMidiMessage (e->port, message);
                    taken = true;
                }
            }
            return taken;
        }

        std::vector<Sent> sentTo (int output)
        {
            const std::lock_guard<std::mutex> g (mutex);
            std::vector<Sent> result;
            for (auto& s : sent)
                if (s.output == output)
                    result.push_back (s);
            return result;
        }

        std::vector<Sent> allSent()
        {
            const std::lock_guard<std::mutex> g (mutex);
            return sent;
        }

        void clearSent()
        {
            const std::lock_guard<std::mutex> g (mutex);
            sent.clear();
        }
    };

    explicit FakeMidiPorts (std::shared_ptr<State> stateIn) : state (std::move (stateIn)) {}

    std::vector<MidiPortInfo> getInputs() override { return list (state->inputNames, "in"); }
    std::vector<MidiPortInfo> getOutputs() override { return list (state->outputNames, "out"); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        const int index = port.identifier.fromFirstOccurrenceOf (":", false, false).getIntValue();
        return std::make_unique<InPort> (state, index, port.name, callback);
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        const int index = port.identifier.fromFirstOccurrenceOf (":", false, false).getIntValue();
        return std::make_unique<OutPort> (state, index, port.name);
    }

private:
    static std::vector<MidiPortInfo> list (const std::vector<juce::String>& names, const char* kind)
    {
        std::vector<MidiPortInfo> result;
        for (std::size_t i = 0; i < names.size(); ++i)
            result.push_back ({ names[i], juce::String (kind) + ":" + juce::String (static_cast<int> (i)) });
        return result;
    }

    class InPort final : public MidiInPort
    {
    public:
        InPort (std::shared_ptr<State> s, int index, juce::String n, MidiInPortCallback& callback)
            : state (std::move (s)), name (std::move (n)), endpoint (std::make_shared<State::Endpoint>())
        {
            endpoint->callback = &callback;
            endpoint->port = this;
            endpoint->index = index;
            const std::lock_guard<std::mutex> g (state->mutex);
            state->endpoints.push_back (endpoint);
            ++state->inputOpens;
            ++state->liveInputs;
        }

        ~InPort() override
        {
            stop();
            const std::lock_guard<std::mutex> g (state->mutex);
            --state->liveInputs;
        }

        juce::String getName() const override { return name; }

        void start() override { endpoint->started = true; }

        void stop() override
        {
            const std::lock_guard<std::mutex> g (endpoint->mutex);
            endpoint->started = false;
        }

    private:
        std::shared_ptr<State> state;
        juce::String name;
        std::shared_ptr<State::Endpoint> endpoint;
    };

    class OutPort final : public MidiOutPort
    {
    public:
        OutPort (std::shared_ptr<State> s, int i, juce::String n) : state (std::move (s)), index (i), name (std::move (n))
        {
            const std::lock_guard<std::mutex> g (state->mutex);
            ++state->outputOpens;
            ++state->liveOutputs;
        }

        ~OutPort() override
        {
            const std::lock_guard<std::mutex> g (state->mutex);
            --state->liveOutputs;
        }

        juce::String getName() const override { return name; }

        bool sendMessage (const std::uint8_t* data, int size) override
        {
            Bytes bytes (data, data + size);
            {
                const std::lock_guard<std::mutex> g (state->mutex);
                state->sent.push_back ({ index, bytes });
            }
            for (int f : state->failingOutputs)
                if (f == index)
                    return false;
            if (state->onSend)
                state->onSend (index, bytes);
            return true;
        }

    private:
        std::shared_ptr<State> state;
        int index;
        juce::String name;
    };

    std::shared_ptr<State> state;
};
