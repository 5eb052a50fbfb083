// The device link's per-block work: packing, unpacking and checking one 4096-byte block, and
// the host's turnaround from an incoming Ack to the next Data frame handed to the port. The
// allocation counter reports heap allocations per iteration (the goal: none per block beyond
// the message object a port needs).

#include "devicelink/Communication.h"
#include "devicelink/Frames.h"
#include "devicelink/MidiStreamParser.h"
#include "support/CommunicationTestAccess.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<long long> allocations { 0 };
} // namespace

// Counting replacements of the global allocation functions. They pair malloc with free, which
// GCC cannot see through the replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new (std::size_t size)
{
    allocations.fetch_add (1, std::memory_order_relaxed);
    if (void* p = std::malloc (size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete (void* p) noexcept { std::free (p); }
void operator delete (void* p, std::size_t) noexcept { std::free (p); }
#pragma GCC diagnostic pop

namespace
{
std::array<std::uint8_t, Frames::checkedBlockSize> makeBlock()
{
    std::array<std::uint8_t, Frames::checkedBlockSize> block {};
    for (std::size_t i = 0; i < Frames::blockSize; ++i)
        block[i] = static_cast<std::uint8_t> (i * 131 + (i >> 8));
    const auto check = Frames::checkBytes (block.data());
    std::copy (check.begin(), check.end(), block.begin() + Frames::blockSize);
    return block;
}

void reportAllocations (benchmark::State& state, long long before)
{
    state.counters["allocs/iter"] = benchmark::Counter (static_cast<double> (allocations.load() - before) / static_cast<double> (state.iterations()));
}

void packBlock (benchmark::State& state)
{
    const auto block = makeBlock();
    std::array<std::uint8_t, Frames::maxFrameSize> frame {};
    const auto before = allocations.load();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize (Frames::buildData (frame.data(), block.data()));
        benchmark::ClobberMemory();
    }
    reportAllocations (state, before);
    state.SetBytesProcessed (state.iterations() * Frames::blockSize);
}
BENCHMARK (packBlock);

void unpackBlock (benchmark::State& state)
{
    const auto block = makeBlock();
    std::array<std::uint8_t, Frames::maxFrameSize> frame {};
    Frames::buildData (frame.data(), block.data());
    std::array<std::uint8_t, Frames::checkedBlockSize> out {};
    const auto before = allocations.load();
    for (auto _ : state)
    {
        int fill = 0;
        benchmark::DoNotOptimize (Frames::unpackPayload (frame.data() + 6, Frames::packedBlockSize, out.data(), Frames::blockSize, fill));
        benchmark::ClobberMemory();
    }
    reportAllocations (state, before);
    state.SetBytesProcessed (state.iterations() * Frames::blockSize);
}
BENCHMARK (unpackBlock);

void checkBlock (benchmark::State& state)
{
    const auto block = makeBlock();
    const auto before = allocations.load();
    for (auto _ : state)
        benchmark::DoNotOptimize (Frames::blockCheckOk (block.data()));
    reportAllocations (state, before);
    state.SetBytesProcessed (state.iterations() * Frames::blockSize);
}
BENCHMARK (checkBlock);

// One input and one output that answer the probe; the output counts frames and keeps none.
class LoopbackPorts final : public MidiPortSystem
{
public:
    struct In final : MidiInPort
    {
        In (LoopbackPorts& o, MidiInPortCallback& c) : owner (o), callback (c) { owner.input = this; }
        ~In() override { if (owner.input == this) owner.input = nullptr; }
        juce::String getName() const override { return "In"; }
        void start() override {}
        void stop() override {}
        LoopbackPorts& owner;
        MidiInPortCallback& callback;
    };

    struct Out final : MidiOutPort
    {
        explicit Out (LoopbackPorts& o) : owner (o) {}
        juce::String getName() const override { return "Out"; }
        bool sendMessage (const std::uint8_t* data, int size) override
        {
            ++owner.framesSent;
            if (size == Frames::probeFrameSize && data[5] == Frames::Probe)
                owner.probePort = data[6];
            return true;
        }
        LoopbackPorts& owner;
    };

    std::vector<MidiPortInfo> getInputs() override { return { { "In", "in" } }; }
    std::vector<MidiPortInfo> getOutputs() override { return { { "Out", "out" } }; }
    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo&, MidiInPortCallback& c) override { return std::make_unique<In> (*this, c); }
    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo&) override { return std::make_unique<Out> (*this); }

    // Hands the probe's answer to the open input, as the instrument would.
    void answerProbe()
    {
        if (input == nullptr || probePort < 0)
            return;
        const std::uint8_t reply[] { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, static_cast<std::uint8_t> (probePort), 0x01, 0xF7 };
        input->callback.handleIncomingMidiMessage (input, juce::MidiMessage (reply, sizeof (reply), 0.0));
    }

    In* input = nullptr;
    int probePort = -1;
    long long framesSent = 0;
};

struct ConnectedLink
{
    ConnectedLink()
    {
        auto system = std::make_unique<LoopbackPorts>();
        ports = system.get();
        link = std::make_unique<Communication> (std::move (system));
        CommunicationTestAccess::useManualTimer (*link);
        link->rescan();
        for (int window = 0; window < 3; ++window)
        {
            ports->answerProbe();
            link->timerCallback();
        }
        if (! link->isConnected())
            std::abort();
    }

    LoopbackPorts* ports = nullptr;
    std::unique_ptr<Communication> link;
};

constexpr std::uint8_t ackBytes[] { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 };

// Times `deliverAck` while a long program transfer runs: each call hands the link one Ack,
// which makes it send the next Data frame. Restarting the transfer is not timed or counted.
template <typename DeliverAck>
void measureTurnaround (benchmark::State& state, ConnectedLink& c, DeliverAck&& deliverAck)
{
    const std::vector<std::uint8_t> data (256 * Frames::blockSize, 0x5A);
    int blocksLeft = 0;
    long long before = allocations.load();
    long long restartAllocations = 0;

    for (auto _ : state)
    {
        if (blocksLeft <= 1)
        {
            state.PauseTiming();
            const auto a = allocations.load();
            CommunicationTestAccess::startProgram (*c.link, data.data(), 0, static_cast<int> (data.size()));
            blocksLeft = 256;
            restartAllocations += allocations.load() - a;
            state.ResumeTiming();
        }
        deliverAck();
        --blocksLeft;
    }
    before += restartAllocations;
    reportAllocations (state, before);
}

// From the Ack as a message object (what a port hands over) to the next Data frame sent.
void ackToNextDataFrame (benchmark::State& state)
{
    ConnectedLink c;
    const juce::MidiMessage ack (ackBytes, sizeof (ackBytes), 0.0);
    measureTurnaround (state, c, [&] { c.link->handleIncomingMidiMessage (c.ports->input, ack); });
}
BENCHMARK (ackToNextDataFrame);

// The same, from the Ack's bytes as a byte-stream port reads them: joining, the message
// object, and the turnaround.
void ackBytesToNextDataFrame (benchmark::State& state)
{
    ConnectedLink c;
    MidiStreamParser parser;
    auto* input = c.ports->input;
    auto* link = c.link.get();
    const MidiStreamParser::Sink deliver = [input, link] (const std::uint8_t* bytes, int size)
    {
        link->handleIncomingMidiMessage (input, juce::MidiMessage (bytes, size, 0.0));
    };
    measureTurnaround (state, c, [&] { parser.feed (ackBytes, sizeof (ackBytes), deliver); });
}
BENCHMARK (ackBytesToNextDataFrame);
} // namespace

BENCHMARK_MAIN();
