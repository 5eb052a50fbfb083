#pragma once

#include "devicelink/JobQueue.h"
#include "devicelink/MidiPorts.h"
#include "ui/ImageButtonWithText.h"
#include "ui/LogEditor.h"
#include "messages/LogPrinter.h"
#include "workflow/WorkflowHooks.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

// One built-in flash driver image and the names its header carries. The names are zero-padded
// 18-byte arrays because the job records copy exactly 18 bytes from them.
struct DriverEntry
{
    const std::uint8_t* data = nullptr;
    int size = 0;
    std::array<char, 18> mcuName {};
    std::array<char, 18> flashName {};
};

// The built-in driver table, in the order the connection test tries the drivers.
std::vector<DriverEntry> makeBuiltInDrivers();

// Result of checkUpdateFile.
enum class UpdateFileCheck : int
{
    ok = 0,       // size rules and marker bytes satisfied
    modified = 1, // a marker byte differs
    badSize = 2,  // shorter than 256 KiB or not a multiple of it
    none = 3,     // no accepted file: nothing to show
};

// The content of the main window: the picture, the status and file lines, the progress bar,
// the two buttons, and the workflow that drives them from the device link's messages. Its own
// look-and-feel base is the program's default look and feel.
//
// The layout, painting and look and feel live in ui/, the workflow (handleMessage,
// buttonClicked and the operations they use) in workflow/.
class MainComponent : public juce::Component,
                      public juce::MessageListener,
                      public juce::Thread,
                      public juce::LookAndFeel_V2,
                      public juce::Button::Listener,
                      public juce::ComboBox::Listener
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

    // --- Workflow (workflow/) ---
    void handleMessage (const juce::Message& message) override;
    void buttonClicked (juce::Button* button) override;
    void comboBoxChanged (juce::ComboBox*) override {}
    void setControlsEnabled (bool enable);
    void startVersionRead();
    void chooseUpdateFile();
    UpdateFileCheck checkUpdateFile();

    // A command-line text handed over at start or by a second launch.
    void handleCommandLine (const juce::String& commandLine);

    // --- State (message thread only) ---
    bool detectingFlash = false;
    bool updating = false; // the main window ignores its close button while set

    struct DriverImage
    {
        const std::uint8_t* data = nullptr;
        int size = 0;
    };
    DriverImage workDriver;

    double progressRangeStart = 0.0;
    double progressRangeEnd = 0.0;
    double progressValue = 0.0; // watched by progressBar; declared before it

    juce::String updateFilePath; // at most 259 UTF-16 units
    int updateFileSize = 0;

    // Members are destroyed in reverse order: the widgets (log view included) first, then the
    // job queue with the device link, then the driver table, as at quit.
    std::vector<DriverEntry> builtInDrivers;

    // The device link prints through this; it must outlive the job queue below.
    CLogPrinter logPrinter;

    // The job script and the device link it owns; tests may hand it emulated ports.
    JobQueue jobQueue { makeWorkflowPorts() };

    // --- Widgets ---
    std::unique_ptr<juce::ProgressBar> progressBar;
    std::unique_ptr<ImageButtonWithText> executeButton;
    std::unique_ptr<ImageButtonWithText> fileButton;
    std::unique_ptr<juce::Label> statusLabel;
    std::unique_ptr<juce::Label> fileNameLabel;
    std::unique_ptr<CLogEditor> logView; // created hidden, never shown

    juce::Image backgroundImage;

private:
    // juce::Thread: the checksum thread is never started.
    void run() override {}

    // Starts the device link; the last step of construction.
    void startDeviceLink();

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
