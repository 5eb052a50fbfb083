// The log printer and its view: text and style commands arrive in order, long output is cut,
// 8-bit text is read as Windows-1252, a detached printer drops everything, and any thread may
// print while the view is attached or being detached.
#include "ui/LogEditor.h"
#include "messages/LogPrinter.h"
#include "ui/MainComponent.h"
#include "unit/MainComponentAccess.h"
#include "unit/UiRecordingContext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{
void pumpMessages() { juce::MessageManager::getInstance()->runDispatchLoopUntil (50); }

// A view set up like the main component's, attached to a printer.
struct LogFixture : ::testing::Test
{
    CLogEditor view;
    CLogPrinter printer;

    LogFixture()
    {
        view.setMultiLine (true, true);
        view.setReadOnly (true);
        view.setBounds (0, 0, 412, 192);
        view.setColour (juce::TextEditor::textColourId, juce::Colours::black);
        printer.setEditor (&view);
    }

    ~LogFixture() override { printer.setEditor (nullptr); }
};
} // namespace

TEST_F (LogFixture, EmphasisCommandsApplyToTheTextBetweenThem)
{
    printer.setBold (true);
    printer.setTextColour (0xFFFF0000);
    printer.printA ("Fail.\n");
    printer.setBold (false);
    printer.setTextColour (0xFF000000);
    printer.printA ("OK.\n");
    pumpMessages();

    EXPECT_EQ (view.getText(), "Fail.\nOK.\n");

    Recording recording (view);
    const auto& glyphs = recording.context.glyphs;
    const auto bold = juce::Font (14.0f, juce::Font::bold);
    const auto plain = juce::Font (14.0f, juce::Font::plain);
    ASSERT_EQ (glyphNumbersOf (glyphs), [&] {
        auto numbers = glyphNumbersOf (bold, "Fail.");
        for (auto n : glyphNumbersOf (plain, "OK."))
            numbers.push_back (n);
        return numbers;
    }());

    for (size_t i = 0; i < glyphs.size(); ++i)
    {
        SCOPED_TRACE (i);
        const bool failText = i < 5;
        EXPECT_EQ (glyphs[i].font.isBold(), failText);
        EXPECT_EQ (glyphs[i].colour, failText ? juce::Colours::red : juce::Colours::black);
    }
}

TEST_F (LogFixture, LongOutputIsCutTo1023Characters)
{
    const std::string longText (2000, 'x');
    const std::wstring longWide (2000, L'y');
    printer.printA ("%s", longText.c_str());
    printer.printA ("|");
    printer.printW (L"%ls", longWide.c_str());
    printer.printA ("|");
    printer.printA ("%s", std::string (1023, 'z').c_str());
    pumpMessages();

    const auto parts = juce::StringArray::fromTokens (view.getText(), "|", {});
    ASSERT_EQ (parts.size(), 3);
    EXPECT_EQ (parts[0], juce::String::repeatedString ("x", 1023));
    EXPECT_EQ (parts[1], juce::String::repeatedString ("y", 1023));
    EXPECT_EQ (parts[2], juce::String::repeatedString ("z", 1023));
}

TEST_F (LogFixture, EightBitTextIsReadAsWindows1252)
{
    // Euro sign, e acute, Y diaeresis, an unassigned byte (kept as its C1 control), and the
    // top of the range.
    printer.printA ("%s", "\x80 \xE9 \x9F \x81 \xFF");
    printer.printA ("%s", " caf\xE9\n");
    pumpMessages();
    EXPECT_EQ (view.getText(), juce::String (juce::CharPointer_UTF8 ("\xE2\x82\xAC \xC3\xA9 \xC5\xB8 \xC2\x81 \xC3\xBF caf\xC3\xA9\n")));
}

TEST_F (LogFixture, WideTextKeepsCharactersOutsideTheBasicPlane)
{
    printer.printW (L"%ls %d\n", L"S29GL512_S \u00e9 \U0001F941", 7);
    pumpMessages();
    EXPECT_EQ (view.getText(), juce::String (juce::CharPointer_UTF8 ("S29GL512_S \xC3\xA9 \xF0\x9F\xA5\x81 7\n")));
}

TEST_F (LogFixture, ClearKeepsFontAndColourForLaterText)
{
    printer.setTextColour (0xFF0000FF);
    printer.setLargeFont();
    printer.printA ("before\n");
    printer.clearLog();
    printer.printA ("after");
    pumpMessages();
    EXPECT_EQ (view.getText(), "after");

    Recording recording (view);
    ASSERT_FALSE (recording.context.glyphs.empty());
    for (const auto& glyph : recording.context.glyphs)
    {
        EXPECT_EQ (glyph.colour, juce::Colours::blue);
        EXPECT_FLOAT_EQ (glyph.font.getHeight(), 16.0f);
    }
}

