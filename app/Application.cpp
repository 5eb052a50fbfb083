#include "app/Application.h"

#include "ui/MainComponent.h"
#include "workflow/Recovery.h"

#include <algorithm>
#include <cstdio>

#if ! JUCE_WINDOWS
namespace
{
// How long a second launch keeps trying while the running copy starts up or shuts down.
constexpr int claimTimeoutMs = 5000;

void report (const juce::String& text)
{
    std::fprintf (stderr, "TALVEK Update Tool: %s\n", text.toRawUTF8());
}
} // namespace
#endif

#if JUCE_LINUX
namespace
{
// The framework paints a Linux window only on a timer at the display's refresh rate (100 Hz
// where the display names none, as under Xvfb), and that timer alone kept the idle, connected
// window at 1.5 to 2 % of a CPU (bench/idle-cpu.sh; 30 Hz still about 1 %, 20 Hz 0.5 to
// 0.7 %). A status line, two buttons and a progress bar lose nothing at 20 frames a second.
// Windows created from here on, dialogs included, take the lower rate; should the framework
// read the displays again (a display change), they keep their own.
void capRepaintRate()
{
    constexpr double framesPerSecond = 20.0;
    auto& displays = const_cast<juce::Displays&> (juce::Desktop::getInstance().getDisplays());
    for (auto& display : displays.displays)
        display.verticalFrequencyHz = std::min (display.verticalFrequencyHz.value_or (framesPerSecond), framesPerSecond);
}
} // namespace
#endif

//==============================================================================
ZKTProgrammerV2Application::MainWindow::MainWindow (const juce::String& title)
    : juce::DocumentWindow (title, juce::Colour (0xffd3d3d3),
                            juce::DocumentWindow::minimiseButton | juce::DocumentWindow::closeButton)
{
    setUsingNativeTitleBar (false);
    mainComponent = new MainComponent();
    setContentOwned (mainComponent, true);
    centreWithSize (getWidth(), getHeight());
    setVisible (true);
    setResizable (false, false);
}

ZKTProgrammerV2Application::MainWindow::~MainWindow()
{
    clearContentComponent();
    mainComponent = nullptr;
}

void ZKTProgrammerV2Application::MainWindow::closeButtonPressed()
{
    if (mainComponent != nullptr && mainComponent->isUpdating())
        return;

    if (auto* app = juce::JUCEApplication::getInstance())
        app->systemRequestedQuit();
}

void ZKTProgrammerV2Application::MainWindow::handOverCommandLine (const juce::String& commandLine)
{
    if (mainComponent != nullptr)
        mainComponent->handleCommandLine (commandLine);
}

//==============================================================================
ZKTProgrammerV2Application::ZKTProgrammerV2Application() = default;

ZKTProgrammerV2Application::~ZKTProgrammerV2Application()
{
    mainWindow = nullptr;
}

const juce::String ZKTProgrammerV2Application::getApplicationName() { return "TALVEK Update Tool"; }

const juce::String ZKTProgrammerV2Application::getApplicationVersion() { return JUCE_APPLICATION_VERSION_STRING; }

bool ZKTProgrammerV2Application::moreThanOneInstanceAllowed()
{
   #if JUCE_WINDOWS
    return false;
   #else
    return true;
   #endif
}

ZKTProgrammerV2Application::Claim ZKTProgrammerV2Application::claimInstance (const juce::String& commandLine)
{
   #if JUCE_WINDOWS
    juce::ignoreUnused (commandLine);
    return Claim::running;
   #else
    const auto folder = Recovery::folderLocation();
    if (const auto prepared = Recovery::prepareFolder (folder); prepared.failed())
    {
        report ("cannot use its state folder: " + prepared.getErrorMessage());
        return Claim::refused;
    }

    instanceLock = std::make_unique<InstanceLock> (folder);
    const auto socketFile = folder.getChildFile (InstanceChannel::socketFileName);
    const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (claimTimeoutMs);

    // The lock is tried again between hand-overs: the running copy may be quitting, and then
    // this launch becomes the instance instead of failing.
    for (;;)
    {
        switch (instanceLock->tryAcquire())
        {
            case InstanceLock::Outcome::acquired:
                return Claim::running;
            case InstanceLock::Outcome::failed:
                report ("cannot take its instance lock: " + instanceLock->getError());
                instanceLock = nullptr;
                return Claim::refused;
            case InstanceLock::Outcome::heldByAnother:
                break;
        }

        const auto sent = InstanceChannel::send (socketFile, commandLine, 0);
        if (sent.wasOk())
            return Claim::handedOver;

        if (juce::Time::getMillisecondCounter() >= deadline)
        {
            report ("another instance runs but did not take the command line (" + sent.getErrorMessage() + ")");
            instanceLock = nullptr;
            return Claim::refused;
        }
        juce::Thread::sleep (100);
    }
   #endif
}

void ZKTProgrammerV2Application::startListening()
{
   #if ! JUCE_WINDOWS
    instanceChannel = std::make_unique<InstanceChannel> (
        Recovery::folderLocation().getChildFile (InstanceChannel::socketFileName));
    const auto listening = instanceChannel->listen ([] (const juce::String& text)
    {
        if (auto* app = juce::JUCEApplicationBase::getInstance())
            app->anotherInstanceStarted (text);
    });

    // Without the channel this copy still works; a second launch then reports that it could
    // not hand over instead of opening a second window on the same files.
    if (listening.failed())
    {
        report ("a second launch cannot hand over its command line: " + listening.getErrorMessage());
        instanceChannel = nullptr;
    }
   #endif
}

void ZKTProgrammerV2Application::initialise (const juce::String& commandLine)
{
    initialised = true;

    switch (claimInstance (commandLine))
    {
        case Claim::running:
            break;
        case Claim::handedOver:
            quit();
            return;
        case Claim::refused:
            setApplicationReturnValue (1);
            quit();
            return;
    }

    startListening();

    mainWindow = nullptr;
   #if JUCE_LINUX
    capRepaintRate(); // before the window exists: it takes its rate when it is made
   #endif
    mainWindow = std::make_unique<MainWindow> (getApplicationName() + " (v" + getApplicationVersion() + ")");

    if (commandLine.isNotEmpty())
        mainWindow->handOverCommandLine (commandLine);
}

void ZKTProgrammerV2Application::shutdown()
{
    // Reached without initialise only on Windows, when the framework refused this launch
    // because another instance runs; it has handed the command line over itself.
    if (! initialised)
        return;

    instanceChannel = nullptr;
    mainWindow = nullptr;
    // Last: until the window and its update are gone, a new copy must not start on the files.
    instanceLock = nullptr;
}

void ZKTProgrammerV2Application::anotherInstanceStarted (const juce::String& commandLine)
{
    if (mainWindow == nullptr)
        return;

    if (mainWindow->isMinimised())
        mainWindow->setMinimised (false);
    mainWindow->toFront (true);

    if (commandLine.isNotEmpty())
        mainWindow->handOverCommandLine (commandLine);
}

void ZKTProgrammerV2Application::systemRequestedQuit()
{
    quit();
}
