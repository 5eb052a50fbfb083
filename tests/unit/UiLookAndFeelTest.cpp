// The progress bar drawing of the main component's look and feel and the caption of the
// picture buttons, checked through their real paint code: what reaches the renderer is
// compared with what the framework lays out for the expected text in the expected rectangle.
#include "ui/ImageButtonWithText.h"
#include "ui/MainComponent.h"
#include "unit/UiRecordingContext.h"

#include <gtest/gtest.h>

namespace
{
constexpr float tolerance = 0.01f;

void expectSameGlyphs (const std::vector<RecordingContext::Glyph>& drawn,
                       const std::vector<RecordingContext::Glyph>& expected)
{
    ASSERT_EQ (drawn.size(), expected.size());
    for (size_t i = 0; i < drawn.size(); ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_EQ (drawn[i].number, expected[i].number);
        EXPECT_NEAR (drawn[i].position.x, expected[i].position.x, tolerance);
        EXPECT_NEAR (drawn[i].position.y, expected[i].position.y, tolerance);
        EXPECT_NEAR (drawn[i].font.getHorizontalScale(), expected[i].font.getHorizontalScale(), tolerance);
        EXPECT_NEAR (drawn[i].font.getHeight(), expected[i].font.getHeight(), tolerance);
    }
}

struct ProgressBarFixture : ::testing::Test
{
    MainComponent lookAndFeel;
    double value = 0.0;
    juce::ProgressBar bar { value };

    ProgressBarFixture()
    {
        bar.setBounds (0, 0, 508, 24);
        bar.setColour (juce::ProgressBar::backgroundColourId, juce::Colour (5, 6, 61));
        bar.setColour (juce::ProgressBar::foregroundColourId, juce::Colour (0xffc0c0c0));
    }

    std::unique_ptr<RecordingContext> draw (double progress, const juce::String& text)
    {
        image = juce::Image (juce::Image::ARGB, 508, 24, true);
        auto context = std::make_unique<RecordingContext> (image);
        juce::Graphics g (*context);
        lookAndFeel.drawProgressBar (g, bar, 508, 24, progress, text);
        return context;
    }

    juce::Image image;
};
} // namespace

TEST_F (ProgressBarFixture, MessageIsFollowedByOneDecimalPercentOverAFlatBar)
{
    struct Case
    {
        double progress;
        float filledWidth;
        const char* text;
    };
    // An indeterminate (negative) bar is drawn full and its value still printed.
    for (const auto& c : { Case { 0.4567, 508.0f * 0.4567f, "Updating...45.7%" },
                           Case { -1.0, 508.0f, "Updating...-100.0%" },
                           Case { 0.0, 0.0f, "Updating...0.0%" },
                           Case { 1.0, 508.0f, "Updating...100.0%" } })
    {
        SCOPED_TRACE (c.text);
        const auto context = draw (c.progress, "Updating...");

        ASSERT_EQ (context->fills.size(), 2u);
        EXPECT_EQ (context->fills[0].area, juce::Rectangle<float> (0, 0, 508, 24));
        EXPECT_EQ (context->fills[0].colour, juce::Colour (5, 6, 61));
        EXPECT_NEAR (context->fills[1].area.getWidth(), c.filledWidth, 0.01f);
        EXPECT_EQ (context->fills[1].area.getHeight(), 24.0f);
        EXPECT_EQ (context->fills[1].colour, juce::Colour (0xffc0c0c0));

        const juce::Font font (24.0f * 0.8f);
        expectSameGlyphs (context->glyphs, expectedCentredLine (font, c.text, { 0, 0, 508, 24 }));
        for (const auto& glyph : context->glyphs)
            EXPECT_EQ (glyph.colour, juce::Colours::white);
    }
}

TEST_F (ProgressBarFixture, EmptyMessageDrawsNoText)
{
    const auto context = draw (0.5, {});
    EXPECT_TRUE (context->glyphs.empty());
    EXPECT_EQ (context->fills.size(), 2u);
}

TEST_F (ProgressBarFixture, BarWithoutMessageShowsFrameworkPercentThenOwnPercent)
{
    value = 0.37;
    juce::ProgressBar plain (value); // shows its value from the start
    plain.setBounds (0, 0, 508, 24);
    Recording recording (plain);
    expectSameGlyphs (recording.context.glyphs, expectedCentredLine (juce::Font (19.2f), "37%37.0%", { 0, 0, 508, 24 }));
}

