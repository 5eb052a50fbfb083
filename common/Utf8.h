#pragma once

// Text that comes from outside (a command line, a hand-over from a second launch) is checked
// here before the framework's strings take it: they assume well-formed UTF-8 and can read past
// the end of a malformed sequence.

#include <cstddef>
#include <cstdint>
#include <string>

namespace utf8
{
// Well-formed UTF-8 in the strict sense: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short.
inline bool isWellFormed (const char* text, std::size_t size)
{
    const auto* p = reinterpret_cast<const std::uint8_t*> (text);
    std::size_t i = 0;
    while (i < size)
    {
        const auto b = p[i];
        if (b < 0x80)
        {
            ++i;
            continue;
        }
        int more = 0;
        std::uint8_t low = 0x80, high = 0xBF; // the range of the byte after the lead byte
        if (b >= 0xC2 && b <= 0xDF)
            more = 1;
        else if (b >= 0xE0 && b <= 0xEF)
        {
            more = 2;
            if (b == 0xE0) low = 0xA0;        // overlong below U+0800
            else if (b == 0xED) high = 0x9F;  // surrogates
        }
        else if (b >= 0xF0 && b <= 0xF4)
        {
            more = 3;
            if (b == 0xF0) low = 0x90;        // overlong below U+10000
            else if (b == 0xF4) high = 0x8F;  // above U+10FFFF
        }
        else
            return false;
        if (size - i <= static_cast<std::size_t> (more))
            return false;
        if (p[i + 1] < low || p[i + 1] > high)
            return false;
        for (int k = 2; k <= more; ++k)
            if ((p[i + static_cast<std::size_t> (k)] & 0xC0) != 0x80)
                return false;
        i += static_cast<std::size_t> (more) + 1;
    }
    return true;
}

inline bool isWellFormed (const char* nulTerminated)
{
    return isWellFormed (nulTerminated, std::char_traits<char>::length (nulTerminated));
}

// The bytes for a message: printable ASCII as it is, every other byte as \xHH.
inline std::string escaped (const char* text, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < size; ++i)
    {
        const auto b = static_cast<std::uint8_t> (text[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\')
            out += static_cast<char> (b);
        else
        {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}
} // namespace utf8
