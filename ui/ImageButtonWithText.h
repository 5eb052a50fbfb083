#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

// A picture button that paints its button text over the picture, in white, centred, dimmed to
// half opacity while the button (or a parent) is disabled and moved 2 pixels while held down.
class ImageButtonWithText : public juce::ImageButton
{
public:
    explicit ImageButtonWithText (const juce::String& name = {});

    // The three plates every button of the program uses (normal, mouse over, pressed), scaled
    // to the button keeping their proportions, fully opaque, clickable anywhere in the bounds.
    void setPlateImages();

protected:
    void paintButton (juce::Graphics& g, bool isMouseOverButton, bool isButtonDown) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ImageButtonWithText)
};
