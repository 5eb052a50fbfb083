#pragma once

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

// A new private folder under the system's temporary folder, made atomically: test processes run
// in parallel, and a folder (with an instrument's socket in it) shared by two of them would
// connect one's tool to the other's instrument. create_directory fails for a name that exists,
// so each name is taken by one process only.
inline juce::File makeScratchFolder (const juce::String& prefix)
{
    const auto temp = juce::File::getSpecialLocation (juce::File::tempDirectory);
    juce::Random random;
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const auto candidate = temp.getChildFile (prefix + "-" + juce::String::toHexString (random.nextInt64()));
        std::error_code error;
        if (std::filesystem::create_directory (candidate.getFullPathName().toStdString(), error))
        {
           #if ! JUCE_WINDOWS
            std::filesystem::permissions (candidate.getFullPathName().toStdString(), std::filesystem::perms::owner_all,
                                          std::filesystem::perm_options::replace, error);
           #endif
            return candidate;
        }
    }
    ADD_FAILURE() << "cannot make a scratch folder for " << prefix;
    return {};
}
