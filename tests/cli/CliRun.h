#pragma once

// Runs the built talvek-update as a child process against emulated instruments in this
// process, each on a socket of its own in a private folder; the tool's state folder is private
// too. No display is involved.

#include "emulator/Instrument.h"
#include "support/OtherUser.h"
#include "support/ScratchFolder.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace clitest
{
namespace emu = talvek::emu;

struct Run
{
    int exitCode = -1;  // 128 + signal when one ended it; -1 when it had to be killed
    juce::String out;
    juce::String err;

    juce::StringArray outLines() const { return juce::StringArray::fromLines (out.trim()); }
};

// A started child; its output goes to files until it ends.
class Child
{
public:
    Child (const juce::StringArray& arguments, const juce::StringPairArray& environment, const juce::File& folder)
        : Child (argumentBytes (arguments), environment, folder)
    {
    }

    // The arguments as bytes, which need not be text; `asOtherUser`: run as other_user.
    Child (const std::vector<std::string>& arguments, const juce::StringPairArray& environment, const juce::File& folder,
           bool asOtherUser = false)
        : outFile (folder.getNonexistentChildFile ("out", ".txt")), errFile (folder.getNonexistentChildFile ("err", ".txt"))
    {
        std::vector<std::string> args { TALVEK_UPDATE_BINARY }, vars;
        args.insert (args.end(), arguments.begin(), arguments.end());
        for (char** v = environ; *v != nullptr; ++v)
        {
            const juce::String variable (*v);
            if (! environment.containsKey (variable.upToFirstOccurrenceOf ("=", false, false)))
                vars.push_back (*v);
        }
        for (const auto& key : environment.getAllKeys())
            vars.push_back ((key + "=" + environment[key]).toStdString());
        auto argv = pointers (args);
        auto envp = pointers (vars);

        const int in = ::open ("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = ::open (outFile.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = ::open (errFile.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        // Only system calls after the fork: this process has threads.
        pid = ::fork();
        if (pid == 0)
        {
            ::dup2 (in, 0);
            ::dup2 (out, 1);
            ::dup2 (err, 2);
            if (asOtherUser && ! other_user::become())
                ::_exit (126);
            ::execve (argv[0], argv.data(), envp.data());
            ::_exit (127);
        }
        ::close (in);
        ::close (out);
        ::close (err);
    }

    ~Child() { kill (SIGKILL); wait (10000); }

    // Still running (not reaped yet).
    bool running()
    {
        if (pid <= 0 || exitCode.has_value())
            return false;
        int status = 0;
        if (::waitpid (pid, &status, WNOHANG) != pid)
            return true;
        exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
        return false;
    }

    void kill (int signal)
    {
        if (pid > 0 && ! exitCode.has_value())
            ::kill (pid, signal);
    }

    // The run's end, or a run with exit code -1 (and the child killed) after `timeoutMs`.
    Run wait (int timeoutMs)
    {
        const auto end = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);
        while (pid > 0 && ! exitCode.has_value())
        {
            int status = 0;
            if (::waitpid (pid, &status, WNOHANG) == pid)
                exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : 128 + WTERMSIG (status);
            else if (juce::Time::getMillisecondCounter() > end)
            {
                ::kill (pid, SIGKILL);
                ::waitpid (pid, nullptr, 0);
                exitCode = -1;
            }
            else
                juce::Thread::sleep (10);
        }
        return { exitCode.value_or (-1), outFile.loadFileAsString(), errFile.loadFileAsString() };
    }

    static std::vector<std::string> argumentBytes (const juce::StringArray& arguments)
    {
        std::vector<std::string> bytes;
        for (const auto& a : arguments)
            bytes.push_back (a.toStdString());
        return bytes;
    }

private:
    static std::vector<char*> pointers (std::vector<std::string>& strings)
    {
        std::vector<char*> result;
        for (auto& s : strings)
            result.push_back (s.data());
        result.push_back (nullptr);
        return result;
    }

    juce::File outFile, errFile;
    pid_t pid = -1;
    std::optional<int> exitCode;
};

// Instruments, a state folder and update files in one private folder.
class Bench
{
public:
    Bench() : folder (makeScratchFolder ("talvek-cli")) { state().createDirectory(); }
    ~Bench()
    {
        instruments.clear();
        folder.deleteRecursively();
    }

    juce::File state() const { return folder.getChildFile ("state"); }
    juce::File file (const juce::String& name) const { return folder.getChildFile (name); }

    // An instrument with generated content, serving on a new socket.
    emu::Instrument& addInstrument (emu::Config config = {}, const emu::Identity& identity = emu::Identity::defaults())
    {
        auto instrument = std::make_unique<emu::Instrument> (config);
        instrument->generateContent (identity);
        const auto socket = folder.getChildFile ("i" + juce::String (instruments.size() + 1) + ".sock").getFullPathName();
        std::string error;
        EXPECT_TRUE (instrument->start (socket.toStdString(), &error)) << error;
        sockets.add (socket);
        instruments.push_back (std::move (instrument));
        return *instruments.back();
    }

    juce::String socket (int index) const { return sockets[index]; }

    juce::File writeUpdate (const juce::String& name, std::size_t size, std::uint32_t seed = 2,
                            const emu::Identity& identity = emu::Identity::defaults()) const
    {
        const auto target = file (name);
        std::string error;
        EXPECT_TRUE (emu::writeUpdateFile (target.getFullPathName().toStdString(), identity, size, seed, &error)) << error;
        return target;
    }

    // The tool's environment; `stateFolder` in place of state() when given.
    juce::StringPairArray environment (const juce::File& stateFolder = {}) const
    {
        juce::StringPairArray env;
        env.set ("TALVEK_MIDI_SOCKETS", sockets.joinIntoString (":"));
        env.set ("TALVEK_STATE_DIR", (stateFolder == juce::File() ? state() : stateFolder).getFullPathName());
        return env;
    }

    std::unique_ptr<Child> start (const juce::StringArray& arguments, const juce::File& stateFolder = {}) const
    {
        return std::make_unique<Child> (arguments, environment (stateFolder), folder);
    }

    Run run (const juce::StringArray& arguments, int timeoutMs = 180000) const
    {
        return start (arguments)->wait (timeoutMs);
    }

    // With another state folder: another computer, user account or installation.
    Run runWithState (const juce::File& stateFolder, const juce::StringArray& arguments) const
    {
        return start (arguments, stateFolder)->wait (180000);
    }

    // Arguments as raw bytes, optionally as other_user.
    Run runBytes (const std::vector<std::string>& arguments, bool asOtherUser = false,
                  const juce::File& stateFolder = {}) const
    {
        return Child (arguments, environment (stateFolder), folder, asOtherUser).wait (180000);
    }

    std::vector<std::unique_ptr<emu::Instrument>> instruments;

private:
    juce::File folder;
    juce::StringArray sockets;
};

inline std::vector<std::uint8_t> bytesOf (const juce::File& file)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    const auto* p = static_cast<const std::uint8_t*> (block.getData());
    return { p, p + block.getSize() };
}

inline std::vector<std::uint8_t> slice (const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t length)
{
    return { bytes.begin() + static_cast<std::ptrdiff_t> (at), bytes.begin() + static_cast<std::ptrdiff_t> (at + length) };
}

inline emu::Config instant()
{
    emu::Config config;
    config.timing = emu::Timing::instant();
    return config;
}

// What a failed expectation on a run prints.
inline std::ostream& operator<< (std::ostream& o, const Run& run)
{
    return o << "exit " << run.exitCode << "\n--- stdout\n" << run.out << "--- stderr\n" << run.err;
}
} // namespace clitest
