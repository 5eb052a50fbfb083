#pragma once

#include "app/InstanceChannel.h"
#include "instance/InstanceLock.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class MainComponent;

class ZKTProgrammerV2Application : public juce::JUCEApplication
{
public:
    // The one top-level window; its only content is the main component.
    class MainWindow : public juce::DocumentWindow
    {
    public:
        explicit MainWindow (const juce::String& title);
        ~MainWindow() override;

        // Ignored while an update is being written to the device.
        void closeButtonPressed() override;

        void handOverCommandLine (const juce::String& commandLine);

        MainComponent* mainComponent = nullptr; // owned: deleted before the window base

    private:
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
    };

    ZKTProgrammerV2Application();
    ~ZKTProgrammerV2Application() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;
    void suspended() override {}
    void resumed() override {}

    MainWindow* getMainWindow() const { return mainWindow.get(); }

private:
    enum class Claim
    {
        running,      // this launch is the user's instance for its state folder
        handedOver,   // another one runs and took the command line
        refused,      // neither: the reason went to stderr
    };
    Claim claimInstance (const juce::String& commandLine);
    void startListening();

    // The framework's machine-wide rule would keep out every user but the first, so outside
    // Windows the lock in the user's state folder decides, and the channel beside it carries
    // a second launch's command line.
    std::unique_ptr<InstanceLock> instanceLock;
    std::unique_ptr<MainWindow> mainWindow;
    std::unique_ptr<InstanceChannel> instanceChannel;
    bool initialised = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ZKTProgrammerV2Application)
};
