#include "devicelink/OutputWriter.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
// A few Data frames' worth: the engine never has more than a command and a block in flight.
constexpr std::size_t maxQueuedBytes = 64 * 1024;

// Closing writes what is queued while the device takes it; a write that has not ended this
// long after the last one is given up.
constexpr auto closeGrace = std::chrono::milliseconds (250);

class QueuedOutPort final : public MidiOutPort
{
public:
    explicit QueuedOutPort (std::unique_ptr<MidiOutPort> portIn)
        : port (std::move (portIn)), name (port->getName())
    {
        writer = std::thread ([this] { run(); });
    }

    ~QueuedOutPort() override
    {
        std::unique_lock<std::mutex> guard (lock);
        closing = true;
        wake.notify_one();
        for (;;)
        {
            const auto seen = framesWritten;
            if (! written.wait_for (guard, closeGrace, [&] { return writerDone || framesWritten != seen; }))
                break; // the device has stopped taking data
            if (writerDone)
                break;
        }
        guard.unlock();
        port->cancelSends();
        writer.join();
        port.reset();
    }

    juce::String getName() const override { return name; }

    bool sendMessage (const std::uint8_t* data, int size) override
    {
        if (size <= 0)
            return true;
        {
            const std::lock_guard<std::mutex> guard (lock);
            if (failed || queuedBytes + static_cast<std::size_t> (size) > maxQueuedBytes)
                return false;
            std::vector<std::uint8_t> frame;
            if (! spare.empty())
            {
                frame = std::move (spare.back());
                spare.pop_back();
            }
            frame.assign (data, data + size);
            queuedBytes += frame.size();
            queue.push_back (std::move (frame));
        }
        wake.notify_one();
        return true;
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> guard (lock);
        for (;;)
        {
            wake.wait (guard, [this] { return closing || ! queue.empty(); });
            if (queue.empty())
            {
                // Closing, and everything queued has been written (or dropped after a failure).
                writerDone = true;
                written.notify_all();
                return;
            }
            auto frame = std::move (queue.front());
            queue.pop_front();

            guard.unlock();
            const bool ok = port->sendMessage (frame.data(), static_cast<int> (frame.size()));
            guard.lock();

            queuedBytes -= frame.size();
            ++framesWritten;
            written.notify_all();
            if (! ok)
            {
                // The frames behind it would only reach a device that missed this one.
                failed = true;
                for (auto& f : queue)
                    queuedBytes -= f.size();
                queue.clear();
            }
            if (spare.size() < 4)
                spare.push_back (std::move (frame));
        }
    }

    std::unique_ptr<MidiOutPort> port; // written only by the writer thread while it runs
    const juce::String name;

    std::mutex lock; // guards everything below
    std::condition_variable wake;    // to the writer: a frame or the close
    std::condition_variable written; // from the writer: a write has ended, or the writer is done
    std::deque<std::vector<std::uint8_t>> queue;
    std::vector<std::vector<std::uint8_t>> spare; // buffers kept for reuse
    std::size_t queuedBytes = 0;
    std::uint64_t framesWritten = 0; // writes ended, whatever their result
    bool failed = false;
    bool closing = false;
    bool writerDone = false;

    std::thread writer; // last: started once everything above exists
};

class QueuedOutputs final : public MidiPortSystem
{
public:
    explicit QueuedOutputs (std::unique_ptr<MidiPortSystem> inner) : system (std::move (inner)) {}

    std::vector<MidiPortInfo> getInputs() override { return system->getInputs(); }
    std::vector<MidiPortInfo> getOutputs() override { return system->getOutputs(); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        return system->openInput (port, callback);
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        return makeQueuedOutput (system->openOutput (port));
    }

    MidiPortOpenError getLastOpenError() const override { return system->getLastOpenError(); }

private:
    std::unique_ptr<MidiPortSystem> system;
};
} // namespace

std::unique_ptr<MidiOutPort> makeQueuedOutput (std::unique_ptr<MidiOutPort> port)
{
    if (port == nullptr)
        return nullptr;
    return std::make_unique<QueuedOutPort> (std::move (port));
}

std::unique_ptr<MidiPortSystem> withQueuedOutputs (std::unique_ptr<MidiPortSystem> system)
{
    if (system == nullptr)
        return nullptr;
    return std::make_unique<QueuedOutputs> (std::move (system));
}
