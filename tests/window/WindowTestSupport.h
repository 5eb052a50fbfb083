#pragma once

// Helpers for the tests that need an X display: running programs, finding windows, taking
// screenshots, and comparing pictures.
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include "support/OtherUser.h"

#include <csignal>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

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

// A run of a program with its own environment and, when asked (as root), as the other user of
// support/OtherUser.h; killed at the end of the test if it still runs.
class Launched
{
public:
    struct Options
    {
        juce::StringArray command;             // the program first
        juce::StringPairArray environment;     // added to this process's, or replacing its values
        bool asOtherUser = false;
        juce::File standardError;              // where its stderr goes, if set
    };

    explicit Launched (const Options& options)
    {
        std::vector<std::string> arguments, variables;
        for (const auto& a : options.command)
            arguments.push_back (a.toStdString());
        for (char** v = environ; *v != nullptr; ++v)
        {
            const juce::String variable (*v);
            if (! options.environment.containsKey (variable.upToFirstOccurrenceOf ("=", false, false)))
                variables.push_back (*v);
        }
        for (const auto& key : options.environment.getAllKeys())
            variables.push_back ((key + "=" + options.environment[key]).toStdString());

        const auto pointers = [] (std::vector<std::string>& strings)
        {
            std::vector<char*> result;
            for (auto& s : strings)
                result.push_back (s.data());
            result.push_back (nullptr);
            return result;
        };
        auto argv = pointers (arguments);
        auto envp = pointers (variables);

        const int errorFd = options.standardError == juce::File()
                                ? -1
                                : ::open (options.standardError.getFullPathName().toRawUTF8(),
                                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // Only system calls after the fork: this process has threads.
        pid = ::fork();
        if (pid == 0)
        {
            if (errorFd >= 0)
                ::dup2 (errorFd, 2);
            if (options.asOtherUser && ! other_user::become())
                ::_exit (126);
            ::execve (argv[0], argv.data(), envp.data());
            ::_exit (127);
        }
        if (errorFd >= 0)
            ::close (errorFd);
    }

    ~Launched()
    {
        if (isRunning())
        {
            ::kill (pid, SIGKILL);
            ::waitpid (pid, nullptr, 0);
        }
    }

    bool started() const { return pid > 0; }
    pid_t id() const { return pid; }

    bool isRunning()
    {
        if (pid <= 0 || exitStatus.has_value())
            return false;
        int status = 0;
        if (::waitpid (pid, &status, WNOHANG) != pid)
            return true;
        exitStatus = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
        return false;
    }

    // The exit code (128 + the signal if one ended it), or nothing while it still runs.
    std::optional<int> exitCodeWithin (int timeoutMs)
    {
        waitFor ([this] { return ! isRunning(); }, timeoutMs);
        return exitStatus;
    }

private:
    pid_t pid = -1;
    std::optional<int> exitStatus;
};

// The visible windows of one process whose title matches.
inline juce::StringArray findWindowsOf (const Launched& program, const juce::String& titlePattern)
{
    return juce::StringArray::fromLines (run ({ "xdotool", "search", "--all", "--onlyvisible", "--pid",
                                                juce::String (program.id()), "--name", titlePattern }).trim());
}
} // namespace window_test
