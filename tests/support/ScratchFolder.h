#pragma once

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

// A new private folder under the system's temporary folder, made atomically: test processes run
// in parallel, and a folder (with an instrument's socket in it) shared by two of them would
// connect one's tool to the other's instrument.
inline juce::File makeScratchFolder (const juce::String& prefix)
{
    auto pattern = juce::File::getSpecialLocation (juce::File::tempDirectory)
                       .getChildFile (prefix + "-XXXXXX")
                       .getFullPathName()
                       .toStdString();
    if (::mkdtemp (pattern.data()) == nullptr)
    {
        ADD_FAILURE() << "cannot make a scratch folder for " << prefix;
        return {};
    }
    return juce::File (pattern);
}
