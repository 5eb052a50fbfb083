// The real program under the test display: its window, its look, the hand-over of a second
// launch's command line, and its close button.
#include "ui/MainComponent.h"
#include "window/WindowTestSupport.h"

#include <gtest/gtest.h>

using namespace window_test;

namespace
{
const juce::String titlePattern = "^TALVEK Update Tool \\(v1\\.4\\)$";

// Without a window manager the framework draws its own frame: a 1-pixel border and a 26-pixel
// title bar around the content.
constexpr int border = 1;
constexpr int titleBar = 26;
const juce::Point<int> contentOrigin { border, border + titleBar };

// One run of the program; killed at the end of the test whatever happened.
struct RunningApp
{
    explicit RunningApp (const juce::StringArray& arguments = {})
    {
        auto command = arguments;
        command.insert (0, TALVEK_APP_BINARY);
        started = process.start (command, 0);
    }

    ~RunningApp()
    {
        if (process.isRunning())
            process.kill();
    }

    juce::ChildProcess process;
    bool started = false;
};

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
        ASSERT_TRUE (waitUntilNoInstanceRuns (120000)) << "another run of the program keeps its instance lock";
    }

    juce::String waitForTheWindow()
    {
        juce::StringArray windows;
        waitFor ([&] { return (windows = findWindows (titlePattern)).size() > 0; }, 20000);
        return windows.size() == 1 ? windows[0] : juce::String();
    }
};
} // namespace

TEST_F (AppWindow, OpensCentredWithItsPictureAndTakesASecondLaunchsCommandLine)
{
    RunningApp first;
    ASSERT_TRUE (first.started);
    const auto window = waitForTheWindow();
    ASSERT_TRUE (window.isNotEmpty()) << "no single window titled TALVEK Update Tool (v1.4)";

    const auto geometry = geometryOf (window);
    EXPECT_EQ (geometry.width, 572 + 2 * border);
    EXPECT_EQ (geometry.height, 284 + 2 * border + titleBar);
    const auto screen = screenGeometry();
    EXPECT_NEAR (geometry.x, (screen.width - geometry.width) / 2, 1);
    EXPECT_NEAR (geometry.y, (screen.height - geometry.height) / 2, 1);

    // The first screenshot: picture, "Connecting to device...", both buttons disabled.
    const auto content = juce::Rectangle<int> (0, 0, 572, 284);
    const auto atStart = expectedContent ({});
    juce::Image shot;
    waitFor ([&] {
        shot = screenshot (window, "app-window-start.png");
        return shot.isValid() && differingShare (atStart, shot, content, contentOrigin) < 0.001;
    }, 5000);
    ASSERT_EQ (shot.getWidth(), geometry.width);
    ASSERT_EQ (shot.getHeight(), geometry.height);
    EXPECT_LT (differingShare (atStart, shot, content, contentOrigin), 0.001);

    // A second launch with an argument hands it over and ends; the first window now offers UPDATE.
    juce::ChildProcess second;
    ASSERT_TRUE (second.start (juce::StringArray { TALVEK_APP_BINARY, "preset.syx" }, 0));
    ASSERT_TRUE (second.waitForProcessToFinish (20000));
    EXPECT_EQ (second.getExitCode(), 0u);

    const auto afterHandOver = expectedContent ("preset.syx");
    const juce::Rectangle<int> executeButton (424, 196, 140, 44);
    ASSERT_GT (differingShare (atStart, afterHandOver, executeButton, {}), 0.01) << "the captions must look different";
    waitFor ([&] {
        shot = screenshot (window, "app-window-second-launch.png");
        return shot.isValid() && differingShare (afterHandOver, shot, content, contentOrigin) < 0.001;
    }, 5000);
    EXPECT_LT (differingShare (afterHandOver, shot, content, contentOrigin), 0.001);

    EXPECT_TRUE (first.process.isRunning());
    EXPECT_EQ (findWindows (titlePattern).size(), 1);
}

TEST_F (AppWindow, CloseButtonQuitsWhenNoUpdateRuns)
{
    RunningApp app;
    ASSERT_TRUE (app.started);
    const auto window = waitForTheWindow();
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
        quit = app.process.waitForProcessToFinish (1000);
    }
    EXPECT_TRUE (quit) << "the program did not quit";
}
