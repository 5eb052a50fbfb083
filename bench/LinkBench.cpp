// The device link's per-block work: packing, unpacking and checking one 4096-byte block, and
// the host's turnaround from an incoming Ack to the next Data frame handed to the port: in the
// engine alone, through the inbox, and across the input and message threads. The
// allocation counter reports heap allocations per iteration (the goal: none per block beyond
// the message object a port needs).

#include "devicelink/Communication.h"
#include "devicelink/Frames.h"
#include "devicelink/MidiStreamParser.h"
#include "devicelink/TransferEngine.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <semaphore>
#include <thread>

namespace
{
std::atomic<long long> allocations { 0 };
} // namespace

// The framework's own wait for the next message, as its message loop runs it (not in its
// public headers).
namespace juce
{
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

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
// Only where the compiler calls sized deallocation (GCC by default; clang 14 not).
#if __cpp_sized_deallocation
void operator delete (void* p, std::size_t) noexcept { std::free (p); }
#endif
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

// A host that keeps nothing: the engine's own work per block, with no port behind it.
struct NullHost final : TransferHost
{
    SendResult sendFrame (const std::uint8_t*, int) override { ++framesSent; return SendResult::queued; }
    void post (int, int, int, int) override {}
    void print (const char*, Emphasis) override {}
    bool writeReadData (const std::uint8_t*, int) override { return true; }
    bool closeReadData() override { return true; }
    void setTimer (int) override {}
    long long framesSent = 0;
};

constexpr std::uint8_t ackBytes[] { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x00, 0x00, 0xF7 };

// Times `deliverAck` while a long program transfer runs: each call hands the engine one Ack,
// which makes it send the next Data frame. Restarting the transfer is not timed or counted.
template <typename Start, typename DeliverAck>
void measureTurnaround (benchmark::State& state, Start&& start, DeliverAck&& deliverAck)
{
    int blocksLeft = 0;
    long long before = allocations.load();
    long long restartAllocations = 0;

    for (auto _ : state)
    {
        if (blocksLeft <= 1)
        {
            state.PauseTiming();
            const auto a = allocations.load();
            start();
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

const std::vector<std::uint8_t>& programData()
{
    static const std::vector<std::uint8_t> data (256 * Frames::blockSize, 0x5A);
    return data;
}

// From the Ack's frame (what the device link takes from its inbox) to the next Data frame
// handed to the output.
void ackToNextDataFrame (benchmark::State& state)
{
    NullHost host;
    TransferEngine engine (host);
    const auto& data = programData();
    const auto frame = *Frames::classify (ackBytes, sizeof (ackBytes));
    measureTurnaround (state, [&] { engine.startProgram (data.data(), 0, static_cast<int> (data.size())); },
                       [&] { engine.onAck (frame.body[Frames::bodyFirstPayload]); });
}
BENCHMARK (ackToNextDataFrame);

// One input and one output that answer the probe; the output counts frames and keeps none.
// Its input delivers on the calling thread, as a reader thread would.
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

    void deliver (const std::uint8_t* bytes, int size)
    {
        if (input != nullptr)
            input->callback.handleIncomingMidiMessage (input, juce::MidiMessage (bytes, size, 0.0));
    }

    // Hands the probe's answer to the open input, as the instrument would.
    void answerProbe()
    {
        if (probePort < 0)
            return;
        const std::uint8_t reply[] { 0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, static_cast<std::uint8_t> (probePort), 0x01, 0xF7 };
        deliver (reply, sizeof (reply));
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

// The whole path of an Ack through the device link: the raw bytes joined by a byte-stream
// parser on the input's thread, classified into the inbox, taken on the message thread, the
// engine's turnaround, and the next Data frame handed to the output.
void ackBytesThroughTheInbox (benchmark::State& state)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    ConnectedLink c;
    MidiStreamParser parser;
    auto* ports = c.ports;
    const MidiStreamParser::Sink deliver = [ports] (const std::uint8_t* bytes, int size) { ports->deliver (bytes, size); };
    const auto& data = programData();
    measureTurnaround (state, [&] { c.link->programData (data.data(), 0, 0, static_cast<int> (data.size()), 0, 100); },
                       [&] { parser.feed (ackBytes, sizeof (ackBytes), deliver); c.link->processIncoming(); });
}
BENCHMARK (ackBytesThroughTheInbox);

// The same, with the hop between the threads measured too: an input thread of its own hands
// the Ack over, and the message thread is woken through the framework's message queue.
void ackToNextDataFrameAcrossThreads (benchmark::State& state)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    ConnectedLink c;
    auto* ports = c.ports;
    const auto& data = programData();
    std::binary_semaphore go { 0 };
    std::atomic<bool> running { true };
    std::thread input ([&]
    {
        for (;;)
        {
            go.acquire();
            if (! running)
                return;
            ports->deliver (ackBytes, sizeof (ackBytes));
        }
    });

    measureTurnaround (state, [&] { c.link->programData (data.data(), 0, 0, static_cast<int> (data.size()), 0, 100); },
                       [&]
                       {
                           const auto sentBefore = ports->framesSent;
                           go.release();
                           // As the program's own loop waits: blocked until a message arrives
                           // (runDispatchLoopUntil would poll with 1 ms sleeps instead).
                           while (ports->framesSent == sentBefore)
                               juce::dispatchNextMessageOnSystemQueue (false);
                       });
    running = false;
    go.release();
    input.join();
}
BENCHMARK (ackToNextDataFrameAcrossThreads);
} // namespace

BENCHMARK_MAIN();
