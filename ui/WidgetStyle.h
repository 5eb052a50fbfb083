#pragma once

#include "ui/ImageButtonWithText.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

// A read-only black label in the default typeface, added to `parent` as a visible child; the
// labels of the main window and of the dialog all look alike.
inline std::unique_ptr<juce::Label> makeLabel (juce::Component& parent, const juce::String& text,
                                               float fontHeight, juce::Justification justification,
                                               juce::Rectangle<int> bounds)
{
    auto label = std::make_unique<juce::Label> ("new label", text);
    parent.addAndMakeVisible (*label);
    label->setFont (juce::Font (juce::Font::getDefaultSansSerifFontName(), "Regular", fontHeight));
    label->setJustificationType (justification);
    label->setEditable (false, false, false);
    label->setColour (juce::Label::textColourId, juce::Colours::black);
    label->setColour (juce::TextEditor::textColourId, juce::Colours::black);
    label->setColour (juce::TextEditor::backgroundColourId, juce::Colour (0x00000000));
    label->setBounds (bounds);
    return label;
}

// A picture button with a painted caption, added to `parent` as a visible child and reporting
// to `listener`; every button of the program is one of these.
inline std::unique_ptr<ImageButtonWithText> makeCaptionButton (juce::Component& parent, juce::Button::Listener& listener,
                                                               const juce::String& caption,
                                                               juce::Rectangle<int> bounds)
{
    auto button = std::make_unique<ImageButtonWithText> ("new button");
    parent.addAndMakeVisible (*button);
    button->setButtonText (caption);
    button->addListener (&listener);
    button->setPlateImages();
    button->setBounds (bounds);
    return button;
}
