#pragma once

// Shared by the job tests: a listener that keeps every posted message, a log that can be
// read back as text, temporary files, and a dispatch loop that waits for a condition.

#include "devicelink/JobQueue.h"
#include "devicelink/MidiPorts.h"
#include "messages/CustomMessage.h"
#include "support/LogTextView.h"
#include "messages/LogPrinter.h"
#include "support/ScratchFolder.h"

#include <juce_events/juce_events.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace jobtest
{
struct Posted
{
    int code = 0;
    int p1 = 0, p2 = 0, p3 = 0;
    std::optional<std::u16string> data;
};

class MessageRecorder : public juce::MessageListener
{
public:
    void handleMessage (const juce::Message& message) override
    {
        if (auto* m = dynamic_cast<const CCustomMessage*> (&message))
            messages.push_back ({ m->code, m->param1, m->param2, m->param3,
                                  m->data != nullptr ? std::optional<std::u16string> (*m->data) : std::nullopt });
    }

    std::vector<Posted> of (int code) const
    {
        std::vector<Posted> out;
        for (const auto& m : messages)
            if (m.code == code)
                out.push_back (m);
        return out;
    }

    // The JobFinished messages as (p1, p2) pairs, in order.
    std::vector<std::pair<int, int>> finished() const
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& m : of (MessageCode::JobFinished))
            out.emplace_back (m.p1, m.p2);
        return out;
    }

    std::vector<Posted> messages;
};

// Runs the message loop until `done` holds or `timeoutMs` passes; true when it held.
inline bool pumpUntil (const std::function<bool()>& done, int timeoutMs = 10000)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (! done())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }
    return true;
}

// Lets everything already posted arrive.
inline void pumpFor (int ms) { juce::MessageManager::getInstance()->runDispatchLoopUntil (ms); }

// A log printer attached to a hidden view whose text the tests read.
struct CapturedLog
{
    CapturedLog() { printer.setEditor (&view); }
    ~CapturedLog() { printer.setEditor (nullptr); }

    juce::String text()
    {
        pumpFor (20);
        return view.getText();
    }

    LogTextView view;
    CLogPrinter printer;
};

// A private folder under the system's temporary folder, removed with everything in it.
struct TempFolder
{
    TempFolder()
        : dir (makeScratchFolder ("talvek-jobs-test"))
    {
    }
    ~TempFolder() { dir.deleteRecursively(); }

    juce::File file (const juce::String& name) const { return dir.getChildFile (name); }

    juce::String write (const juce::String& name, const std::vector<std::uint8_t>& bytes) const
    {
        auto f = file (name);
        f.deleteFile();
        if (bytes.empty())
            f.create(); // replaceWithData would leave no file at all
        else
            f.replaceWithData (bytes.data(), bytes.size());
        return f.getFullPathName();
    }

    juce::File dir;
};

inline std::vector<std::uint8_t> readAll (const juce::File& f)
{
    juce::MemoryBlock block;
    f.loadFileAsData (block);
    const auto* p = static_cast<const std::uint8_t*> (block.getData());
    return std::vector<std::uint8_t> (p, p + block.getSize());
}

inline std::vector<std::uint8_t> pattern (size_t size, unsigned seed = 1)
{
    std::vector<std::uint8_t> out (size);
    for (size_t i = 0; i < size; ++i)
        out[i] = (std::uint8_t) ((i * 131 + seed * 17 + (i >> 12)) & 0xFF);
    return out;
}

// A job queue without a device whose messages and log the test can read.
struct QueueWithoutDevice
{
    QueueWithoutDevice()
    {
        queue.communication.listener = &messages;
        queue.communication.log = &log.printer;
    }

    MessageRecorder messages;
    CapturedLog log;
    JobQueue queue;
};

// A path of `units` UTF-16 code units inside `dir`.
inline juce::String longPath (const juce::File& dir, int units)
{
    auto path = dir.getFullPathName() + "/";
    return path + juce::String::repeatedString ("x", juce::jmax (1, units - path.length()));
}
} // namespace jobtest
