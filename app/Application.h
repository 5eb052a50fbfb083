#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class ZKTProgrammerV2Application : public juce::JUCEApplication
{
public:
    const juce::String getApplicationName() override { return "TALVEK Update Tool"; }
    const juce::String getApplicationVersion() override { return "1.4"; }
    bool moreThanOneInstanceAllowed() override { return false; }
    void initialise (const juce::String&) override {}
    void shutdown() override {}
};
