// The real program under the test display: its window, its look, one copy per user and state
// folder with the hand-over of a second launch's command line, and its close button.
#include "app/InstanceChannel.h"
#include "instance/InstanceLock.h"
#include "ui/MainComponent.h"
#include "support/ScratchFolder.h"
#include "window/WindowTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <utility>

using namespace window_test;

namespace
{
const juce::String titlePattern = "^TALVEK Update Tool \\(v1\\.4\\)$";

// Without a window manager the framework draws its own frame: a 1-pixel border and a 26-pixel
// title bar around the content.
constexpr int border = 1;
constexpr int titleBar = 26;
const juce::Point<int> contentOrigin { border, border + titleBar };

// What the window's content must look like: the same component drawn in this process.
juce::Image expectedContent (const juce::String& commandLine)
{
    MainComponent main;
    main.handleCommandLine (commandLine);
    return main.createComponentSnapshot (main.getLocalBounds());
}

struct AppWindow : ::testing::Test
{
    void SetUp() override
    {
        TALVEK_REQUIRE_DISPLAY();
        scratch = makeScratchFolder ("talvek-app-window");
        ASSERT_TRUE (scratch.isDirectory());
    }

    // The framework's recursive delete leaves socket files, and a killed copy leaves its own.
    void TearDown() override
    {
        if (scratch != juce::File())
            std::filesystem::remove_all (scratch.getFullPathName().toStdString());
    }

    // The program as this user, on a state folder of this test's.
    Launched::Options launch (const juce::StringArray& arguments = {}, const juce::String& stateFolder = "state")
    {
        Launched::Options options;
        options.command = arguments;
        options.command.insert (0, TALVEK_APP_BINARY);
        options.environment.set ("TALVEK_STATE_DIR", scratch.getChildFile (stateFolder).getFullPathName());
        return options;
    }

    // The one window of `program`, or an empty id (after a failure) when there is none or more.
    juce::String waitForTheWindowOf (const Launched& program)
    {
        juce::StringArray windows;
        waitFor ([&] { return (windows = findWindowsOf (program, titlePattern)).size() > 0; }, 20000);
        EXPECT_EQ (windows.size(), 1) << "windows of process " << program.id();
        return windows.size() == 1 ? windows[0] : juce::String();
    }

    // Waits until the window's content looks like `expected`, saving the last screenshot. The
    // window is raised first: copies open in the same place, and with no window manager here a
    // window brought to the front by the program itself stays where it is.
    double differenceOnScreen (const juce::String& window, const juce::Image& expected, const juce::String& shotName)
    {
        const juce::Rectangle<int> content (0, 0, MainComponent::contentWidth, MainComponent::contentHeight);
        double share = 1.0;
        waitFor ([&] {
            run ({ "xdotool", "windowraise", window });
            const auto shot = screenshot (window, shotName);
            share = shot.isValid() ? differingShare (expected, shot, content, contentOrigin) : 1.0;
            return share < 0.001;
        }, 5000);
        return share;
    }

    juce::File scratch;
};
} // namespace

TEST_F (AppWindow, OpensCentredWithItsPictureAndTakesASecondLaunchsCommandLine)
{
    Launched first (launch());
    ASSERT_TRUE (first.started());
    const auto window = waitForTheWindowOf (first);
    ASSERT_TRUE (window.isNotEmpty()) << "no single window titled TALVEK Update Tool (v1.4)";

    const auto geometry = geometryOf (window);
    EXPECT_EQ (geometry.width, 572 + 2 * border);
    EXPECT_EQ (geometry.height, 284 + 2 * border + titleBar);
    const auto screen = screenGeometry();
    EXPECT_NEAR (geometry.x, (screen.width - geometry.width) / 2, 1);
    EXPECT_NEAR (geometry.y, (screen.height - geometry.height) / 2, 1);

    // The first screenshot: picture, "Connecting to device...", both buttons disabled.
    const auto atStart = expectedContent ({});
    EXPECT_LT (differenceOnScreen (window, atStart, "app-window-start.png"), 0.001);
    const auto shot = juce::ImageFileFormat::loadFrom (outputFolder().getChildFile ("app-window-start.png"));
    EXPECT_EQ (shot.getWidth(), geometry.width);
    EXPECT_EQ (shot.getHeight(), geometry.height);

    // A second launch on the same state folder hands its argument over and ends without a
    // window; the first window now offers UPDATE.
    Launched second (launch ({ "preset.syx" }));
    ASSERT_TRUE (second.started());
    EXPECT_EQ (second.exitCodeWithin (20000), 0);

    const auto afterHandOver = expectedContent ("preset.syx");
    const juce::Rectangle<int> executeButton (424, 196, 140, 44);
    ASSERT_GT (differingShare (atStart, afterHandOver, executeButton, {}), 0.01) << "the captions must look different";
    EXPECT_LT (differenceOnScreen (window, afterHandOver, "app-window-second-launch.png"), 0.001);

    EXPECT_TRUE (first.isRunning());
    EXPECT_EQ (findWindowsOf (first, titlePattern), juce::StringArray { window });
}

