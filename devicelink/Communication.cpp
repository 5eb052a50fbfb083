#include "devicelink/Communication.h"

Communication::Communication (std::unique_ptr<MidiPortSystem> portsIn)
    : ports (portsIn != nullptr ? std::move (portsIn) : createPlatformMidiPorts()),
      rawOutputs (*ports)
{
}

Communication::~Communication()
{
    std::vector<std::unique_ptr<MidiInPort>> inputs;
    std::vector<std::unique_ptr<MidiOutPort>> outputs;
    {
        const juce::ScopedLock sl (lock);
        stopTimer();
        listener = nullptr;
        probing = false;
        transferActive = false;
        readActive = false;
        awaitingReply = false;
        selectedInput = nullptr;
        selectedOutput = nullptr;

        for (auto* list : { &openInputs, &retiredInputs })
            for (auto& p : *list)
                inputs.push_back (std::move (p));
        inputs.push_back (std::move (selectedInputOwner));
        for (auto* list : { &openOutputs, &retiredOutputs })
            for (auto& p : *list)
                outputs.push_back (std::move (p));
        outputs.push_back (std::move (selectedOutputOwner));
    }

    // Outside the lock: stopping an input waits for a callback that may be waiting for it. A
    // callback that gets in meanwhile finds nothing selected and nothing running.
    inputs.clear();
    outputs.clear();

    const juce::ScopedLock sl (lock);
    readFile.reset();
}

Communication::EntryLock::EntryLock (Communication& ownerIn) : owner (ownerIn)
{
    owner.lock.enter();
    ++owner.entryDepth;
}

Communication::EntryLock::~EntryLock()
{
    std::vector<std::unique_ptr<MidiInPort>> inputs;
    std::vector<std::unique_ptr<MidiOutPort>> outputs;
    if (--owner.entryDepth == 0 && juce::MessageManager::getInstanceWithoutCreating() != nullptr
        && juce::MessageManager::getInstanceWithoutCreating()->isThisTheMessageThread())
    {
        inputs.swap (owner.retiredInputs);
        outputs.swap (owner.retiredOutputs);
    }
    owner.lock.exit();
    // The retired ports are destroyed here, with the lock released.
}

void Communication::startTimer (int milliseconds)
{
    timerPeriod = milliseconds;
    if (frameworkTimer)
        juce::Timer::startTimer (milliseconds);
}

void Communication::stopTimer()
{
    timerPeriod = 0;
    if (frameworkTimer)
        juce::Timer::stopTimer();
}

bool Communication::isConnected() const
{
    const juce::ScopedLock sl (lock);
    return selectedInput != nullptr && selectedOutput != nullptr && ! probing;
}

bool Communication::isFsMode() const
{
    const juce::ScopedLock sl (lock);
    return fsMode;
}
