// The application object and its main window in this process, and the update dialog run as a
// modal window.
#include "app/Application.h"
#include "instance/InstanceLock.h"
#include "ui/AlertDialogUpdate.h"
#include "ui/MainComponent.h"
#include "support/ScratchFolder.h"
#include "unit/MainComponentAccess.h"
#include "unit/UpdateWorkflowTestAccess.h"
#include "window/WindowTestSupport.h"
#include "workflow/Recovery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

using namespace window_test;

namespace
{
// The application with its quit request counted instead of carried out.
struct CountingApp : ZKTProgrammerV2Application
{
    static juce::JUCEApplicationBase* create() { return nullptr; }

    CountingApp() = default;
    void systemRequestedQuit() override { ++quitRequests; }
    int quitRequests = 0;
};

// The framework allows an application object only in a program started as one. It gets a state
// folder of its own: initialise takes the instance lock there.
struct AppObject
{
    AppObject()
    {
        previous = juce::JUCEApplicationBase::createInstance;
        juce::JUCEApplicationBase::createInstance = &CountingApp::create;
        if (const char* old = std::getenv (Recovery::folderVariable))
            previousState = old;
        ::setenv (Recovery::folderVariable, stateFolder.getFullPathName().toRawUTF8(), 1);
        app = std::make_unique<CountingApp>();
    }
    ~AppObject()
    {
        app.reset();
        juce::JUCEApplicationBase::createInstance = previous;
        if (previousState.has_value())
            ::setenv (Recovery::folderVariable, previousState->c_str(), 1);
        else
            ::unsetenv (Recovery::folderVariable);
        stateFolder.getParentDirectory().deleteRecursively();
    }

    juce::JUCEApplicationBase::CreateInstanceFunction previous = nullptr;
    const juce::File stateFolder = makeScratchFolder ("talvek-app-object").getChildFile ("state");
    std::optional<std::string> previousState;
    std::unique_ptr<CountingApp> app;
};

juce::String logOf (ZKTProgrammerV2Application::MainWindow& window)
{
    pump (50);
    return MainComponentTestAccess (*window.mainComponent).logView.getText();
}
} // namespace

TEST (MainWindow, HasItsTitleFrameAndContent)
{
    TALVEK_REQUIRE_DISPLAY();
    AppObject object;
    object.app->initialise ({});
    auto* window = object.app->getMainWindow();
    ASSERT_NE (window, nullptr);

    EXPECT_EQ (window->getName(), "TALVEK Update Tool (v1.4)");
    EXPECT_TRUE (window->isOnDesktop());
    EXPECT_TRUE (window->isVisible());
    EXPECT_FALSE (window->isUsingNativeTitleBar());
    EXPECT_FALSE (window->isResizable());
    EXPECT_EQ (window->getMaximiseButton(), nullptr);
    EXPECT_NE (window->getMinimiseButton(), nullptr);
    EXPECT_NE (window->getCloseButton(), nullptr);
    EXPECT_EQ (window->getBackgroundColour(), juce::Colour (0xffd3d3d3));
    ASSERT_NE (window->mainComponent, nullptr);
    EXPECT_EQ (window->getContentComponent(), window->mainComponent);
    EXPECT_EQ (window->mainComponent->getBounds().getWidth(), 572);
    EXPECT_EQ (window->mainComponent->getBounds().getHeight(), 284);

    const auto screen = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
    EXPECT_NEAR (window->getBounds().getCentreX(), screen.getCentreX(), 1);
    EXPECT_NEAR (window->getBounds().getCentreY(), screen.getCentreY(), 1);

    EXPECT_EQ (object.app->getApplicationName(), "TALVEK Update Tool");
    EXPECT_EQ (object.app->getApplicationVersion(), "1.4");
    // The framework's machine-wide rule is off; the lock in the state folder is held instead
    // while the window lives.
    EXPECT_TRUE (object.app->moreThanOneInstanceAllowed());
    InstanceLock rival (object.stateFolder);
    EXPECT_EQ (rival.tryAcquire(), InstanceLock::Outcome::heldByAnother);

    savePng (window->createComponentSnapshot (window->getLocalBounds()), "main-window-in-process.png");
    object.app->shutdown();
    EXPECT_EQ (object.app->getMainWindow(), nullptr);
    EXPECT_EQ (rival.tryAcquire(), InstanceLock::Outcome::acquired) << rival.getError();
}

TEST (MainWindow, CloseButtonIsIgnoredWhileUpdating)
{
    TALVEK_REQUIRE_DISPLAY();
    AppObject object;
    object.app->initialise ({});
    auto* window = object.app->getMainWindow();
    ASSERT_NE (window, nullptr);

    UpdateWorkflowTestAccess (window->mainComponent->getWorkflow()).updating = true;
    window->closeButtonPressed();
    EXPECT_EQ (object.app->quitRequests, 0);

    UpdateWorkflowTestAccess (window->mainComponent->getWorkflow()).updating = false;
    window->closeButtonPressed();
    EXPECT_EQ (object.app->quitRequests, 1);
    object.app->shutdown();
}

