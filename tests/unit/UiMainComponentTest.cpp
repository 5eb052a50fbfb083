// The main window's content as built: widgets, pictures, painting, the default look and feel,
// and the command-line rule.
#include "BinaryData.h"
#include "ui/AlertDialogUpdate.h"
#include "ui/MainComponent.h"
#include "unit/MainComponentAccess.h"
#include "unit/UiRecordingContext.h"

#include <gtest/gtest.h>

namespace
{
void pumpMessages() { juce::MessageManager::getInstance()->runDispatchLoopUntil (50); }
} // namespace

TEST (MainComponentLayout, WidgetsHaveTheirNamesTextsBoundsAndStates)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    EXPECT_EQ (main.getWidth(), 572);
    EXPECT_EQ (main.getHeight(), 284);
    EXPECT_EQ (juce::Thread::getCurrentThread(), nullptr);

    struct Expected
    {
        juce::Component* widget;
        const char* name;
        juce::Rectangle<int> bounds;
        bool visible;
        bool enabled;
    };
    for (const auto& e : { Expected { &w.progressBar, "new component", { 32, 168, 508, 24 }, false, true },
                           Expected { &w.executeButton, "new button", { 424, 196, 140, 44 }, true, false },
                           Expected { &w.fileButton, "new button", { 304, 196, 156, 44 }, true, false },
                           Expected { &w.statusLabel, "new label", { 80, 72, 408, 32 }, true, true },
                           Expected { &w.fileNameLabel, "new label", { 80, 128, 268, 24 }, true, true } })
    {
        SCOPED_TRACE (e.name);
        ASSERT_NE (e.widget, nullptr);
        EXPECT_EQ (e.widget->getParentComponent(), &main);
        EXPECT_EQ (e.widget->getName(), e.name);
        EXPECT_EQ (e.widget->getBounds(), e.bounds);
        EXPECT_EQ (e.widget->isVisible(), e.visible);
        EXPECT_EQ (e.widget->isEnabled(), e.enabled);
    }

    // Later widgets lie above earlier ones: File... takes clicks where the buttons overlap.
    main.setVisible (true);
    EXPECT_LT (main.getIndexOfChildComponent (&w.executeButton), main.getIndexOfChildComponent (&w.fileButton));
    EXPECT_EQ (main.getComponentAt (440, 218), &w.fileButton);
    EXPECT_EQ (main.getComponentAt (470, 218), &w.executeButton);

    EXPECT_EQ (w.executeButton.getButtonText(), "Execute");
    EXPECT_EQ (w.fileButton.getButtonText(), "File...");
    EXPECT_EQ (w.statusLabel.getText(), "Connecting to device...\n");
    EXPECT_EQ (w.fileNameLabel.getText(), "");

    for (auto* label : { &w.statusLabel, &w.fileNameLabel })
    {
        EXPECT_FLOAT_EQ (label->getFont().getHeight(), 20.0f);
        EXPECT_EQ (label->getFont().getTypefaceStyle(), "Regular");
        EXPECT_EQ (label->getJustificationType(), juce::Justification::centredLeft);
        EXPECT_FALSE (label->isEditableOnSingleClick());
        EXPECT_FALSE (label->isEditableOnDoubleClick());
        EXPECT_EQ (label->findColour (juce::Label::textColourId), juce::Colours::black);
    }

    EXPECT_EQ (w.progressBar.findColour (juce::ProgressBar::backgroundColourId), juce::Colour (5, 6, 61));
    EXPECT_TRUE (w.progressBar.isOpaque());

    // Both buttons show the dark plate centred at 100 x 44 and report to the component.
    for (auto* button : { &w.executeButton, &w.fileButton })
    {
        EXPECT_EQ (button->getNormalImage().getWidth(), 100);
        EXPECT_EQ (button->getNormalImage().getHeight(), 44);
        EXPECT_TRUE (button->getOverImage().isValid());
        EXPECT_TRUE (button->getDownImage().isValid());
    }

    EXPECT_FALSE (main.isUpdating());
    EXPECT_FALSE (main.getWorkflow().isDetectingFlash());
}

TEST (MainComponentLayout, ItsLookAndFeelIsTheDefaultUntilItIsDestroyed)
{
    {
        MainComponent main;
    const MainComponentTestAccess w (main);
        EXPECT_EQ (&juce::LookAndFeel::getDefaultLookAndFeel(), static_cast<juce::LookAndFeel*> (&main));
        EXPECT_EQ (&w.progressBar.getLookAndFeel(), static_cast<juce::LookAndFeel*> (&main));

        // Every other component of the program, dialogs included, draws with it.
        alertDialog_Update dialog;
        EXPECT_EQ (&dialog.getLookAndFeel(), static_cast<juce::LookAndFeel*> (&main));
    }
    EXPECT_EQ (dynamic_cast<MainComponent*> (&juce::LookAndFeel::getDefaultLookAndFeel()), nullptr);
}

