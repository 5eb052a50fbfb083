#pragma once

// The main component's widgets, for the tests that look at the real window content.
#include "ui/MainComponent.h"

struct MainComponentTestAccess
{
    explicit MainComponentTestAccess (MainComponent& main)
        : progressBar (*main.progressBar),
          executeButton (*main.executeButton),
          fileButton (*main.fileButton),
          statusLabel (*main.statusLabel),
          fileNameLabel (*main.fileNameLabel),
          hintLabel (*main.hintLabel),
          logView (*main.logView)
    {
    }

    juce::ProgressBar& progressBar;
    ImageButtonWithText& executeButton;
    ImageButtonWithText& fileButton;
    juce::Label& statusLabel;
    juce::Label& fileNameLabel;
    juce::Label& hintLabel;
    CLogEditor& logView;
};
