#include "ui/MainComponent.h"

#include "ui/Typefaces.h"

// A flat two-colour bar; the message is followed by the percentage with one decimal, so an
// indeterminate bar (negative progress) is drawn full and reads -100.0%.
void MainComponent::drawProgressBar (juce::Graphics& g, juce::ProgressBar& bar, int width, int height,
                                     double progress, const juce::String& textToShow)
{
    const auto background = bar.findColour (juce::ProgressBar::backgroundColourId);
    const auto foreground = bar.findColour (juce::ProgressBar::foregroundColourId);
    const auto barWidth = static_cast<float> (bar.getWidth());
    const auto barHeight = static_cast<float> (bar.getHeight());

    g.setColour (background);
    g.fillRect (juce::Rectangle<float> (0.0f, 0.0f, barWidth, barHeight));

    const auto filled = progress >= 0.0 && progress <= 1.0 ? static_cast<float> (progress) * barWidth : barWidth;
    g.setColour (foreground);
    g.fillRect (juce::Rectangle<float> (0.0f, 0.0f, filled, barHeight));

    if (textToShow.isNotEmpty())
    {
        g.setColour (juce::Colours::white);
        g.setFont (static_cast<float> (height) * 0.8f);
        g.drawText (textToShow + juce::String::formatted ("%0.1f%%", progress * 100.0), 0, 0, width, height,
                    juce::Justification::centred, false);
    }
}

juce::Typeface::Ptr MainComponent::getTypefaceForFont (const juce::Font& font)
{
    return typefaces::withFallback (LookAndFeel_V2::getTypefaceForFont (font));
}