TEST_F (AppWindow, TwoUsersEachGetTheirOwnWindowAndHandOver)
{
    TALVEK_REQUIRE_OTHER_USER();

    // The other user's home, runtime folder and state folder, and a copy of the display's
    // key that only they (and root) can read.
    ASSERT_EQ (::chmod (scratch.getFullPathName().toRawUTF8(), 0711), 0);
    const auto theirs = scratch.getChildFile ("theirs");
    for (const auto& folder : { theirs, theirs.getChildFile ("home"), theirs.getChildFile ("run") })
    {
        ASSERT_TRUE (folder.createDirectory().wasOk());
        ASSERT_EQ (::chown (folder.getFullPathName().toRawUTF8(), other_user::uid, other_user::gid), 0);
        ASSERT_EQ (::chmod (folder.getFullPathName().toRawUTF8(), 0700), 0);
    }
    Launched::Options asThem;
    asThem.command = { TALVEK_APP_BINARY };
    asThem.asOtherUser = true;
    asThem.environment.set ("HOME", theirs.getChildFile ("home").getFullPathName());
    asThem.environment.set ("XDG_RUNTIME_DIR", theirs.getChildFile ("run").getFullPathName());
    asThem.environment.set ("TALVEK_STATE_DIR", theirs.getChildFile ("state").getFullPathName());
    const juce::File displayKey (juce::SystemStats::getEnvironmentVariable ("XAUTHORITY", {}));
    if (displayKey.existsAsFile())
    {
        const auto copy = theirs.getChildFile ("Xauthority");
        ASSERT_TRUE (displayKey.copyFileTo (copy));
        ASSERT_EQ (::chown (copy.getFullPathName().toRawUTF8(), other_user::uid, other_user::gid), 0);
        ASSERT_EQ (::chmod (copy.getFullPathName().toRawUTF8(), 0600), 0);
        asThem.environment.set ("XAUTHORITY", copy.getFullPathName());
    }
    asThem.standardError = scratch.getChildFile ("theirs-stderr.txt");

    Launched mine (launch());
    Launched other (asThem);
    ASSERT_TRUE (mine.started());
    ASSERT_TRUE (other.started());
    const auto myWindow = waitForTheWindowOf (mine);
    const auto theirWindow = waitForTheWindowOf (other);
    ASSERT_TRUE (myWindow.isNotEmpty());
    ASSERT_TRUE (theirWindow.isNotEmpty())
        << "the other user's copy opened no window; its stderr:\n" << asThem.standardError.loadFileAsString();

    // Each copy took the lock and made the socket in its own user's folder.
    for (const auto& [folder, owner] : { std::pair { scratch.getChildFile ("state"), ::geteuid() },
                                         std::pair { theirs.getChildFile ("state"), other_user::uid } })
        for (const auto* name : { InstanceLock::fileName, InstanceChannel::socketFileName })
        {
            struct stat info {};
            const auto file = folder.getChildFile (name);
            ASSERT_EQ (::lstat (file.getFullPathName().toRawUTF8(), &info), 0) << file.getFullPathName();
            EXPECT_EQ (info.st_uid, owner) << file.getFullPathName();
        }

    const auto atStart = expectedContent ({});
    const auto afterHandOver = expectedContent ("preset.syx");
    EXPECT_LT (differenceOnScreen (myWindow, atStart, "two-users-mine-start.png"), 0.001);
    EXPECT_LT (differenceOnScreen (theirWindow, atStart, "two-users-theirs-start.png"), 0.001);

    // This user's second launch goes to this user's window only.
    Launched mySecond (launch ({ "preset.syx" }));
    EXPECT_EQ (mySecond.exitCodeWithin (20000), 0);
    EXPECT_LT (differenceOnScreen (myWindow, afterHandOver, "two-users-mine-handed-over.png"), 0.001);
    EXPECT_LT (differenceOnScreen (theirWindow, atStart, "two-users-theirs-untouched.png"), 0.001);

    // And theirs to theirs.
    auto theirSecondOptions = asThem;
    theirSecondOptions.command.add ("preset.syx");
    theirSecondOptions.standardError = scratch.getChildFile ("theirs-second-stderr.txt");
    Launched theirSecond (theirSecondOptions);
    EXPECT_EQ (theirSecond.exitCodeWithin (20000), 0) << theirSecondOptions.standardError.loadFileAsString();
    EXPECT_LT (differenceOnScreen (theirWindow, afterHandOver, "two-users-theirs-handed-over.png"), 0.001);

    EXPECT_TRUE (mine.isRunning());
    EXPECT_TRUE (other.isRunning());
    EXPECT_EQ (findWindowsOf (mine, titlePattern), juce::StringArray { myWindow });
    EXPECT_EQ (findWindowsOf (other, titlePattern), juce::StringArray { theirWindow });
}

