#pragma once

#include <juce_events/juce_events.h>

#include <memory>
#include <mutex>
#include <cstdint>
#include <string>

class Clock;

// Formats log text on the caller's thread and hands a private copy to the attached view as a
// posted message (codes Log*: any listener that takes them can be the view), so any thread may print without waiting for the view. A short lock around
// the hand-over lets the owner detach the view while other threads still print: once
// setEditor (nullptr) has returned, no thread is posting to the old view any more.
class CLogPrinter
{
public:
    static constexpr int maxChars = 1023;
    static constexpr int largeFontHeight = 16;

    // 8-bit text in the Windows-1252 code page.
    void printA (const char* format, ...) __attribute__ ((format (printf, 2, 3)));
    // Wide text; %ls takes wide strings.
    void printW (const wchar_t* format, ...);
    void write (const std::u16string& text);

    void setTextColour (std::uint32_t argb);
    void setBold (bool bold);
    void setLargeFont();
    void clearLog();

    // With a clock, the view's messages go through it (null: the framework's message queue).
    void setEditor (juce::MessageListener* view, Clock* clock = nullptr);
    juce::MessageListener* getEditor() const;

private:
    void postToEditor (int code, int p1 = 0, std::unique_ptr<std::u16string> data = nullptr);

    mutable std::mutex lock;
    juce::MessageListener* editor = nullptr; // not owned
    Clock* editorClock = nullptr;            // not owned

};

// Converts 8-bit Windows-1252 text to UTF-16 (precomposed; the five unassigned bytes map to
// the C1 control code of the same value, as the system conversion does).
std::u16string windows1252ToUtf16 (const char* text, std::size_t length);
