#pragma once

#include "ui/ImageButtonWithText.h"
#include "ui/LogEditor.h"
#include "workflow/Recovery.h"
#include "workflow/UpdateHistory.h"
#include "workflow/UpdateWorkflow.h"
#include "workflow/WorkflowView.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

// The content of the main window: the picture, the status and file lines, the progress bar and
// the two buttons. It owns the update workflow and is its view; its own look-and-feel base is
// the program's default look and feel.
class MainComponent : public juce::Component,
                      public juce::MessageListener,
                      public juce::LookAndFeel_V2,
                      public juce::Button::Listener,
                      public WorkflowView
{
public:
    static constexpr int contentWidth = 572;
    static constexpr int contentHeight = 284;

    MainComponent();
    ~MainComponent() override;

    // --- Component ---
    void paint (juce::Graphics& g) override;

    // --- Look and feel ---
    void drawProgressBar (juce::Graphics& g, juce::ProgressBar& bar, int width, int height,
                          double progress, const juce::String& textToShow) override;
    // Characters the typeface lacks (the Chinese line of the two-devices warning) are drawn
    // with one that has them.
    juce::Typeface::Ptr getTypefaceForFont (const juce::Font& font) override;

    // --- The workflow's ---
    // The device link posts to the workflow; a message handed here goes there too.
    void handleMessage (const juce::Message& message) override;
    void buttonClicked (juce::Button* button) override;

    bool isUpdating() const { return workflow.isUpdating(); }
    UpdateWorkflow& getWorkflow() { return workflow; }

    // A command-line text handed over at start or by a second launch.
    void handleCommandLine (const juce::String& commandLine);

    // --- WorkflowView ---
    void setStatusText (const juce::String& text) override;
    void setStatusHint (const juce::String& text) override;
    void setFileButtonEnabled (bool enabled) override;
    void setExecuteButtonEnabled (bool enabled) override;
    void setFileName (const juce::String& name) override;
    void setProgressVisible (bool visible) override;
    void setProgressValue (double value) override;
    void setProgressAppearance (const juce::String& text, std::uint32_t argb) override;
    bool askConfirmation (const juce::String& title, const juce::String& question, Question kind) override;
    juce::File chooseFile (const juce::String& title, const juce::String& patterns) override;
    void showMessage (const juce::String& title, const juce::String& text) override;
    void showWarning (const juce::String& title, const juce::String& text) override;
    void showNoOutputDevice() override;
    void setScreenSaverBlocked (bool blocked) override;

private:
    friend struct MainComponentTestAccess;

    void openLogFile();
    void noteHistory (const juce::Result& written);

    // Every update that starts, and how it ends, in the state folder's history (made before
    // the workflow, which talks to this view from its start).
    UpdateHistoryRecorder history { Recovery::folderLocation().getChildFile (UpdateHistory::fileName) };

    // Members are destroyed in reverse order: the widgets (log view included) first, then the
    // workflow with the job queue and the device link, as at quit.
    UpdateWorkflow workflow { *this };

    double progressValue = 0.0; // watched by progressBar; declared before it

    bool noOutputBoxOpen = false;

    std::unique_ptr<juce::ProgressBar> progressBar;
    std::unique_ptr<ImageButtonWithText> executeButton;
    std::unique_ptr<ImageButtonWithText> fileButton;
    std::unique_ptr<juce::Label> statusLabel;
    std::unique_ptr<juce::Label> fileNameLabel;
    std::unique_ptr<juce::Label> hintLabel; // under the status: what to do next
    // A copy of the log and the status line in the file TALVEK_LOG_FILE names; outlives the view.
    std::unique_ptr<juce::FileOutputStream> logFile;
    std::unique_ptr<CLogEditor> logView; // created hidden, never shown

    juce::Image backgroundImage;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
