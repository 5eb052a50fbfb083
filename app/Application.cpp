#include "app/Application.h"

#include "ui/MainComponent.h"

#include <cstdio>

namespace
{
juce::String channelName() { return "talvek-update-tool"; }
} // namespace

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

const juce::String ZKTProgrammerV2Application::getApplicationVersion() { return "1.4"; }

bool ZKTProgrammerV2Application::moreThanOneInstanceAllowed() { return false; }

void ZKTProgrammerV2Application::initialise (const juce::String& commandLine)
{
    initialised = true;

    instanceChannel = std::make_unique<InstanceChannel> (channelName());
    instanceChannel->listen ([] (const juce::String& text)
    {
        if (auto* app = juce::JUCEApplicationBase::getInstance())
            app->anotherInstanceStarted (text);
    });

    mainWindow = nullptr;
    mainWindow = std::make_unique<MainWindow> (getApplicationName() + " (v" + getApplicationVersion() + ")");

    if (commandLine.isNotEmpty())
        mainWindow->handOverCommandLine (commandLine);
}

void ZKTProgrammerV2Application::shutdown()
{
    // Reached without initialise when the framework refused this launch because another
    // instance runs: hand this launch's command line to it.
    if (! initialised)
    {
        if (! InstanceChannel::send (channelName(), getCommandLineParameters()))
        {
            std::fprintf (stderr, "TALVEK Update Tool: another instance runs but did not take the command line\n");
            setApplicationReturnValue (1);
        }
        return;
    }

    instanceChannel = nullptr;
    mainWindow = nullptr;
}

void ZKTProgrammerV2Application::anotherInstanceStarted (const juce::String& commandLine)
{
    if (commandLine.isNotEmpty() && mainWindow != nullptr)
        mainWindow->handOverCommandLine (commandLine);
}

void ZKTProgrammerV2Application::systemRequestedQuit()
{
    quit();
}