TEST (MainComponentLayout, PaintsThePictureOnWhiteAtItsOwnSize)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    main.setSize (600, 310); // larger than the picture: white shows right and below
    const auto snapshot = main.createComponentSnapshot (main.getLocalBounds());
    const auto picture = juce::ImageCache::getFromMemory (BinaryData::main_background_png,
                                                          BinaryData::main_background_pngSize);
    ASSERT_EQ (picture.getWidth(), 572);
    ASSERT_EQ (picture.getHeight(), 284);

    EXPECT_EQ (snapshot.getPixelAt (590, 20), juce::Colours::white);
    EXPECT_EQ (snapshot.getPixelAt (20, 300), juce::Colours::white);
    // Spots of the picture that no widget covers.
    for (auto [x, y] : { std::pair { 5, 5 }, std::pair { 286, 40 }, std::pair { 560, 270 }, std::pair { 30, 58 } })
        EXPECT_EQ (snapshot.getPixelAt (x, y), picture.getPixelAt (x, y)) << x << "," << y;

    // The widgets keep their bounds whatever the size.
    EXPECT_EQ (w.executeButton.getBounds(), juce::Rectangle<int> (424, 196, 140, 44));
}

TEST (MainComponentLayout, PicturesHaveTheirSizes)
{
    struct Picture
    {
        const char* data;
        int size;
        int width;
        int height;
    };
    for (const auto& p : { Picture { BinaryData::main_background_png, BinaryData::main_background_pngSize, 572, 284 },
                           Picture { BinaryData::dialog_background_png, BinaryData::dialog_background_pngSize, 400, 200 },
                           Picture { BinaryData::button_dark_png, BinaryData::button_dark_pngSize, 100, 44 },
                           Picture { BinaryData::button_light_png, BinaryData::button_light_pngSize, 100, 44 },
                           Picture { BinaryData::button_pressed_png, BinaryData::button_pressed_pngSize, 100, 44 } })
    {
        const auto image = juce::ImageFileFormat::loadFrom (p.data, (size_t) p.size);
        EXPECT_EQ (image.getWidth(), p.width);
        EXPECT_EQ (image.getHeight(), p.height);
    }

    // The plates: transparent corners around a grey plate, dark and light as described.
    const auto dark = juce::ImageFileFormat::loadFrom (BinaryData::button_dark_png, BinaryData::button_dark_pngSize);
    const auto light = juce::ImageFileFormat::loadFrom (BinaryData::button_light_png, BinaryData::button_light_pngSize);
    const auto pressed = juce::ImageFileFormat::loadFrom (BinaryData::button_pressed_png, BinaryData::button_pressed_pngSize);
    EXPECT_EQ (dark.getPixelAt (0, 0).getAlpha(), 0);
    EXPECT_NEAR (dark.getPixelAt (50, 21).getRed(), 104, 4);
    EXPECT_NEAR (light.getPixelAt (50, 21).getRed(), 197, 4);
    // The pressed plate sits lower: its top edge starts further down than the light one's.
    EXPECT_GT (light.getPixelAt (50, 2).getAlpha(), 200);
    EXPECT_LT (pressed.getPixelAt (50, 2).getAlpha(), 50);
}

TEST (MainComponentCommandLine, EmptyTextChangesNothing)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    main.handleCommandLine ({});
    pumpMessages();
    EXPECT_EQ (w.executeButton.getButtonText(), "Execute");
    EXPECT_EQ (w.logView.getText(), "Test!\n");
}

TEST (MainComponentCommandLine, EachNonEmptyTextLogsAndCaptionsUpdate)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    main.handleCommandLine ("preset.bin");
    pumpMessages();
    EXPECT_EQ (w.executeButton.getButtonText(), "UPDATE");
    EXPECT_EQ (w.logView.getText(), "Test!\nSomething error... Can't load preset.\n");

    main.handleCommandLine ("again");
    pumpMessages();
    EXPECT_EQ (w.executeButton.getButtonText(), "UPDATE");
    EXPECT_EQ (w.logView.getText(), "Test!\nSomething error... Can't load preset.\nSomething error... Can't load preset.\n");

    // Only the caption changed: the button stays disabled.
    EXPECT_FALSE (w.executeButton.isEnabled());
}

