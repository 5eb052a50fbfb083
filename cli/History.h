#pragma once

#include "cli/ExitCode.h"
#include "cli/Reporter.h"

namespace cli
{
// talvek-update history: the update history of the state folder, oldest first. Sets `message`
// to the result's text.
Exit showHistory (Reporter& reporter, const juce::File& historyFile, juce::String& message);
} // namespace cli
