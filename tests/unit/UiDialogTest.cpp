// The update dialog's two modes, its widgets and its painting (running it modally needs a
// display: see the window tests).
#include "BinaryData.h"
#include "ui/AlertDialogUpdate.h"

#include <gtest/gtest.h>

TEST (AlertDialogUpdate, StartsAsQuestionWithItsWidgets)
{
    alertDialog_Update dialog;
    EXPECT_EQ (dialog.getWidth(), 400);
    EXPECT_EQ (dialog.getHeight(), 200);

    struct Expected
    {
        juce::Component* widget;
        const char* name;
        juce::Rectangle<int> bounds;
        bool visible;
    };
    for (const auto& e : { Expected { dialog.questionLabel.get(), "new label", { 88, 24, 296, 104 }, true },
                           Expected { dialog.yesButton.get(), "new button", { 80, 144, 100, 44 }, true },
                           Expected { dialog.noButton.get(), "new button", { 224, 144, 100, 44 }, true },
                           Expected { dialog.okButton.get(), "new button", { 152, 144, 100, 44 }, false },
                           Expected { dialog.messageLabel.get(), "new label", { 64, 48, 312, 24 }, true } })
    {
        SCOPED_TRACE (e.name);
        EXPECT_EQ (e.widget->getName(), e.name);
        EXPECT_EQ (e.widget->getBounds(), e.bounds);
        EXPECT_EQ (e.widget->isVisible(), e.visible);
    }
    EXPECT_EQ (dialog.questionLabel->getText(), "Update your device?");
    EXPECT_EQ (dialog.questionLabel->getJustificationType(), juce::Justification::topLeft);
    EXPECT_EQ (dialog.messageLabel->getJustificationType(), juce::Justification::centredLeft);
    EXPECT_FLOAT_EQ (dialog.questionLabel->getFont().getHeight(), 18.0f);
    EXPECT_EQ (dialog.yesButton->getButtonText(), "YES");
    EXPECT_EQ (dialog.noButton->getButtonText(), "NO");
    EXPECT_EQ (dialog.okButton->getButtonText(), "OK");
}

TEST (AlertDialogUpdate, ModesSwitchButtonsAndLabelsAndRouteTheText)
{
    struct Case
    {
        juce::uint8 mode;
        bool question;
    };
    for (const auto& c : { Case { 0, true }, Case { 1, false } })
    {
        SCOPED_TRACE ((int) c.mode);
        alertDialog_Update dialog;
        dialog.setMode (c.mode);
        dialog.setMessage ("Are you sure to update? \nDo not shut power off \nwhile updating.");

        EXPECT_EQ (dialog.yesButton->isVisible(), c.question);
        EXPECT_EQ (dialog.noButton->isVisible(), c.question);
        EXPECT_EQ (dialog.questionLabel->isVisible(), c.question);
        EXPECT_EQ (dialog.okButton->isVisible(), ! c.question);
        EXPECT_EQ (dialog.messageLabel->isVisible(), ! c.question);
        const auto* shown = c.question ? dialog.questionLabel.get() : dialog.messageLabel.get();
        const auto* other = c.question ? dialog.messageLabel.get() : dialog.questionLabel.get();
        EXPECT_EQ (shown->getText(), "Are you sure to update? \nDo not shut power off \nwhile updating.");
        EXPECT_NE (other->getText(), shown->getText());
    }

    // Another mode changes no visibility and takes no text.
    alertDialog_Update dialog;
    dialog.setMode (7);
    dialog.setMessage ("ignored");
    EXPECT_TRUE (dialog.yesButton->isVisible());
    EXPECT_FALSE (dialog.okButton->isVisible());
    EXPECT_EQ (dialog.questionLabel->getText(), "Update your device?");
    EXPECT_EQ (dialog.messageLabel->getText(), "");
}

TEST (AlertDialogUpdate, PaintsItsPicture)
{
    alertDialog_Update dialog;
    const auto snapshot = dialog.createComponentSnapshot (dialog.getLocalBounds());
    const auto picture = juce::ImageCache::getFromMemory (BinaryData::dialog_background_png,
                                                          BinaryData::dialog_background_pngSize);
    for (auto [x, y] : { std::pair { 2, 2 }, std::pair { 200, 135 }, std::pair { 397, 197 } })
        EXPECT_EQ (snapshot.getPixelAt (x, y), picture.getPixelAt (x, y)) << x << "," << y;
}
