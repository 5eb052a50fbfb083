#include "messages/LogPrinter.h"

#include "devicelink/Clock.h"

#include "messages/CustomMessage.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace
{
constexpr std::array<char16_t, 32> cp1252High {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
} // namespace

std::u16string windows1252ToUtf16 (const char* text, std::size_t length)
{
    std::u16string out;
    out.reserve (length);
    for (std::size_t i = 0; i < length; ++i)
    {
        const auto b = static_cast<unsigned char> (text[i]);
        out.push_back (b >= 0x80 && b < 0xA0 ? cp1252High[b - 0x80] : static_cast<char16_t> (b));
    }
    return out;
}

void CLogPrinter::printA (const char* format, ...)
{
    if (getEditor() == nullptr)
        return;

    std::array<char, maxChars + 1> buffer {};
    va_list args;
    va_start (args, format);
    const int n = std::vsnprintf (buffer.data(), buffer.size(), format, args);
    va_end (args);
    if (n < 0)
        return;

    const auto length = std::min<std::size_t> (static_cast<std::size_t> (n), maxChars);
    write (windows1252ToUtf16 (buffer.data(), length));
}

void CLogPrinter::printW (const wchar_t* format, ...)
{
    if (getEditor() == nullptr)
        return;

    // vswprintf fails rather than cutting when the text is too long, so format into a buffer
    // large enough for any line the program prints and cut afterwards.
    std::array<wchar_t, 8 * (maxChars + 1)> buffer {};
    va_list args;
    va_start (args, format);
    const int n = std::vswprintf (buffer.data(), buffer.size(), format, args);
    va_end (args);

    std::size_t length = n >= 0 ? static_cast<std::size_t> (n) : std::wcslen (buffer.data());
    length = std::min<std::size_t> (length, maxChars);

    std::u16string text;
    text.reserve (length);
    for (std::size_t i = 0; i < length; ++i)
    {
        const auto c = static_cast<char32_t> (buffer[i]);
        if (c >= 0x10000)
        {
            const auto v = c - 0x10000;
            text.push_back (static_cast<char16_t> (0xD800 + (v >> 10)));
            text.push_back (static_cast<char16_t> (0xDC00 + (v & 0x3FF)));
        }
        else
        {
            text.push_back (static_cast<char16_t> (c));
        }
    }
    if (text.size() > maxChars)
        text.resize (maxChars);
    write (text);
}

void CLogPrinter::postToEditor (int code, int p1, std::unique_ptr<std::u16string> data)
{
    const std::lock_guard<std::mutex> guard (lock);
    if (editor == nullptr)
        return;
    auto* message = new CCustomMessage (code, p1, 0, 0, std::move (data));
    if (editorClock != nullptr)
        editorClock->post (*editor, message);
    else
        editor->postMessage (message);
}

void CLogPrinter::setEditor (juce::MessageListener* view, Clock* clock)
{
    const std::lock_guard<std::mutex> guard (lock);
    editor = view;
    editorClock = clock;
}

juce::MessageListener* CLogPrinter::getEditor() const
{
    const std::lock_guard<std::mutex> guard (lock);
    return editor;
}

void CLogPrinter::write (const std::u16string& text)
{
    postToEditor (MessageCode::LogAppendText, 0, std::make_unique<std::u16string> (text));
}

void CLogPrinter::setTextColour (std::uint32_t argb)
{
    postToEditor (MessageCode::LogSetTextColour, static_cast<int> (argb));
}

void CLogPrinter::setBold (bool bold)
{
    postToEditor (MessageCode::LogSetBold, bold ? 1 : 0);
}

void CLogPrinter::setLargeFont()
{
    postToEditor (MessageCode::LogSetFontHeight, largeFontHeight);
}

void CLogPrinter::clearLog()
{
    postToEditor (MessageCode::LogClear);
}
