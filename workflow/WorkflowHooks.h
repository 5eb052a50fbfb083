#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

class MainComponent;
class MidiPortSystem;

// The places where the workflow waits for the user in a modal dialog or reaches the machine's
// MIDI ports. The program leaves them empty and gets the real dialogs and ports; tests put
// answers and an emulated instrument here, so the workflow runs without a display.
struct WorkflowHooks
{
    // The confirmation before an update, with its title and question: true for YES.
    std::function<bool (MainComponent&, const juce::String& title, const juce::String& text)> confirmUpdate;
    // The update file chooser, with its title and file patterns: the chosen file, or a
    // default File when cancelled.
    std::function<juce::File (MainComponent&, const juce::String& title, const juce::String& patterns)> chooseFile;
    // The message dialog of a refused file, with its title and text.
    std::function<void (MainComponent&, const juce::String& title, const juce::String& text)> showMessage;
    // The non-modal warning about two instruments.
    std::function<void (const juce::String& title, const juce::String& text)> showWarning;
    // The ports a new main component probes; null means the platform's ports.
    std::function<std::unique_ptr<MidiPortSystem>()> makePorts;
};

// One set for the whole program; set it before the main component is built.
WorkflowHooks& workflowHooks();

// The ports the hooks ask for, or null (the platform's ports).
std::unique_ptr<MidiPortSystem> makeWorkflowPorts();
