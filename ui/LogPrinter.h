#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <cstdint>
#include <string>

class CLogEditor;

// Formats log text on the caller's thread and hands a private copy to the attached view as a
// posted message, so any thread may print without waiting for the view.
class CLogPrinter
{
public:
    static constexpr int maxChars = 1023;

    // 8-bit text in the Windows-1252 code page.
    void printA (const char* format, ...) __attribute__ ((format (printf, 2, 3)));
    // Wide text; %ls takes wide strings.
    void printW (const wchar_t* format, ...);
    void write (const std::u16string& text);

    void setTextColour (std::uint32_t argb);
    void setBold (bool bold);
    void setLargeFont();
    void clearLog();

    void setEditor (CLogEditor* view) { editor.store (view); }
    CLogEditor* getEditor() const { return editor.load(); }

private:
    std::atomic<CLogEditor*> editor { nullptr };
};

// Converts 8-bit Windows-1252 text to UTF-16 (precomposed; the five unassigned bytes map to
// the C1 control code of the same value, as the system conversion does).
std::u16string windows1252ToUtf16 (const char* text, std::size_t length);