TEST_F (ProgressBarFixture, PixelsShowForegroundUpToTheValueAndBackgroundAfter)
{
    draw (0.25, {});
    EXPECT_EQ (image.getPixelAt (50, 12), juce::Colour (0xffc0c0c0));
    EXPECT_EQ (image.getPixelAt (200, 12), juce::Colour (5, 6, 61));
}

TEST (ImageButtonWithText, CaptionFillsTheTextButtonAreaForEachButtonSize)
{
    // The worked layout: font 22, yIndent 4, both indents 13, text area (13, 4, width - 26, 36).
    struct Case
    {
        int width;
        juce::Rectangle<int> textArea;
    };
    const juce::StringArray captions { "Execute", "File...", "UPDATE", "YES",
                                       "Update the complete instrument firmware now" };

    for (const auto& c : { Case { 140, { 13, 4, 114, 36 } }, Case { 156, { 13, 4, 130, 36 } },
                           Case { 100, { 13, 4, 74, 36 } } })
    {
        for (const auto& caption : captions)
        {
            SCOPED_TRACE ((juce::String (c.width) + " " + caption).toStdString());
            ImageButtonWithText button ("new button");
            button.setPlateImages();
            button.setButtonText (caption);
            button.setBounds (0, 0, c.width, 44);

            Recording recording (button);
            const juce::Font font (juce::Font::getDefaultSansSerifFontName(), "Regular", 22.0f);
            expectSameGlyphs (recording.context.glyphs, expectedFittedGlyphs (font, caption, c.textArea, 2));
            for (const auto& glyph : recording.context.glyphs)
            {
                EXPECT_EQ (glyph.colour, juce::Colours::white);
                EXPECT_EQ (glyph.font.getTypefaceStyle(), "Regular");
            }
        }

        // The long caption is what pins the area down: one pixel less on either side moves it.
        const juce::Font font (juce::Font::getDefaultSansSerifFontName(), "Regular", 22.0f);
        const auto exact = expectedFittedGlyphs (font, captions[4], c.textArea, 2);
        const auto wider = expectedFittedGlyphs (font, captions[4], c.textArea.expanded (1, 0), 2);
        ASSERT_FALSE (exact.empty());
        EXPECT_NE (exact.front().position.x, wider.front().position.x);
    }
}

TEST (ImageButtonWithText, PressedCaptionMovesTwoPixelsRightAndDown)
{
    ImageButtonWithText button ("new button");
    button.setPlateImages();
    button.setButtonText ("Execute");
    button.setBounds (0, 0, 140, 44);

    Recording normal (button);
    button.setState (juce::Button::buttonDown);
    Recording pressed (button);

    ASSERT_EQ (pressed.context.glyphs.size(), normal.context.glyphs.size());
    ASSERT_FALSE (normal.context.glyphs.empty());
    for (size_t i = 0; i < normal.context.glyphs.size(); ++i)
    {
        EXPECT_NEAR (pressed.context.glyphs[i].position.x, normal.context.glyphs[i].position.x + 2, tolerance);
        EXPECT_NEAR (pressed.context.glyphs[i].position.y, normal.context.glyphs[i].position.y + 2, tolerance);
    }
}

TEST (ImageButtonWithText, DisabledCaptionIsDrawnAtHalfOpacity)
{
    // Without plates the image holds nothing but the caption, so its strongest pixel is the
    // caption colour itself.
    const auto strongestAlpha = [] (const juce::Image& image)
    {
        int strongest = 0;
        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
                strongest = juce::jmax (strongest, (int) image.getPixelAt (x, y).getAlpha());
        return strongest;
    };

    juce::Component parent;
    parent.setBounds (0, 0, 140, 44);
    ImageButtonWithText button ("new button");
    parent.addAndMakeVisible (button);
    button.setButtonText ("Execute");
    button.setBounds (0, 0, 140, 44);

    Recording enabled (button);
    EXPECT_EQ (enabled.context.glyphs.front().colour, juce::Colours::white);
    EXPECT_EQ (strongestAlpha (enabled.image), 255);

    button.setEnabled (false);
    Recording disabled (button);
    EXPECT_EQ (disabled.context.glyphs.front().colour, juce::Colours::white.withAlpha ((juce::uint8) 128));
    EXPECT_EQ (strongestAlpha (disabled.image), 128);

    // A disabled parent dims the caption too.
    button.setEnabled (true);
    parent.setEnabled (false);
    Recording viaParent (button);
    EXPECT_EQ (viaParent.context.glyphs.front().colour.getAlpha(), 128);
}
