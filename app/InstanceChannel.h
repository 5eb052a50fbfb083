#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <functional>

// Hands a text from a refused second launch to the running instance of the program: a stream
// socket in Linux's abstract namespace, named per user, so nothing is left behind when a
// process dies. Only connections from the same user are accepted. Elsewhere the framework's
// own instance messaging does the job and this class does nothing.
class InstanceChannel : private juce::Thread
{
public:
    using Receiver = std::function<void (const juce::String&)>;

    static constexpr int maxTextBytes = 64 * 1024;

    explicit InstanceChannel (const juce::String& name);
    ~InstanceChannel() override;

    // Starts accepting texts; each arrives in `receiver` on the message thread. A copy of the
    // receiver may still run for a text that arrived just before the channel was destroyed.
    // False when the name is taken or the socket cannot be made.
    bool listen (Receiver receiver);

    // Sends `text` to the instance listening under `name`, retrying while it is still starting.
    static bool send (const juce::String& name, const juce::String& text, int timeoutMs = 3000);

private:
    void run() override;
    void receiveFrom (int connection);

    juce::String name;
    Receiver receiver;
    int listenSocket = -1;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InstanceChannel)
};
