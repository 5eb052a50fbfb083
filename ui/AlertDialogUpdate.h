#pragma once

#include "ui/ImageButtonWithText.h"

#include <juce_gui_basics/juce_gui_basics.h>

// The program's one dialog: a question with YES and NO (mode 0) or a message with OK (mode 1),
// drawn on its own picture. The caller keeps it on its stack and runs it with runModal.
class alertDialog_Update : public juce::Component, public juce::Button::Listener
{
public:
    static constexpr juce::uint8 questionMode = 0;
    static constexpr juce::uint8 messageMode = 1;

    alertDialog_Update();
    ~alertDialog_Update() override;

    void setMode (juce::uint8 m);
    void setMessage (const juce::String& text);

    void paint (juce::Graphics& g) override;
    void resized() override {}
    void buttonClicked (juce::Button* button) override;

    // Shows the dialog as a modal window over `centreAround` and waits: 1 for YES or OK, 0 for
    // NO or when the window is closed or escaped.
    int runModal (const juce::String& title, juce::Component* centreAround);

    juce::uint8 mode = questionMode;
    std::unique_ptr<juce::Label> questionLabel;
    std::unique_ptr<ImageButtonWithText> yesButton;
    std::unique_ptr<ImageButtonWithText> noButton;
    std::unique_ptr<ImageButtonWithText> okButton;
    std::unique_ptr<juce::Label> messageLabel;
    juce::Image background;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (alertDialog_Update)
};