TEST (MainComponentLayout, ShowsProgressAndEnabledButtonsWhileUpdating)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    // As the workflow drives it.
    WorkflowView& view = main;
    view.setFileName ("update.bin");
    view.setExecuteButtonEnabled (true);
    view.setFileButtonEnabled (true);
    view.setProgressVisible (true);
    view.setProgressAppearance ("Updating...", 0xffc0c0c0);
    view.setStatusText ("Updating....");
    view.setProgressValue (0.4567);
    pumpMessages(); // the bar moves towards its value at the framework's pace
    juce::MessageManager::getInstance()->runDispatchLoopUntil (700);

    const auto snapshot = main.createComponentSnapshot (main.getLocalBounds());
    juce::File folder (TALVEK_TEST_OUTPUT_DIR);
    folder.createDirectory();
    juce::FileOutputStream out (folder.getChildFile ("main-component-updating.png"));
    if (out.openedOk())
    {
        out.setPosition (0);
        out.truncate();
        juce::PNGImageFormat().writeImageToStream (snapshot, out);
    }

    // Filled part of the bar, then its dark background.
    EXPECT_EQ (snapshot.getPixelAt (34, 170), juce::Colour (0xffc0c0c0));
    EXPECT_EQ (snapshot.getPixelAt (536, 170), juce::Colour (5, 6, 61));

    EXPECT_EQ (w.statusLabel.getText(), "Updating....");
    EXPECT_EQ (w.fileNameLabel.getText(), "update.bin");
    EXPECT_TRUE (w.progressBar.isVisible());

    // Each button follows its own call.
    for (const bool fileEnabled : { false, true })
    {
        view.setFileButtonEnabled (fileEnabled);
        view.setExecuteButtonEnabled (! fileEnabled);
        EXPECT_EQ (w.fileButton.isEnabled(), fileEnabled);
        EXPECT_EQ (w.executeButton.isEnabled(), ! fileEnabled);
    }
    view.setProgressVisible (false);
    EXPECT_FALSE (w.progressBar.isVisible());
}

// What to do next shows in small type under the status, without moving the status or the file
// name, and goes with the status it belongs to.
TEST (MainComponentLayout, AHintUnderTheStatusStaysWithItsStatus)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    WorkflowView& view = main;
    view.setFileName ("update-256k.bin");
    view.setStatusText ("Device connected.");
    const auto plain = main.createComponentSnapshot (main.getLocalBounds());
    view.setStatusHint ("An update of a device of this model was interrupted. If it was this one, "
                        "choose the same update file and press Execute.");
    const auto hinted = main.createComponentSnapshot (main.getLocalBounds());

    juce::File folder (TALVEK_TEST_OUTPUT_DIR);
    folder.createDirectory();
    juce::FileOutputStream out (folder.getChildFile ("main-component-hint.png"));
    if (out.openedOk())
    {
        out.setPosition (0);
        out.truncate();
        juce::PNGImageFormat().writeImageToStream (hinted, out);
    }

    const auto differs = [&] (juce::Rectangle<int> area)
    {
        int n = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                n += plain.getPixelAt (x, y) != hinted.getPixelAt (x, y) ? 1 : 0;
        return n;
    };
    EXPECT_EQ (w.hintLabel.getBounds(), juce::Rectangle<int> (80, 100, 408, 28));
    EXPECT_GT (differs (w.hintLabel.getBounds()), 200); // two lines of text drawn
    EXPECT_EQ (differs (w.statusLabel.getBounds().withHeight (28)), 0);
    EXPECT_EQ (differs (w.fileNameLabel.getBounds()), 0);

    view.setStatusText ("Device connected.");
    EXPECT_TRUE (w.hintLabel.getText().isNotEmpty());
    view.setStatusText ("Updating....");
    EXPECT_TRUE (w.hintLabel.getText().isEmpty());
}

TEST (MainComponentWorkflow, MessagesHandedToTheComponentReachTheWorkflow)
{
    MainComponent main;
    const MainComponentTestAccess w (main);
    w.executeButton.setEnabled (true);
    main.handleMessage (CCustomMessage (MessageCode::DeviceNotFound));
    EXPECT_EQ (w.statusLabel.getText(), "Device not found. Quit this tool and try again.");
    EXPECT_FALSE (w.executeButton.isEnabled());
}

TEST (MainComponentWorkflow, NoOutputDeviceIsLoggedWithoutADisplay)
{
    if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr)
        GTEST_SKIP() << "with a display the box is shown (a window test checks it)";

    struct Capture : juce::Logger
    {
        void logMessage (const juce::String& message) override { lines.add (message); }
        juce::StringArray lines;
    } capture;

    MainComponent main;
    juce::Logger::setCurrentLogger (&capture);
    for (int i = 0; i < 2; ++i)
        main.handleMessage (CCustomMessage (MessageCode::NoOutputDevice));
    juce::Logger::setCurrentLogger (nullptr);
    EXPECT_EQ (capture.lines, juce::StringArray ({ "No out device", "No out device" }));
}
