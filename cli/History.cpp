#include "cli/History.h"

#include "workflow/UpdateHistory.h"

namespace cli
{
Exit showHistory (Reporter& reporter, const juce::File& historyFile, juce::String& message)
{
    if (historyFile.exists() && ! historyFile.existsAsFile())
    {
        message = historyFile.getFullPathName() + " is not a file";
        return Exit::localFiles;
    }
    const auto contents = UpdateHistory::read (historyFile);
    for (const auto& e : contents.entries)
    {
        juce::String text;
        text << e.time << "  " << e.event;
        if (e.event == "ended")
            text << ": " << e.outcome;
        text << "\n  port      " << e.port << "\n  identity  " << e.identity << "  [" << e.identityHex << "]"
             << "\n  file      " << e.file << " (" << e.fileBytes << " bytes, script " << e.script << ")"
             << "\n  sha256    " << e.fileSha256;
        auto fields = e.toVar();
        reporter.record ("history", *fields.getDynamicObject(), text);
    }
    if (contents.damagedLines > 0)
        reporter.warning (juce::String (contents.damagedLines) + " damaged line(s) in " + historyFile.getFullPathName()
                          + " skipped (cut by a crash or a power cut)");
    const auto count = static_cast<int> (contents.entries.size());
    message = count == 0 ? juce::String ("No update recorded yet.")
                         : juce::String (count) + (count == 1 ? " entry." : " entries.");
    return Exit::ok;
}
} // namespace cli
