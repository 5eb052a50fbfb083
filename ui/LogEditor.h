#pragma once

#include "messages/CustomMessage.h"
#include "messages/LogPrinter.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>

// The read-only view that collects the log. Its post operations only queue a message, so any
// thread may call them; the text, font and colour change only in handleMessage.
class CLogEditor : public juce::TextEditor, public juce::MessageListener
{
public:
    static constexpr int largeFontHeight = CLogPrinter::largeFontHeight;

    CLogEditor();

    void handleMessage (const juce::Message& message) override;

    void postText (std::unique_ptr<std::u16string> text);
    void postBold (bool bold);
    void postTextColour (std::uint32_t argb);
    void postFontHeight();
    void postClear();

    // Also appends every text to `file` (not owned; null: none), for a screen that cannot be
    // read. Message thread only.
    void copyTextTo (juce::OutputStream* file) { copy = file; }

private:
    void rebuildFont();

    int fontHeight = 14;
    bool bold = false;
    juce::String fontName;
    juce::OutputStream* copy = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CLogEditor)
};
