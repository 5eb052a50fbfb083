#include "cli/RecoveryCommands.h"

#include "cli/LocalFiles.h"
#include "workflow/RecoveryFile.h"

namespace cli
{
namespace
{
Exit exitFor (RecoveryFile::Problem problem)
{
    switch (problem)
    {
        case RecoveryFile::Problem::none: return Exit::ok;
        case RecoveryFile::Problem::damagedRecord:
        case RecoveryFile::Problem::differentPending: return Exit::pendingUpdate;
        case RecoveryFile::Problem::nothingPending:
        case RecoveryFile::Problem::damagedFile:
        case RecoveryFile::Problem::localFiles: break;
    }
    return Exit::localFiles;
}

RecoveryDone exportTo (const juce::File& file, const juce::File& folder, Reporter& reporter)
{
    OutputTarget target;
    if (const auto checked = checkOutputTarget (file, target); checked.failed())
        return { Exit::localFiles, checked.getErrorMessage() };

    RecoveryFile::Outcome outcome;
    const auto published = publish (target, [&] (juce::OutputStream& out)
    {
        outcome = RecoveryFile::write (folder, out);
        return outcome.ok() ? juce::Result::ok() : juce::Result::fail (outcome.message);
    });
    if (! outcome.ok())
        return { exitFor (outcome.problem), outcome.message };
    if (published.failed())
        return { Exit::localFiles, published.getErrorMessage() };

    // What was written is read back as an import would read it.
    if (const auto readBack = RecoveryFile::check (file); ! readBack.ok())
        return { Exit::localFiles, "the recovery file does not read back whole: " + readBack.message };
    reporter.event ("Written: " + outcome.message + ".");
    return { Exit::ok, "Recovery file written: " + file.getFullPathName() + ". Import it with talvek-update recovery "
                       "import FILE where the update is to be completed." };
}

RecoveryDone importFrom (const juce::File& file, const juce::File& folder)
{
    const auto outcome = RecoveryFile::install (file, folder);
    if (! outcome.ok())
        return { exitFor (outcome.problem), outcome.message };
    return { Exit::ok, "Recovery file imported: the next update of that instrument completes the interrupted one." };
}
} // namespace

RecoveryDone runRecoveryCommand (const Options& options, const juce::File& folder, Reporter& reporter)
{
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile (options.file);
    if (options.command == Command::recoveryExport)
        return exportTo (file, folder, reporter);
    return importFrom (file, folder);
}
} // namespace cli
