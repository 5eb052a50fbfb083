#pragma once

#include <juce_events/juce_events.h>

#include <functional>

// Hands a second launch's command line to the copy of the program that already runs for the
// same state folder: a Unix stream socket beside the instance lock, in the user's private
// folder. Both ends check that the process at the other end belongs to the same user, so a text
// never goes to, or comes from, another user's copy even if the socket were reachable.
//
// On Windows the framework's own instance messaging does the job and this class does nothing.
class InstanceChannel : private juce::Thread
{
public:
    using Receiver = std::function<void (const juce::String&)>;

    static constexpr const char* socketFileName = "talvek-instance.sock";
    static constexpr int maxTextBytes = 64 * 1024;

    explicit InstanceChannel (const juce::File& socketFile);
    // Removes the socket file unless another listener has replaced it since.
    ~InstanceChannel() override;

    // Starts accepting texts; each arrives in `receiver` on the message thread. A copy of the
    // receiver may still run for a text that arrived just before the channel was destroyed.
    // A socket file already there is taken to be left by a copy that has ended, and replaced:
    // only the holder of the folder's InstanceLock may listen.
    juce::Result listen (Receiver receiver);

    // Sends `text` (at most maxTextBytes of it) to the listener at `socketFile`, retrying for
    // up to `timeoutMs` while nobody listens there (0: one try). Succeeds once the listener has
    // confirmed that it took the text. A listener of another user is not sent anything.
    static juce::Result send (const juce::File& socketFile, const juce::String& text, int timeoutMs = 3000);

private:
    void run() override;
    void receiveFrom (int connection);

    juce::File socketFile;
    Receiver receiver;
    int listenSocket = -1;
    // Which file this channel bound, so that it removes only its own.
    unsigned long long boundDevice = 0, boundInode = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (InstanceChannel)
};
