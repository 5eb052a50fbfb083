#include "ui/MainComponent.h"

#include "BinaryData.h"
#include "ui/AlertDialogUpdate.h"
#include "ui/WidgetStyle.h"

MainComponent::MainComponent()
{
    // Every window of the program, dialogs included, draws with this look and feel.
    juce::LookAndFeel::setDefaultLookAndFeel (this);
    // Typefaces looked up before (the window's frame) would otherwise keep drawing missing
    // characters as boxes instead of taking this look and feel's fallback.
    juce::Typeface::clearTypefaceCache();

    progressBar = std::make_unique<juce::ProgressBar> (progressValue);
    addAndMakeVisible (*progressBar);
    progressBar->setName ("new component");
    progressBar->setBounds (32, 168, 508, 24);

    const auto makeButton = [this] (const juce::String& caption, juce::Rectangle<int> bounds)
    {
        return makeCaptionButton (*this, *this, caption, bounds);
    };
    executeButton = makeButton ("Execute", { 424, 196, 140, 44 });
    fileButton = makeButton ("File...", { 304, 196, 156, 44 });

    statusLabel = makeLabel (*this, juce::String (statusText (Status::connecting)) + "\n", 20.0f, juce::Justification::centredLeft,
                             { 80, 72, 408, 32 });
    fileNameLabel = makeLabel (*this, {}, 20.0f, juce::Justification::centredLeft, { 80, 128, 268, 24 });
    // Two small lines between the status and the file name, empty unless there is advice.
    hintLabel = makeLabel (*this, {}, 13.0f, juce::Justification::topLeft, { 80, 100, 408, 28 });
    hintLabel->setMinimumHorizontalScale (0.8f);

    backgroundImage = juce::ImageCache::getFromMemory (BinaryData::main_background_png,
                                                       BinaryData::main_background_pngSize);

    setSize (contentWidth, contentHeight);

    fileButton->setEnabled (false);

    logView = std::make_unique<CLogEditor>();
    addAndMakeVisible (*logView);
    logView->setMultiLine (true, true);
    logView->setReturnKeyStartsNewLine (true);
    logView->setReadOnly (true);
    logView->setScrollbarsShown (true);
    logView->setCaretVisible (false);
    logView->setPopupMenuEnabled (true);
    logView->setColour (juce::TextEditor::textColourId, juce::Colours::black);
    logView->setColour (juce::TextEditor::backgroundColourId, juce::Colour (0x38ffffff));
    logView->setText ({});
    logView->setBounds (76, 404, 412, 192);
    logView->setVisible (false);
    workflow.logPrinter.setEditor (logView.get());
    workflow.logPrinter.setLargeFont();
    openLogFile();

    progressBar->setVisible (false);
    progressBar->setColour (juce::ProgressBar::backgroundColourId, juce::Colour (5, 6, 61));

    executeButton->setEnabled (false);

    workflow.logPrinter.printA ("Test!\n");

    workflow.start();
}

MainComponent::~MainComponent()
{
    // From here on prints from any thread are dropped instead of reaching a dying view.
    workflow.logPrinter.setEditor (nullptr);
    // The look-and-feel base dies with this object; nothing may keep drawing with it.
    juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
}

void MainComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::white);
    g.setColour (juce::Colours::black);
    g.drawImage (backgroundImage, 0, 0, contentWidth, contentHeight, 0, 0, backgroundImage.getWidth(),
                 backgroundImage.getHeight());
}

void MainComponent::handleCommandLine (const juce::String& commandLine)
{
    // The text itself is not used: a preset cannot be loaded from the command line.
    if (commandLine.isEmpty())
        return;

    workflow.logPrinter.printA ("Something error... Can't load preset.\n");
    executeButton->setButtonText ("UPDATE");
}

void MainComponent::handleMessage (const juce::Message& message)
{
    workflow.handleMessage (message);
}

void MainComponent::buttonClicked (juce::Button* button)
{
    if (button == executeButton.get())
        workflow.executeUpdate();
    else if (button == fileButton.get())
        workflow.chooseUpdateFile();
}

