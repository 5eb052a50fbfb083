#pragma once

// Helpers for the tests that need an X display: running programs, finding windows, taking
// screenshots, and comparing pictures.
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <fcntl.h>
#include <unistd.h>

namespace window_test
{
// Fails the calling test when there is no display to draw on.
inline void requireDisplay()
{
    ASSERT_TRUE (juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}).isNotEmpty())
        << "these tests need an X display (scripts/test.sh runs them under Xvfb)";
    ASSERT_NE (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay(), nullptr)
        << "the X display cannot be opened";
}

// Ends the calling test (as a failure) when there is no display.
#define TALVEK_REQUIRE_DISPLAY() ASSERT_NO_FATAL_FAILURE (window_test::requireDisplay())

inline juce::File outputFolder()
{
    juce::File folder (TALVEK_TEST_OUTPUT_DIR);
    folder.createDirectory();
    return folder;
}

inline bool savePng (const juce::Image& image, const juce::String& name)
{
    auto file = outputFolder().getChildFile (name);
    file.deleteFile();
    juce::FileOutputStream out (file);
    return out.openedOk() && juce::PNGImageFormat().writeImageToStream (image, out);
}

// Runs a command to its end and returns its standard output.
inline juce::String run (const juce::StringArray& command, int timeoutMs = 20000)
{
    juce::ChildProcess process;
    if (! process.start (command, juce::ChildProcess::wantStdOut))
        return {};
    auto output = process.readAllProcessOutput();
    process.waitForProcessToFinish (timeoutMs);
    return output;
}

inline void pump (int milliseconds) { juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds); }

// Polls `condition` for up to `timeoutMs`, pumping the message loop in between.
template <typename Condition>
bool waitFor (Condition&& condition, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return false;
        pump (50);
    }
    return true;
}

inline juce::StringArray findWindows (const juce::String& titlePattern)
{
    return juce::StringArray::fromLines (run ({ "xdotool", "search", "--onlyvisible", "--name", titlePattern }).trim());
}

struct WindowGeometry
{
    int x = 0, y = 0, width = 0, height = 0;
};

inline WindowGeometry geometryFrom (const juce::StringArray& xwininfoArguments)
{
    auto command = xwininfoArguments;
    command.insert (0, "xwininfo");
    const auto info = run (command);
    const auto value = [&info] (const char* key)
    {
        return info.fromFirstOccurrenceOf (key, false, false).upToFirstOccurrenceOf ("\n", false, false).trim().getIntValue();
    };
    return { value ("Absolute upper-left X:"), value ("Absolute upper-left Y:"), value ("Width:"), value ("Height:") };
}

inline WindowGeometry geometryOf (const juce::String& windowId) { return geometryFrom ({ "-id", windowId }); }

inline WindowGeometry screenGeometry() { return geometryFrom ({ "-root" }); }

// A screenshot of one window, taken with ImageMagick's import and read back.
inline juce::Image screenshot (const juce::String& windowId, const juce::String& fileName)
{
    const auto file = outputFolder().getChildFile (fileName);
    file.deleteFile();
    run ({ "/usr/bin/import", "-window", windowId, file.getFullPathName() });
    return juce::ImageFileFormat::loadFrom (file);
}

// The share of pixels of `area` in `a` (at its own position) and `b` (offset by `offsetInB`)
// whose colour channels differ by more than `channelTolerance`.
inline double differingShare (const juce::Image& a, const juce::Image& b, juce::Rectangle<int> area,
                              juce::Point<int> offsetInB, int channelTolerance = 8)
{
    int differing = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const auto p = a.getPixelAt (x, y);
            const auto q = b.getPixelAt (x + offsetInB.x, y + offsetInB.y);
            if (std::abs (p.getRed() - q.getRed()) > channelTolerance
                || std::abs (p.getGreen() - q.getGreen()) > channelTolerance
                || std::abs (p.getBlue() - q.getBlue()) > channelTolerance)
                ++differing;
        }
    return (double) differing / (double) juce::jmax (1, area.getWidth() * area.getHeight());
}

// The framework refuses a second instance machine-wide through a lock file; waits until no
// other run of the program holds it, so these tests never hand over to a stranger's window.
inline bool waitUntilNoInstanceRuns (int timeoutMs)
{
    juce::File lock ("/var/tmp");
    if (! lock.isDirectory())
        lock = juce::File ("/tmp");
    lock = lock.getChildFile ("juceAppLock_TALVEK Update Tool");

    return waitFor ([&lock] {
        const int fd = ::open (lock.getFullPathName().toRawUTF8(), O_RDWR);
        if (fd < 0)
            return true;
        struct flock query {};
        query.l_type = F_WRLCK;
        query.l_whence = SEEK_SET;
        const bool free = ::fcntl (fd, F_GETLK, &query) == 0 && query.l_type == F_UNLCK;
        ::close (fd);
        return free;
    }, timeoutMs);
}
} // namespace window_test
