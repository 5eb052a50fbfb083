// A new user's update, through the real program and the real emulated instrument: the window
// connects, File... picks the sample update file, Execute and YES start the update, and the
// window reports its end. Driven by real clicks and key presses (xdotool) on the test display.
#include "emulator/Instrument.h"
#include "ui/AlertDialogUpdate.h"
#include "ui/MainComponent.h"
#include "support/ScratchFolder.h"
#include "window/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace window_test;

namespace
{
namespace emu = talvek::emu;

const juce::String titlePattern = "^TALVEK Update Tool \\(v1\\.4\\)$";

// Without a window manager the framework draws its own frame: a 1-pixel border and a 26-pixel
// title bar around the content, for the main window and for the dialog alike.
const juce::Point<int> contentOrigin { 1, 27 };

const juce::Rectangle<int> statusArea { 80, 72, 408, 32 };
const juce::Rectangle<int> fileNameArea { 80, 128, 268, 24 };
const juce::Rectangle<int> hintArea { 80, 100, 408, 28 };
const juce::Rectangle<int> buttonsArea { 304, 196, 260, 44 };
const juce::Point<int> fileButtonCentre { 382, 218 };    // left of where Execute overlaps File...
const juce::Point<int> executeButtonCentre { 494, 218 };
const juce::Point<int> yesButtonCentre { 130, 166 };
// The file name box of the framework's file chooser (600 x 500), from its top-left corner.
const juce::Point<int> chooserFileBox { 324, 437 };

// A program started by this test, stopped by its process id.
class Spawned
{
public:
    Spawned (const juce::StringArray& arguments, const juce::File& workingDirectory)
    {
        std::vector<std::string> args;
        for (const auto& a : arguments)
            args.push_back (a.toStdString());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back (a.data());
        argv.push_back (nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addchdir_np (&actions, workingDirectory.getFullPathName().toRawUTF8());
        if (posix_spawn (&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy (&actions);
    }

    ~Spawned() { stop (SIGKILL); }

    bool started() const { return pid > 0; }

    // Asks the program to end and waits for it; true when it ended by itself with code 0.
    bool stop (int signal = SIGTERM)
    {
        if (pid <= 0)
            return false;
        ::kill (pid, signal);
        int status = 0;
        ::waitpid (pid, &status, 0);
        pid = -1;
        return WIFEXITED (status) && WEXITSTATUS (status) == 0;
    }

    // Waits for a program that ends by itself.
    bool wait()
    {
        int status = 0;
        const bool ok = pid > 0 && ::waitpid (pid, &status, 0) == pid && WIFEXITED (status) && WEXITSTATUS (status) == 0;
        pid = -1;
        return ok;
    }

private:
    pid_t pid = -1;
};

// Sets an environment variable for the programs this test starts, and restores it.
struct ScopedVariable
{
    ScopedVariable (const char* nameIn, const juce::String& value) : name (nameIn)
    {
        if (const char* old = std::getenv (name))
            previous = old;
        ::setenv (name, value.toRawUTF8(), 1);
    }
    ~ScopedVariable()
    {
        if (previous.has_value())
            ::setenv (name, previous->c_str(), 1);
        else
            ::unsetenv (name);
    }
    const char* name;
    std::optional<std::string> previous;
};

// What the main window's content must show, drawn in this process by the same component.
juce::Image expectedMain (const juce::String& status, const juce::String& fileName, bool fileEnabled, bool executeEnabled,
                          const juce::String& hint = {})
{
    MainComponent main;
    main.setStatusText (status);
    main.setStatusHint (hint);
    main.setFileName (fileName);
    main.setFileButtonEnabled (fileEnabled);
    main.setExecuteButtonEnabled (executeEnabled);
    return main.createComponentSnapshot (main.getLocalBounds());
}

juce::Image expectedQuestion()
{
    alertDialog_Update dialog;
    dialog.setMode (alertDialog_Update::questionMode);
    dialog.setMessage ("Are you sure to update? \nDo not shut power off \nwhile updating.");
    return dialog.createComponentSnapshot (dialog.getLocalBounds());
}

bool shows (const juce::Image& expected, const juce::Image& shot, std::initializer_list<juce::Rectangle<int>> areas)
{
    if (! shot.isValid())
        return false;
    for (const auto& area : areas)
        if (differingShare (expected, shot, area, contentOrigin) >= 0.001)
            return false;
    return true;
}

void click (const juce::String& window, juce::Point<int> at)
{
    const auto g = geometryOf (window);
    run ({ "xdotool", "mousemove", juce::String (g.x + at.x), juce::String (g.y + at.y), "click", "1" });
}

juce::String waitForWindow (const juce::String& pattern, int timeoutMs)
{
    juce::StringArray windows;
    waitFor ([&] { return (windows = findWindows (pattern)).size() == 1; }, timeoutMs);
    return windows.size() == 1 ? windows[0] : juce::String();
}

std::vector<std::uint8_t> bytesOf (const juce::File& file, std::size_t from, std::size_t n)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    if (block.getSize() < from + n)
        return {};
    const auto* p = static_cast<const std::uint8_t*> (block.getData()) + from;
    return std::vector<std::uint8_t> (p, p + n);
}
} // namespace

TEST (EndToEndWindow, UpdateThroughTheWindow)
{
    TALVEK_REQUIRE_DISPLAY();
    ASSERT_TRUE (juce::File (TALVEK_INSTRUMENT_BINARY).existsAsFile()) << "talvek-instrument is not built";

    // Everything of this run in one folder of the test output; the socket in a short private one.
    const auto folder = outputFolder().getChildFile ("window-update");
    folder.deleteRecursively();
    ASSERT_TRUE (folder.createDirectory().wasOk());
    const auto socketFolder = makeScratchFolder ("talvek-window");
    ASSERT_TRUE (socketFolder.isDirectory());
    const auto socket = socketFolder.getChildFile ("instrument.sock");
    const auto updateFile = folder.getChildFile ("update-256k.bin");
    const auto dump = folder.getChildFile ("flash-after.bin");

    // The pictures to expect, drawn before the instrument's socket is named in this process's
    // environment: a main component drawn here must not connect to the instrument itself.
    const auto name = updateFile.getFileName();
    const auto ready = expectedMain ("Device connected.", {}, true, false);
    const auto chosen = expectedMain ("Device connected.", name, true, true);
    const auto updating = expectedMain ("Updating....", name, false, false);
    // What comes next is said under the status.
    const auto done = expectedMain ("Update completed successfully.", name, false, false,
                                    "Switch the device off and on to start the new firmware.");
    const auto questionPicture = expectedQuestion();

    Spawned writer ({ TALVEK_INSTRUMENT_BINARY, "--write-update", updateFile.getFullPathName(), "--update-size", "256K" }, folder);
    ASSERT_TRUE (writer.wait()) << "talvek-instrument could not write the update file";

    // Realistic timing: the update takes long enough to be seen on its way.
    Spawned instrument ({ TALVEK_INSTRUMENT_BINARY, "--socket", socket.getFullPathName(), "--timing", "realistic",
                          "--record", folder.getChildFile ("events.log").getFullPathName(),
                          "--dump", dump.getFullPathName() + "@0:0x60000" },
                        folder);
    ASSERT_TRUE (instrument.started());
    ASSERT_TRUE (waitFor ([&] { return socket.exists(); }, 10000));

    ScopedVariable sockets ("TALVEK_MIDI_SOCKETS", socket.getFullPathName());
    ScopedVariable state ("TALVEK_STATE_DIR", folder.getChildFile ("state").getFullPathName());
    Spawned app ({ TALVEK_APP_BINARY }, folder); // File... opens in the folder of the update file
    ASSERT_TRUE (app.started());

    const auto window = waitForWindow (titlePattern, 20000);
    ASSERT_TRUE (window.isNotEmpty()) << "no single window titled TALVEK Update Tool (v1.4)";

    // Connected, flash detected, identity read: "Device connected." and File... enabled.
    juce::Image shot;
    ASSERT_TRUE (waitFor ([&] { return shows (ready, shot = screenshot (window, "window-update-1-ready.png"),
                                               { statusArea, buttonsArea }); }, 30000))
        << "the window never showed \"Device connected.\" with File... enabled";

    click (window, contentOrigin + fileButtonCentre);
    const auto chooser = waitForWindow ("^Select\\.\\.\\.$", 10000);
    ASSERT_TRUE (chooser.isNotEmpty()) << "File... opened no chooser";
    const auto chooserGeometry = geometryOf (chooser);
    ASSERT_EQ (chooserGeometry.width, 600);
    ASSERT_EQ (chooserGeometry.height, 500);
    click (chooser, chooserFileBox);
    run ({ "xdotool", "type", "--delay", "20", name });
    screenshot (chooser, "window-update-2-chooser.png");
    run ({ "xdotool", "key", "Return" });

    ASSERT_TRUE (waitFor ([&] { return shows (chosen, shot = screenshot (window, "window-update-3-chosen.png"),
                                               { statusArea, fileNameArea, buttonsArea }); }, 10000))
        << "the chosen file was not accepted";

    click (window, contentOrigin + executeButtonCentre);
    const auto question = waitForWindow ("^Confirmation$", 10000);
    ASSERT_TRUE (question.isNotEmpty()) << "Execute asked nothing";
    const auto questionShot = screenshot (question, "window-update-4-confirmation.png");
    EXPECT_LT (differingShare (questionPicture, questionShot, { 0, 0, 400, 200 }, contentOrigin), 0.001);
    // A click that arrives while the dialog is still being set up can be lost: it is repeated
    // until the dialog has gone.
    for (int attempt = 0; attempt < 5 && ! findWindows ("^Confirmation$").isEmpty(); ++attempt)
    {
        click (question, contentOrigin + yesButtonCentre);
        waitFor ([&] { return findWindows ("^Confirmation$").isEmpty(); }, 3000);
    }

    // On its way: "Updating....", the bar, both buttons disabled.
    EXPECT_TRUE (waitFor ([&] { return shows (updating, shot = screenshot (window, "window-update-5-updating.png"),
                                               { statusArea, buttonsArea }); }, 10000));

    ASSERT_TRUE (waitFor ([&] { return shows (done, shot = screenshot (window, "window-update-6-completed.png"),
                                               { statusArea, hintArea, fileNameArea, buttonsArea }); }, 180000))
        << "the window never showed \"Update completed successfully.\"";
    // The bar is gone too: the whole content is the finished window.
    EXPECT_LT (differingShare (done, shot, { 0, 0, 572, 284 }, contentOrigin), 0.001);

    // The instrument's flash: the file at 0h to 3FFFFh, its own area at 40000h as it was.
    app.stop (SIGKILL);
    ASSERT_TRUE (instrument.stop()) << "talvek-instrument did not end cleanly";
    const auto image = bytesOf (updateFile, 0, 0x40000);
    ASSERT_EQ (image.size(), 0x40000u);
    EXPECT_TRUE (bytesOf (dump, 0, 0x40000) == image);
    EXPECT_TRUE (bytesOf (dump, 0x40000, 0x20000) == emu::makeParamArea (emu::Identity::defaults()));
    EXPECT_FALSE (folder.getChildFile ("state").getChildFile ("zkt_update.lock").exists());

    socketFolder.deleteRecursively();
}