//==============================================================================================
void MainComponent::openLogFile()
{
    const auto name = juce::SystemStats::getEnvironmentVariable ("TALVEK_LOG_FILE", {});
    if (name.isEmpty())
        return;
    const auto file = juce::File::getCurrentWorkingDirectory().getChildFile (name);
    logFile = std::make_unique<juce::FileOutputStream> (file);
    if (logFile->failedToOpen())
    {
        workflow.logPrinter.printW (L"Can't open the log file %ls: %ls\n", file.getFullPathName().toWideCharPointer(),
                                    logFile->getStatus().getErrorMessage().toWideCharPointer());
        logFile = nullptr;
        return;
    }
    logView->copyTextTo (logFile.get());
}

void MainComponent::setStatusText (const juce::String& text)
{
    if (text != statusLabel->getText())
        hintLabel->setText ({}, juce::dontSendNotification);
    statusLabel->setText (text, juce::dontSendNotification);
    if (logFile != nullptr)
    {
        logFile->writeText ("[status] " + text.trim() + "\n", false, false, nullptr);
        logFile->flush();
    }
    noteHistory (history.statusShown (text));
}

void MainComponent::noteHistory (const juce::Result& written)
{
    // The update goes on without its history line; the log says why it is missing.
    if (written.failed())
        workflow.logPrinter.printW (L"%ls\n", ("Update history: " + written.getErrorMessage()).toWideCharPointer());
}

void MainComponent::setStatusHint (const juce::String& text)
{
    hintLabel->setText (text, juce::dontSendNotification);
    if (logFile != nullptr && text.isNotEmpty())
    {
        logFile->writeText ("[hint] " + text.trim() + "\n", false, false, nullptr);
        logFile->flush();
    }
}

void MainComponent::setFileButtonEnabled (bool enabled) { fileButton->setEnabled (enabled); }

void MainComponent::setExecuteButtonEnabled (bool enabled) { executeButton->setEnabled (enabled); }

void MainComponent::setFileName (const juce::String& name)
{
    fileNameLabel->setText (name, juce::dontSendNotification);
}

void MainComponent::setProgressVisible (bool visible) { progressBar->setVisible (visible); }

void MainComponent::setProgressValue (double value) { progressValue = value; }

void MainComponent::setProgressAppearance (const juce::String& text, std::uint32_t argb)
{
    progressBar->setColour (juce::ProgressBar::foregroundColourId, juce::Colour (argb));
    progressBar->setTextToDisplay (text);
}

bool MainComponent::askConfirmation (const juce::String& title, const juce::String& question, Question)
{
    alertDialog_Update dialog;
    dialog.setMode (alertDialog_Update::questionMode);
    dialog.setMessage (question);
    return dialog.runModal (title, this) != 0;
}

juce::File MainComponent::chooseFile (const juce::String& title, const juce::String& patterns)
{
    juce::FileChooser chooser (title, {}, patterns);
    return chooser.browseForFileToOpen() ? chooser.getResult() : juce::File();
}

void MainComponent::showMessage (const juce::String& title, const juce::String& text)
{
    alertDialog_Update dialog;
    dialog.setMode (alertDialog_Update::messageMode);
    dialog.setMessage (text);
    dialog.runModal (title, this);
}

void MainComponent::showWarning (const juce::String& title, const juce::String& text)
{
    juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, title, text, "OK");
}

void MainComponent::showNoOutputDevice()
{
    if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() == nullptr)
    {
        // No screen to show it on (a headless run): the text still goes somewhere.
        juce::Logger::writeToLog ("No out device");
        return;
    }

    // Not modal (a modal loop here would deliver the device link's next messages from inside
    // this call), and never more than one at a time however many frames found no output.
    if (noOutputBoxOpen)
        return;
    noOutputBoxOpen = true;
    juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, {}, "No out device", {}, nullptr,
                                            juce::ModalCallbackFunction::create (
                                                [safe = juce::Component::SafePointer<MainComponent> (this)] (int)
                                                {
                                                    if (safe != nullptr)
                                                        safe->noOutputBoxOpen = false;
                                                }));
}

void MainComponent::setScreenSaverBlocked (bool blocked)
{
    noteHistory (history.screenSaverBlocked (workflow, blocked));
    // Without a display (headless tests) the framework's call has no server to talk to.
    if (! juce::Desktop::getInstance().isHeadless())
        juce::Desktop::setScreenSaverEnabled (! blocked);
}