TEST_F (LogFixture, UnknownCodesAndEmptyFontNameChangeNothingHarmful)
{
    view.postMessage (new CCustomMessage (0x500C, 1, 2, 3));
    view.postMessage (new CCustomMessage (MessageCode::LogSetFontName, 0, 0, 0, std::make_unique<std::u16string>()));
    printer.printA ("x");
    pumpMessages();
    EXPECT_EQ (view.getText(), "x");
    Recording recording (view);
    ASSERT_EQ (recording.context.glyphs.size(), 1u);
    EXPECT_EQ (recording.context.glyphs[0].font.getTypefaceName(), juce::Font (14.0f).getTypefaceName());
}

TEST (LogPrinter, WithoutAViewEverythingIsDropped)
{
    CLogPrinter printer;
    printer.printA ("lost %d\n", 1);
    printer.printW (L"lost %d\n", 2);
    printer.setBold (true);
    printer.setTextColour (0xFFFF0000);
    printer.setLargeFont();
    printer.clearLog();

    CLogEditor view;
    view.setMultiLine (true);
    pumpMessages();
    printer.setEditor (&view);
    printer.printA ("kept\n");
    pumpMessages();
    EXPECT_EQ (view.getText(), "kept\n");

    // Nothing that was dropped changed the style either.
    view.setBounds (0, 0, 200, 50);
    Recording recording (view);
    ASSERT_FALSE (recording.context.glyphs.empty());
    EXPECT_FALSE (recording.context.glyphs[0].font.isBold());
    EXPECT_FLOAT_EQ (recording.context.glyphs[0].font.getHeight(), 14.0f);
    printer.setEditor (nullptr);
}

TEST (LogPrinter, ThreadsPrintWholeLinesInTheirOwnOrderAndMayOutliveTheView)
{
    constexpr int threads = 4;
    constexpr int linesEach = 100;
    CLogPrinter printer;
    auto view = std::make_unique<CLogEditor>();
    view->setMultiLine (true);
    view->setBounds (0, 0, 412, 192);
    printer.setEditor (view.get());

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back ([&printer, t] {
            for (int i = 0; i < linesEach; ++i)
                printer.printA ("thread %d line %d\n", t, i);
        });
    for (auto& w : workers)
        w.join();
    pumpMessages();

    std::vector<int> next (threads, 0);
    for (const auto& line : juce::StringArray::fromLines (view->getText().trimEnd()))
    {
        const auto words = juce::StringArray::fromTokens (line, " ", {});
        ASSERT_EQ (words.size(), 4) << line;
        const int t = words[1].getIntValue();
        EXPECT_EQ (words[3].getIntValue(), next[(size_t) t]++) << line;
    }
    for (int count : next)
        EXPECT_EQ (count, linesEach);

    // Detaching and deleting the view while threads keep printing: their output is dropped.
    std::atomic<bool> stop { false };
    std::atomic<int> printed { 0 };
    std::thread late ([&] {
        while (! stop)
        {
            printer.printA ("late\n");
            ++printed;
            juce::Thread::yield();
        }
    });
    while (printed < 50)
        juce::Thread::yield();
    printer.setEditor (nullptr);
    view.reset();
    pumpMessages();
    stop = true;
    late.join();
}

TEST (MainComponentLog, ViewIsHiddenAndStartsWithTestInTheLargeFont)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    pumpMessages();
    EXPECT_FALSE (w.logView.isVisible());
    EXPECT_EQ (w.logView.getParentComponent(), &main);
    EXPECT_EQ (w.logView.getBounds(), juce::Rectangle<int> (76, 404, 412, 192));
    EXPECT_TRUE (w.logView.isReadOnly());
    EXPECT_TRUE (w.logView.isMultiLine());
    EXPECT_EQ (w.logView.findColour (juce::TextEditor::backgroundColourId), juce::Colour (0x38ffffff));
    EXPECT_EQ (main.getWorkflow().logPrinter.getEditor(), &w.logView);
    EXPECT_TRUE (w.logView.getText().startsWith ("Test!\n"));

    Recording recording (w.logView);
    ASSERT_GE (recording.context.glyphs.size(), 5u);
    EXPECT_FLOAT_EQ (recording.context.glyphs[0].font.getHeight(), 16.0f);
    EXPECT_EQ (glyphNumbersOf (recording.context.glyphs, 0, 5), glyphNumbersOf (juce::Font (16.0f), "Test!"));
}
