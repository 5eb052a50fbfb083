#include "ui/AlertDialogUpdate.h"

#include "BinaryData.h"
#include "ui/WidgetStyle.h"

alertDialog_Update::alertDialog_Update()
{
    questionLabel = makeLabel (*this, "Update your device?", 18.0f, juce::Justification::topLeft,
                               { 88, 24, 296, 104 });

    const auto makeButton = [this] (const juce::String& caption, juce::Rectangle<int> bounds)
    {
        return makeCaptionButton (*this, *this, caption, bounds);
    };
    yesButton = makeButton ("YES", { 80, 144, 100, 44 });
    noButton = makeButton ("NO", { 224, 144, 100, 44 });
    okButton = makeButton ("OK", { 152, 144, 100, 44 });

    messageLabel = makeLabel (*this, {}, 18.0f, juce::Justification::centredLeft, { 64, 48, 312, 24 });

    background = juce::ImageCache::getFromMemory (BinaryData::dialog_background_png,
                                                  BinaryData::dialog_background_pngSize);

    okButton->setVisible (false);
    yesButton->setVisible (true);
    noButton->setVisible (true);
    setSize (400, 200);
}

alertDialog_Update::~alertDialog_Update() = default;

void alertDialog_Update::setMode (juce::uint8 m)
{
    mode = m;
    if (m != questionMode && m != messageMode)
        return;

    const bool question = m == questionMode;
    okButton->setVisible (! question);
    yesButton->setVisible (question);
    noButton->setVisible (question);
    questionLabel->setVisible (question);
    messageLabel->setVisible (! question);
}

void alertDialog_Update::setMessage (const juce::String& text)
{
    if (mode == questionMode)
        questionLabel->setText (text, juce::dontSendNotification);
    else if (mode == messageMode)
        messageLabel->setText (text, juce::dontSendNotification);
}

void alertDialog_Update::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xff323e44));
    g.setColour (juce::Colours::black);
    g.drawImage (background, 0, 0, 400, 200, 0, 0, background.getWidth(), background.getHeight());
}

void alertDialog_Update::buttonClicked (juce::Button* button)
{
    int result = -1;
    if (button == yesButton.get() || button == okButton.get())
        result = 1;
    else if (button == noButton.get())
        result = 0;

    if (result >= 0)
        if (auto* window = findParentComponentOfClass<juce::DialogWindow>())
            window->exitModalState (result);
}

int alertDialog_Update::runModal (const juce::String& title, juce::Component* centreAround)
{
    return juce::DialogWindow::showModalDialog (title, this, centreAround, juce::Colour (0xfff0ffff),
                                                true, false, false);
}