TEST_F (AppWindow, WithoutItsHandOverSocketACopyRunsAndASecondLaunchSaysSo)
{
    // A state folder so deep that no socket address can name a file in it.
    const auto deep = juce::String::repeatedString ("d", 110) + "/state";
    auto firstOptions = launch ({}, deep);
    firstOptions.standardError = scratch.getChildFile ("first-stderr.txt");
    Launched first (firstOptions);
    ASSERT_TRUE (first.started());
    const auto window = waitForTheWindowOf (first);
    ASSERT_TRUE (window.isNotEmpty()) << "a copy without its hand-over socket must still run";
    EXPECT_TRUE (firstOptions.standardError.loadFileAsString().contains ("cannot hand over its command line"))
        << firstOptions.standardError.loadFileAsString();

    auto secondOptions = launch ({ "preset.syx" }, deep);
    secondOptions.standardError = scratch.getChildFile ("second-stderr.txt");
    Launched second (secondOptions);
    ASSERT_TRUE (second.started());
    EXPECT_EQ (second.exitCodeWithin (30000), 1);
    EXPECT_TRUE (secondOptions.standardError.loadFileAsString().contains ("another instance runs but did not take the command line"))
        << secondOptions.standardError.loadFileAsString();

    EXPECT_TRUE (first.isRunning());
    EXPECT_EQ (findWindowsOf (first, titlePattern), juce::StringArray { window });
    EXPECT_LT (differenceOnScreen (window, expectedContent ({}), "app-window-no-socket.png"), 0.001);
}

TEST_F (AppWindow, CloseButtonQuitsWhenNoUpdateRuns)
{
    Launched app (launch());
    ASSERT_TRUE (app.started());
    const auto window = waitForTheWindowOf (app);
    ASSERT_TRUE (window.isNotEmpty());
    const auto geometry = geometryOf (window);

    // Where the framework puts the close button in a window like the program's.
    juce::DocumentWindow model ("model", juce::Colours::grey,
                                juce::DocumentWindow::minimiseButton | juce::DocumentWindow::closeButton, false);
    model.setUsingNativeTitleBar (false);
    model.setSize (geometry.width, geometry.height);
    auto* close = model.getCloseButton();
    ASSERT_NE (close, nullptr);
    const auto centre = model.getLocalArea (close, close->getLocalBounds()).getCentre();

    // A click that arrives while the new window is still being set up can be lost (seen about
    // one run in four), so it is repeated until the program has gone.
    bool quit = false;
    for (int attempt = 0; attempt < 10 && ! quit; ++attempt)
    {
        run ({ "xdotool", "mousemove", juce::String (geometry.x + centre.x), juce::String (geometry.y + centre.y),
               "click", "1" });
        quit = app.exitCodeWithin (1000).has_value();
    }
    EXPECT_TRUE (quit) << "the program did not quit";
}
