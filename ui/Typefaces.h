#pragma once

#include <juce_graphics/juce_graphics.h>

// Drawing characters that a typeface lacks. On Linux the framework draws such a character as
// the typeface's missing-glyph box and does not fall back to another typeface, so text in
// another script (the Chinese line of the two-devices warning) would show boxes.
namespace typefaces
{
// True when every visible character of `text` has a glyph of its own in `font`'s typeface,
// not the shape it draws for a character it lacks.
bool draws (const juce::Font& font, const juce::String& text);

// `primary` extended: a character it lacks is drawn with an installed typeface that has Chinese
// glyphs (the usual ones of the system first, then any). `primary` itself when it has them or
// no installed typeface does. Text that `primary` draws whole is drawn by it alone, exactly as
// before.
juce::Typeface::Ptr withFallback (juce::Typeface::Ptr primary);
} // namespace typefaces
