// The copy of the log and the status line in the file TALVEK_LOG_FILE names: the one record of
// a run whose window cannot be read (under Wine), so what reaches the view must reach the file.
#include "ui/MainComponent.h"
#include "support/Environment.h"
#include "support/ScratchFolder.h"
#include "unit/MainComponentAccess.h"

#include <gtest/gtest.h>

namespace
{
void pumpMessages() { juce::MessageManager::getInstance()->runDispatchLoopUntil (50); }
} // namespace

TEST (MainComponentLogFile, TheLogAndEveryStatusGoToTheFile)
{
    const auto folder = makeScratchFolder ("talvek-log-file");
    const auto file = folder.getChildFile ("tool.log");
    {
        const ScopedEnvironment variable ("TALVEK_LOG_FILE", file.getFullPathName().toStdString());
        MainComponent main;
        pumpMessages(); // the log text arrives as a posted message
        main.setStatusText ("Device connected.");
        main.setStatusText ("Updating....\n");
    }
    EXPECT_EQ (file.loadFileAsString(), "Test!\n[status] Device connected.\n[status] Updating....\n");

    // A name that cannot be a file: the log says so, and the run goes on without the copy.
    const ScopedEnvironment variable ("TALVEK_LOG_FILE", folder.getFullPathName().toStdString());
    MainComponent main;
    main.setStatusText ("Device connected.");
    pumpMessages();
    const auto logText = MainComponentTestAccess (main).logView.getText();
    EXPECT_TRUE (logText.contains ("Can't open the log file " + folder.getFullPathName())) << logText;
    EXPECT_EQ (file.loadFileAsString(), "Test!\n[status] Device connected.\n[status] Updating....\n");
    folder.deleteRecursively();
}
