// The two-devices warning as the window shows it: its Chinese line must be drawn in a typeface
// that has those characters, not as the default typeface's missing-glyph boxes.
#include "messages/CustomMessage.h"
#include "ui/MainComponent.h"
#include "ui/Typefaces.h"
#include "window/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace window_test;

namespace
{
const juce::String englishLine ("Two or more devices! Please check it!");
// The warning's second line, as the workflow words it.
const juce::String chineseLine (juce::CharPointer_UTF8 (
    "\xe6\xa3\x80\xe6\xb5\x8b\xe5\x88\xb0\xe4\xb8\xa4\xe5\x8f\xb0\xe6\x88\x96"
    "\xe6\x9b\xb4\xe5\xa4\x9a\xe8\xae\xbe\xe5\xa4\x87\xef\xbc\x81\xe8\xaf\xb7"
    "\xe6\xa3\x80\xe6\x9f\xa5\xef\xbc\x81"));

juce::Image drawn (const juce::Font& font, juce::juce_wchar c)
{
    juce::Image image (juce::Image::ARGB, 48, 48, true);
    juce::Graphics g (image);
    g.setColour (juce::Colours::black);
    g.setFont (font.withHeight (36.0f));
    g.drawText (juce::String::charToString (c), image.getBounds(), juce::Justification::centred, false);
    return image;
}

bool samePixels (const juce::Image& a, const juce::Image& b)
{
    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt (x, y) != b.getPixelAt (x, y))
                return false;
    return true;
}

// Judged from pixels alone: a character is missing when it is drawn exactly as a private-use
// character that no typeface has, or not at all.
bool drawnAsMissing (const juce::Font& font, juce::juce_wchar c)
{
    const juce::Image blank (juce::Image::ARGB, 48, 48, true);
    const auto image = drawn (font, c);
    return samePixels (image, drawn (font, 0x10fffd)) || samePixels (image, blank);
}

bool anyDrawnAsMissing (const juce::Font& font, const juce::String& text)
{
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
        if (const auto c = p.getAndAdvance(); ! juce::CharacterFunctions::isWhitespace (c) && drawnAsMissing (font, c))
            return true;
    return false;
}

juce::AlertWindow* warningBox()
{
    for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
        if (auto* alert = dynamic_cast<juce::AlertWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
            if (alert->getName() == "Warning" && alert->isShowing())
                return alert;
    return nullptr;
}
} // namespace

TEST (TwoDevicesWarning, ShowsBothLinesWithTheirGlyphs)
{
    TALVEK_REQUIRE_DISPLAY();
    MainComponent main;
    main.handleMessage (CCustomMessage (MessageCode::MultipleDevices));
    ASSERT_TRUE (waitFor ([] { return warningBox() != nullptr; }, 2000));
    auto* box = warningBox();
    pump (200);
    savePng (box->createComponentSnapshot (box->getLocalBounds()), "two-devices-warning.png");

    const auto& chinese = chineseLine;
    const auto font = box->getLookAndFeel().getAlertWindowMessageFont();
    EXPECT_FALSE (anyDrawnAsMissing (font, englishLine)) << font.getTypefaceName();
    EXPECT_FALSE (anyDrawnAsMissing (font, chinese)) << "the message font " << font.getTypefaceName()
                                                     << " draws boxes (is a font with Chinese glyphs installed?)";
    box->exitModalState (1);
    pump (100);
}

// The glyph check agrees with the pixels for the window's typeface, which falls back to one that
// has the Chinese characters; Latin text stays with the default typeface, drawn as before.
TEST (TwoDevicesWarning, WindowTypefaceFallsBackForChineseOnly)
{
    TALVEK_REQUIRE_DISPLAY();
    const auto plainEnglish = drawn (juce::Font (15.0f), 'T');
    MainComponent main; // the default look and feel while it lives
    const juce::Font font (15.0f);
    for (const auto& text : { englishLine, chineseLine })
    {
        SCOPED_TRACE (text.toStdString());
        EXPECT_TRUE (typefaces::draws (font, text)) << "no installed typeface has the Chinese glyphs";
        EXPECT_FALSE (anyDrawnAsMissing (font, text));
    }
    EXPECT_TRUE (samePixels (drawn (font, 'T'), plainEnglish));
}

// The glyph check is no formality: it agrees with the pixels for the framework's own typeface
// too, which lacks the Chinese characters on a system with only the default fonts. (Last in this
// file: a process that has drawn Chinese text in that typeface keeps drawing boxes for it.)
TEST (TwoDevicesWarning, GlyphCheckAgreesWithTheFrameworkTypeface)
{
    TALVEK_REQUIRE_DISPLAY();
    const juce::Font font (15.0f);
    for (const auto& text : { englishLine, chineseLine })
    {
        SCOPED_TRACE (text.toStdString());
        EXPECT_EQ (typefaces::draws (font, text), ! anyDrawnAsMissing (font, text));
    }
}
