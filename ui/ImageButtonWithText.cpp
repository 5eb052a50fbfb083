#include "ui/ImageButtonWithText.h"

#include "BinaryData.h"

ImageButtonWithText::ImageButtonWithText (const juce::String& name) : juce::ImageButton (name) {}

void ImageButtonWithText::setPlateImages()
{
    const auto load = [] (const char* data, int size) { return juce::ImageCache::getFromMemory (data, size); };
    const juce::Colour noOverlay;

    setImages (false, true, true,
               load (BinaryData::button_dark_png, BinaryData::button_dark_pngSize), 1.0f, noOverlay,
               load (BinaryData::button_light_png, BinaryData::button_light_pngSize), 1.0f, noOverlay,
               load (BinaryData::button_pressed_png, BinaryData::button_pressed_pngSize), 1.0f, noOverlay,
               0.0f);
}

void ImageButtonWithText::paintButton (juce::Graphics& g, bool isMouseOverButton, bool isButtonDown)
{
    juce::ImageButton::paintButton (g, isMouseOverButton, isButtonDown);

    const juce::Font font (juce::Font::getDefaultSansSerifFontName(), "Regular",
                           static_cast<float> (getHeight()) * 0.5f);
    g.setFont (font);
    g.setColour (juce::Colours::white.withMultipliedAlpha (isEnabled() ? 1.0f : 0.5f));

    // The text button's caption layout, so the captions sit where a text button puts them.
    const int yIndent = juce::jmin (4, proportionOfHeight (0.3f));
    const int cornerSize = juce::jmin (getHeight(), getWidth()) / 2;
    const int fontHeight = juce::roundToInt (font.getHeight() * 0.6f);
    const int leftIndent = juce::jmin (fontHeight, 2 + cornerSize / (isConnectedOnLeft() ? 4 : 2));
    const int rightIndent = juce::jmin (fontHeight, 2 + cornerSize / (isConnectedOnRight() ? 4 : 2));
    const int textWidth = getWidth() - leftIndent - rightIndent;

    if (textWidth > 0)
    {
        const int shift = isButtonDown ? 2 : 0;
        g.drawFittedText (getButtonText(), leftIndent + shift, yIndent + shift, textWidth,
                          getHeight() - yIndent * 2, juce::Justification::centred, 2);
    }
}
