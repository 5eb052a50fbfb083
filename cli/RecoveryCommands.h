#pragma once

#include "cli/CommandLine.h"
#include "cli/ExitCode.h"
#include "cli/Reporter.h"

namespace cli
{
struct RecoveryDone
{
    Exit code;
    juce::String message;
};

// `recovery export FILE` and `recovery import FILE` on the state folder `folder`, whose
// instance lock the caller holds. No instrument is involved.
RecoveryDone runRecoveryCommand (const Options& options, const juce::File& folder, Reporter& reporter);
} // namespace cli
