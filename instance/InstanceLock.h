#pragma once

#include <juce_core/juce_core.h>

#include <memory>

// Marks the one running copy of the tool per state folder. Two copies that share that folder
// would share the files of an interrupted update, so the lock lives there too: an advisory
// lock (flock) on a file the system lets go of when the process ends, however it ends. It is
// per user because the folder is, and nobody else can reach it.
//
// On Windows the window keeps the framework's own rule: one copy per machine, held by a named
// mutex the framework takes when the window starts. There the lock is that same mutex, so the
// terminal tool and the window keep each other out machine-wide (the window never takes this
// lock itself: the framework has taken the mutex for it).
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

    // The framework's name for the window's machine-wide mutex on Windows.
    static juce::String machineLockName();

private:
    juce::File file;
    int descriptor = -1;
   #if JUCE_WINDOWS
    std::unique_ptr<juce::InterProcessLock> machineLock;
   #endif
    juce::String error;

    JUCE_DECLARE_NON_COPYABLE (InstanceLock)
};
