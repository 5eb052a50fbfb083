// What the terminal tool is given from this computer (its arguments, the --log file, read's
// OUT, the state folder) is checked before the instrument is touched, and nothing that is
// refused is changed.

#include "CliRun.h"

#include "instance/InstanceLock.h"
#include "common/Utf8.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace clitest;

namespace
{
bool isFifo (const juce::File& f)
{
    struct stat info {};
    return ::lstat (f.getFullPathName().toRawUTF8(), &info) == 0 && S_ISFIFO (info.st_mode);
}

bool isLink (const juce::File& f)
{
    struct stat info {};
    return ::lstat (f.getFullPathName().toRawUTF8(), &info) == 0 && S_ISLNK (info.st_mode);
}

mode_t modeOf (const juce::File& f)
{
    struct stat info {};
    return ::lstat (f.getFullPathName().toRawUTF8(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string path (const juce::File& f) { return f.getFullPathName().toStdString(); }
} // namespace

TEST (TerminalLocalInputs, RefusedBeforeTheInstrumentAndLeftAsTheyWere)
{
    struct Case
    {
        const char* name;
        // Makes what the case needs; returns the command line (bytes, not necessarily text).
        std::function<std::vector<std::string> (Bench&)> arrange;
        int exitCode;
        const char* text;
        std::function<bool (Bench&)> keptAsItWas;
    };
    const auto update = [] (Bench& b) { return b.writeUpdate ("u.bin", 0x40000); };
    const auto updateKept = [] (Bench& b) { return b.file ("u.bin").getSize() == 0x40000; };
    const auto nothing = [] (Bench&) { return true; };

    const std::vector<Case> cases {
        // read's OUT: a new name or a regular file this user may write, nothing else.
        { "OUT a FIFO",
          [] (Bench& b) { ::mkfifo (b.file ("fifo").getFullPathName().toRawUTF8(), 0600); return std::vector<std::string> { "read", "0", "4K", path (b.file ("fifo")) }; },
          9, "is not a regular file", [] (Bench& b) { return isFifo (b.file ("fifo")); } },
        { "OUT a device node", [] (Bench&) { return std::vector<std::string> { "read", "0", "4K", "/dev/null" }; }, 9,
          "is not a regular file",
          [] (Bench&) { struct stat info {}; return ::lstat ("/dev/null", &info) == 0 && S_ISCHR (info.st_mode); } },
        { "OUT a symbolic link",
          [] (Bench& b)
          {
              b.file ("target.bin").replaceWithText ("mine");
              b.file ("target.bin").createSymbolicLink (b.file ("link.bin"), true);
              return std::vector<std::string> { "read", "0", "4K", path (b.file ("link.bin")) };
          },
          9, "is a symbolic link",
          [] (Bench& b) { return isLink (b.file ("link.bin")) && b.file ("target.bin").loadFileAsString() == "mine"; } },
        { "OUT a folder", [] (Bench& b) { return std::vector<std::string> { "read", "0", "4K", path (b.state()) }; }, 9,
          "is a folder", [] (Bench& b) { return b.state().isDirectory(); } },

        // Arguments that are not UTF-8 never become text.
        { "START with a stray byte", [] (Bench& b) { return std::vector<std::string> { "read", "1\xed", "4", path (b.file ("r.bin")) }; },
          2, "is not valid UTF-8: 1\\xED", nothing },
        { "a lone lead byte after --", [] (Bench& b) { return std::vector<std::string> { "read", "--", "\xed", "1", path (b.file ("r.bin")) }; },
          2, "is not valid UTF-8", nothing },
        { "an overlong slash", [] (Bench& b) { return std::vector<std::string> { "check", path (b.file ("a")) + "\xc0\xaf" "b" }; }, 2,
          "is not valid UTF-8", nothing },
        { "the log's name", [] (Bench&) { return std::vector<std::string> { "list", "--log", "\xff" }; }, 2, "is not valid UTF-8",
          nothing },

        // The log never names a file of the run or of the state folder, and is opened last.
        { "log is the update file",
          [=] (Bench& b) { return std::vector<std::string> { "update", path (update (b)), "--yes", "--log", path (b.file ("u.bin")) }; },
          2, "the log file", updateKept },
        { "log is a hard link to the update file",
          [=] (Bench& b)
          {
              ::link (path (update (b)).c_str(), path (b.file ("hard.log")).c_str());
              return std::vector<std::string> { "check", path (b.file ("u.bin")), "--log", path (b.file ("hard.log")) };
          },
          2, "the log file", updateKept },
        { "log is a link to the journal",
          [] (Bench& b)
          {
              b.state().getChildFile ("zkt_update.journal").replaceWithText ("kept");
              b.state().getChildFile ("zkt_update.journal").createSymbolicLink (b.file ("j.log"), true);
              return std::vector<std::string> { "list", "--log", path (b.file ("j.log")) };
          },
          2, "the log file",
          [] (Bench& b) { return b.state().getChildFile ("zkt_update.journal").loadFileAsString() == "kept"; } },
        { "log would be made in the state folder",
          [] (Bench& b) { return std::vector<std::string> { "list", "--log", path (b.state().getChildFile ("zkt_update.lock")) }; },
          2, "would be made in the state folder", [] (Bench& b) { return ! b.state().getChildFile ("zkt_update.lock").exists(); } },
        { "log is read's OUT",
          [] (Bench& b) { return std::vector<std::string> { "read", "0", "4K", path (b.file ("o.bin")), "--log", path (b.file ("o.bin")) }; },
          2, "the log file", [] (Bench& b) { return ! b.file ("o.bin").exists(); } },
        { "a missing update file comes before the log",
          [] (Bench& b) { return std::vector<std::string> { "update", path (b.file ("none.bin")), "--yes", "--log", path (b.file ("run.log")) }; },
          9, "can't read", [] (Bench& b) { return ! b.file ("run.log").exists(); } },

        // The state folder is the user's own; one that others can write in keeps its mode.
        { "state folder writable by everyone",
          [] (Bench& b) { ::chmod (b.state().getFullPathName().toRawUTF8(), 01777); return std::vector<std::string> { "list" }; },
          9, "can be written by other users", [] (Bench& b) { return modeOf (b.state()) == 01777; } },
    };
    for (const auto& c : cases)
    {
        Bench bench;
        bench.addInstrument (instant());
        const auto arguments = c.arrange (bench);
        const auto run = bench.runBytes (arguments);
        EXPECT_EQ (run.exitCode, c.exitCode) << c.name << "\n" << run;
        EXPECT_TRUE (run.err.contains (c.text)) << c.name << "\n" << run;
        EXPECT_EQ (bench.instruments[0]->record().connections, 0u) << c.name << ": the instrument was reached";
        EXPECT_TRUE (c.keptAsItWas (bench)) << c.name << ": what was refused was changed";
        EXPECT_FALSE (bench.file ("r.bin").exists()) << c.name;
    }
}

// A read-only file of another user, in a folder this user may write in, is not replaced: the
// rename would have let any user with write access to a folder overwrite others' files in it.
TEST (TerminalLocalInputs, ReadDoesNotReplaceAFileThisUserMayNotWrite)
{
    TALVEK_REQUIRE_OTHER_USER();
    Bench bench;
    bench.addInstrument (instant());
    // Reachable by the other user: a sticky folder everyone may write in, as /tmp.
    const auto shared = makeScratchFolder ("talvek-shared");
    ASSERT_EQ (::chmod (shared.getFullPathName().toRawUTF8(), 01777), 0);
    const auto state = shared.getChildFile ("state");
    ASSERT_TRUE (state.createDirectory().wasOk());
    ASSERT_EQ (::chown (state.getFullPathName().toRawUTF8(), other_user::uid, other_user::gid), 0);
    ASSERT_EQ (::chmod (state.getFullPathName().toRawUTF8(), 0700), 0);
    const auto theirs = shared.getChildFile ("theirs.bin");
    theirs.replaceWithText ("not yours");
    ASSERT_EQ (::chmod (theirs.getFullPathName().toRawUTF8(), 0444), 0);

    const auto run = bench.runBytes ({ "read", "0", "4K", path (theirs) }, true, state);
    EXPECT_EQ (run.exitCode, 9) << run;
    EXPECT_TRUE (run.err.contains ("can't write " + theirs.getFullPathName())) << run;
    EXPECT_EQ (theirs.loadFileAsString(), "not yours");
    EXPECT_EQ (bench.instruments[0]->record().connections, 0u);
    shared.deleteRecursively();
}

// A read whose OUT is a new name or the user's own file still works and keeps the file's mode.
TEST (TerminalLocalInputs, ReadReplacesTheUsersOwnFileKeepingItsMode)
{
    Bench bench;
    auto& instrument = bench.addInstrument (instant());
    const auto out = bench.file ("mine.bin");
    out.replaceWithText ("old");
    ASSERT_EQ (::chmod (out.getFullPathName().toRawUTF8(), 0640), 0);
    const auto run = bench.run ({ "read", "0", "4K", out.getFullPathName() });
    EXPECT_EQ (run.exitCode, 0) << run;
    EXPECT_TRUE (bytesOf (out) == instrument.readFlash (0, 0x1000));
    EXPECT_EQ (modeOf (out), 0640u);
    // Nothing is left beside it.
    EXPECT_EQ (bench.file ("").findChildFiles (juce::File::findFiles, false, ".mine.bin*").size(), 0);
}

TEST (TerminalLocalInputs, WellFormedUtf8)
{
    const std::vector<std::pair<std::string, bool>> cases {
        { "", true }, { "plain", true }, { "K\xc3\xa4se", true }, { "\xe2\x82\xac", true }, { "\xf0\x9f\x8e\xb9", true },
        { "\xef\xbf\xbf", true }, { "\xf4\x8f\xbf\xbf", true },
        { "\xed", false },              // cut short
        { "1\xed", false },
        { "\xc0\xaf", false },          // overlong
        { "\xe0\x80\xaf", false },
        { "\xf0\x80\x80\xaf", false },
        { "\xed\xa0\x80", false },      // a surrogate
        { "\xf4\x90\x80\x80", false },  // past U+10FFFF
        { "\xff", false }, { "\x80", false }, { "\xc3", false }, { "\xe2\x82", false }, { "\xc3\x28", false },
    };
    for (const auto& [bytes, wellFormed] : cases)
        EXPECT_EQ (utf8::isWellFormed (bytes.data(), bytes.size()), wellFormed) << utf8::escaped (bytes.data(), bytes.size());
}
