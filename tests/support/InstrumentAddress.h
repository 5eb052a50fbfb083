#pragma once

#include <juce_core/juce_core.h>

#include <string>

// Where a test's emulated instrument listens: a socket in the test's own folder, or on Windows
// (no Unix-domain sockets under Wine) a free loopback TCP port. The tool connects to what the
// instrument's socketPath() reports once it runs.
inline std::string instrumentAddress (const juce::File& folder)
{
   #if JUCE_WINDOWS
    juce::ignoreUnused (folder);
    return "tcp:0";
   #else
    return folder.getChildFile ("instrument.sock").getFullPathName().toStdString();
   #endif
}