TEST (MainWindow, CommandLinesAtStartAndFromLaterLaunches)
{
    TALVEK_REQUIRE_DISPLAY();
    AppObject object;
    object.app->initialise ("first.syx");
    auto* window = object.app->getMainWindow();
    ASSERT_NE (window, nullptr);
    EXPECT_EQ (MainComponentTestAccess (*window->mainComponent).executeButton.getButtonText(), "UPDATE");
    EXPECT_EQ (logOf (*window), "Test!\nSomething error... Can't load preset.\n");

    object.app->anotherInstanceStarted ({});
    EXPECT_EQ (logOf (*window), "Test!\nSomething error... Can't load preset.\n");
    object.app->anotherInstanceStarted ("second.syx");
    EXPECT_EQ (logOf (*window), "Test!\nSomething error... Can't load preset.\nSomething error... Can't load preset.\n");
    object.app->shutdown();

    // Started without a command line: Execute stays, no log line.
    object.app->initialise ({});
    EXPECT_EQ (MainComponentTestAccess (*object.app->getMainWindow()->mainComponent).executeButton.getButtonText(), "Execute");
    EXPECT_EQ (logOf (*object.app->getMainWindow()), "Test!\n");
    object.app->shutdown();
}

namespace
{
// Acts on the dialog window once its modal loop runs.
struct DuringModal : juce::Timer
{
    explicit DuringModal (std::function<void (alertDialog_Update&, juce::DialogWindow&)> actionIn)
        : action (std::move (actionIn))
    {
        startTimer (300);
    }

    void timerCallback() override
    {
        auto* modal = juce::Component::getCurrentlyModalComponent();
        auto* window = dynamic_cast<juce::DialogWindow*> (modal);
        if (window == nullptr)
            return;
        stopTimer();
        if (auto* dialog = dynamic_cast<alertDialog_Update*> (window->getContentComponent()))
        {
            snapshot = window->createComponentSnapshot (window->getLocalBounds());
            title = window->getName();
            action (*dialog, *window);
        }
    }

    std::function<void (alertDialog_Update&, juce::DialogWindow&)> action;
    juce::Image snapshot;
    juce::String title;
};
} // namespace

TEST (AlertDialogUpdateModal, ReturnsWhichButtonEndedIt)
{
    TALVEK_REQUIRE_DISPLAY();
    MainComponent main; // the default look and feel, and the component to centre around
    main.setSize (572, 284);

    struct Case
    {
        const char* name;
        juce::uint8 mode;
        std::function<void (alertDialog_Update&, juce::DialogWindow&)> action;
        int result;
    };
    const Case cases[] = {
        { "yes", 0, [] (alertDialog_Update& d, juce::DialogWindow&) { d.yesButton->triggerClick(); }, 1 },
        { "no", 0, [] (alertDialog_Update& d, juce::DialogWindow&) { d.noButton->triggerClick(); }, 0 },
        { "escape", 0, [] (alertDialog_Update&, juce::DialogWindow& w) { static_cast<juce::Component&> (w).keyPressed (juce::KeyPress (juce::KeyPress::escapeKey)); }, 0 },
        { "ok", 1, [] (alertDialog_Update& d, juce::DialogWindow&) { d.okButton->triggerClick(); }, 1 },
        { "closed", 1, [] (alertDialog_Update&, juce::DialogWindow& w) { static_cast<juce::DocumentWindow&> (w).closeButtonPressed(); }, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        alertDialog_Update dialog;
        dialog.setMode (c.mode);
        dialog.setMessage (c.mode == 0 ? "Are you sure to update? \nDo not shut power off \nwhile updating."
                                       : "The selected file is not supported.");
        DuringModal during (c.action);
        const int result = dialog.runModal (c.mode == 0 ? "Confirmation" : "Message", &main);
        EXPECT_EQ (result, c.result);
        EXPECT_EQ (during.title, c.mode == 0 ? "Confirmation" : "Message");
        ASSERT_TRUE (during.snapshot.isValid());
        if (c.name == std::string ("yes") || c.name == std::string ("ok"))
            savePng (during.snapshot, juce::String ("dialog-") + (c.mode == 0 ? "question" : "message") + ".png");
        EXPECT_EQ (dialog.getParentComponent(), nullptr) << "the dialog window must not keep the content";
    }
}

namespace
{
// The untitled warning boxes on the screen (the "No out device" box is the only one).
std::vector<juce::AlertWindow*> untitledWarnings()
{
    std::vector<juce::AlertWindow*> found;
    for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
        if (auto* alert = dynamic_cast<juce::AlertWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
            if (alert->getAlertType() == juce::MessageBoxIconType::WarningIcon && alert->getName().isEmpty()
                && alert->isShowing())
                found.push_back (alert);
    return found;
}
} // namespace

TEST (MainComponentWindow, NoOutputDeviceBoxIsShownOnceAtATime)
{
    TALVEK_REQUIRE_DISPLAY();
    MainComponent main;

    // A burst of frames without an output: one box, not one per frame.
    for (int i = 0; i < 3; ++i)
        main.handleMessage (CCustomMessage (MessageCode::NoOutputDevice));
    pump (100);
    auto boxes = untitledWarnings();
    ASSERT_EQ (boxes.size(), 1u);

    // Once it is closed, the next frame without an output shows it again.
    boxes[0]->exitModalState (1);
    pump (100);
    EXPECT_TRUE (untitledWarnings().empty());
    main.handleMessage (CCustomMessage (MessageCode::NoOutputDevice));
    pump (100);
    boxes = untitledWarnings();
    ASSERT_EQ (boxes.size(), 1u);
    boxes[0]->exitModalState (1);
    pump (100);
}
