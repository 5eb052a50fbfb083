#pragma once

// What the device-link tests watch: the messages Communication posts and the text it logs.

#include "messages/CustomMessage.h"
#include "messages/LogPrinter.h"
#include "support/LogTextView.h"
#include "support/ScratchFolder.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

struct Posted
{
    int code, p1, p2, p3;
    bool operator== (const Posted&) const = default;
};

inline std::ostream& operator<< (std::ostream& os, const Posted& m)
{
    return os << "{0x" << std::hex << m.code << std::dec << ", " << m.p1 << ", " << m.p2 << ", " << m.p3 << "}";
}

class MessageCollector : public juce::MessageListener
{
public:
    void handleMessage (const juce::Message& message) override
    {
        if (auto* m = dynamic_cast<const CCustomMessage*> (&message))
            messages.push_back ({ m->code, m->param1, m->param2, m->param3 });
    }

    std::vector<Posted> with (int code) const
    {
        std::vector<Posted> result;
        for (auto& m : messages)
            if (m.code == code)
                result.push_back (m);
        return result;
    }

    int count (int code) const { return static_cast<int> (with (code).size()); }
    bool has (const Posted& m) const { return std::find (messages.begin(), messages.end(), m) != messages.end(); }

    std::vector<Posted> messages;
};

// A new, empty folder of this process's own. (CTest runs tests as parallel processes, and a
// name that is merely free at the moment can be taken by two of them at once.)
inline juce::File makeTestFolder (const juce::String& prefix) { return makeScratchFolder (prefix); }

// Runs the message loop for a moment, so that posted messages (and log text) arrive.
inline void pumpMessages (int milliseconds = 5)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
}

// Runs the message loop until `done` holds or the time-out passes; true when it held.
inline bool pumpUntil (const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (! done())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        pumpMessages (10);
    }
    return true;
}

// A printer with a view attached; text() is what the view holds after the messages arrived.
struct LogCapture
{
    LogCapture() { printer.setEditor (&view); }
    ~LogCapture() { printer.setEditor (nullptr); }

    juce::String text()
    {
        pumpMessages();
        return view.getText();
    }

    CLogPrinter printer;
    LogTextView view;
};
