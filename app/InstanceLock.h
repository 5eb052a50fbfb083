#pragma once

#include <juce_core/juce_core.h>

// Marks the one running copy of the tool per state folder. Two copies that share that folder
// would share the files of an interrupted update, so the lock lives there too: an advisory
// lock (flock) on a file the system lets go of when the process ends, however it ends. It is
// per user because the folder is, and nobody else can reach it.
//
// On Windows the framework's own machine-wide rule keeps a second copy out instead, and
// tryAcquire always succeeds.
class InstanceLock
{
public:
    static constexpr const char* fileName = "talvek-instance.lock";

    enum class Outcome
    {
        acquired,
        heldByAnother,  // another copy (or another InstanceLock in this process) holds it
        failed,         // the file cannot be used; getError() says why
    };

    explicit InstanceLock (const juce::File& folder);
    ~InstanceLock();

    // Never waits. The folder must exist (Recovery::prepareFolder).
    Outcome tryAcquire();
    void release();

    bool isHeld() const { return descriptor >= 0; }
    const juce::File& getFile() const { return file; }
    const juce::String& getError() const { return error; }

private:
    juce::File file;
    int descriptor = -1;
    juce::String error;

    JUCE_DECLARE_NON_COPYABLE (InstanceLock)
};
