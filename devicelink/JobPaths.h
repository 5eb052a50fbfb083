#pragma once

// How the jobs turn their path texts into files.

#include <juce_core/juce_core.h>

namespace JobPaths
{
// Paths are limited to what the platform's file calls take whole (259 UTF-16 units plus the
// terminator); a longer one is refused rather than cut, which would name a different file.
constexpr int maxUnits = 259;

inline int utf16Units (const juce::String& path)
{
    return (int) (juce::CharPointer_UTF16::getBytesRequiredFor (path.getCharPointer()) / 2);
}

inline bool tooLong (const juce::String& path) { return utf16Units (path) > maxUnits; }

// A relative path is taken from the working directory, as the platform's own file calls do.
inline juce::File fileAt (const juce::String& path)
{
    return juce::File::isAbsolutePath (path) ? juce::File (path)
                                             : juce::File::getCurrentWorkingDirectory().getChildFile (path);
}
} // namespace JobPaths
