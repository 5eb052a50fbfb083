// talvek-update, the real binary, against emulated instruments: what it finds, checks, writes
// and reads, and the exit code of each way a run can end.

#include "CliRun.h"

#include "instance/InstanceLock.h"
#include "cli/ExitCode.h"

#include <gtest/gtest.h>

#include <juce_cryptography/juce_cryptography.h>

#include <regex>
#include <sys/stat.h>

using namespace clitest;

namespace
{
emu::Identity identityNamed (const char* text, const char* tag = "T1")
{
    emu::Identity identity;
    for (std::size_t i = 0; i < identity.id.size() && text[i] != 0; ++i)
        identity.id[i] = static_cast<std::uint8_t> (text[i]);
    identity.tag.assign (tag, tag + std::strlen (tag));
    return identity;
}

// Changes bytes of a file in place.
void patch (const juce::File& file, juce::int64 at, std::vector<std::uint8_t> bytes)
{
    juce::FileOutputStream out (file);
    ASSERT_TRUE (out.openedOk());
    ASSERT_TRUE (out.setPosition (at));
    out.write (bytes.data(), bytes.size());
}

void truncate (const juce::File& file, juce::int64 size)
{
    juce::FileOutputStream out (file);
    ASSERT_TRUE (out.openedOk());
    ASSERT_TRUE (out.setPosition (size));
    ASSERT_TRUE (out.truncate().wasOk());
}
} // namespace

//==============================================================================================
TEST (TerminalList, DescribesTheOneInstrument)
{
    Bench bench;
    bench.addInstrument (instant());
    const auto run = bench.run ({ "list" });
    EXPECT_EQ (run.exitCode, 0) << run;
    for (const auto* expected : { "link mode  FS", "S29GL512_S (64 MiB), MCU ZKT828", "TALVEK DM-10",
                                  "54414c56454b20444d2d3130", "tag        T1", "5431ffff", "1 instrument found." })
        EXPECT_TRUE (run.out.contains (expected)) << expected << "\n" << run;
    EXPECT_TRUE (run.out.contains (bench.socket (0))) << run;
}

TEST (TerminalList, TwoInstrumentsAreListedButOnlyOneIsUpdatedWhenChosen)
{
    Bench bench;
    bench.addInstrument (instant());
    auto hs = instant();
    hs.mode = emu::LinkMode::HS;
    hs.chip = emu::FlashChip::S29GL256_S;
    const auto dm20 = identityNamed ("TALVEK DM-20", "T2");
    bench.addInstrument (hs, dm20);

    const auto listed = bench.run ({ "list" });
    EXPECT_EQ (listed.exitCode, 0) << listed;
    EXPECT_TRUE (listed.out.contains ("TALVEK DM-10") && listed.out.contains ("TALVEK DM-20")) << listed;
    EXPECT_TRUE (listed.out.contains ("link mode  HS") && listed.out.contains ("S29GL256_S")) << listed;
    EXPECT_TRUE (listed.out.contains ("2 instruments found.")) << listed;

    // Without --port nothing is touched, and both are named.
    const auto file = bench.writeUpdate ("dm20.bin", 0x40000, 5, dm20);
    const auto refused = bench.run ({ "update", file.getFullPathName(), "--yes" });
    EXPECT_EQ (refused.exitCode, 4) << refused;
    EXPECT_TRUE (refused.err.contains (bench.socket (0)) && refused.err.contains (bench.socket (1))) << refused;
    EXPECT_EQ (bench.instruments[1]->record().count (emu::EventKind::Erase), 0u);

    const auto one = bench.run ({ "list", "--port", bench.socket (1) });
    EXPECT_EQ (one.exitCode, 0) << one;
    EXPECT_TRUE (one.out.contains ("TALVEK DM-20") && ! one.out.contains ("TALVEK DM-10")) << one;

    const auto picked = bench.run ({ "update", file.getFullPathName(), "--yes", "--port", bench.socket (1) });
    EXPECT_EQ (picked.exitCode, 0) << picked;
    EXPECT_TRUE (bench.instruments[1]->readFlash (0, 0x40000) == bytesOf (file));
    EXPECT_EQ (bench.instruments[0]->record().count (emu::EventKind::Erase), 0u);
}

// Through a DIN MIDI cable a 4096-byte block takes 1.5 s: detection, the identity and a read
// still come out right, within the tool's waits.
TEST (TerminalList, WorksAtDinSpeed)
{
    Bench bench;
    auto config = instant();
    config.timing.linkBytesPerSecond = 3125;
    config.mode = emu::LinkMode::HS;
    auto& instrument = bench.addInstrument (config);

    const auto listed = bench.run ({ "list" });
    EXPECT_EQ (listed.exitCode, 0) << listed;
    EXPECT_TRUE (listed.out.contains ("TALVEK DM-10") && listed.out.contains ("link mode  HS")) << listed;

    const auto out = bench.file ("block.bin");
    const auto read = bench.run ({ "read", "1F000h", "4K", out.getFullPathName() });
    EXPECT_EQ (read.exitCode, 0) << read;
    EXPECT_TRUE (bytesOf (out) == instrument.readFlash (0x1F000, 0x1000));
}

//==============================================================================================
TEST (TerminalCheck, AcceptsOnlyAFileForThisInstrument)
{
    Bench bench;
    bench.addInstrument (instant());

    struct Case
    {
        const char* name;
        std::function<juce::File()> make;
        int exitCode;
        const char* text;
    };
    const std::vector<Case> cases {
        { "fits", [&] { return bench.writeUpdate ("fits.bin", 0x40000); }, 0, "Ready to program" },
        { "another instrument's",
          [&] { return bench.writeUpdate ("other.bin", 0x40000, 2, identityNamed ("TALVEK DM-99")); }, 5,
          "The selected file is not supported." },
        { "not a multiple of 256 KiB",
          [&] { auto f = bench.writeUpdate ("short.bin", 0x80000); truncate (f, 0x50000); return f; }, 5,
          "The size of the update file is not correct." },
        { "marker bytes changed",
          [&] { auto f = bench.writeUpdate ("marked.bin", 0x40000); patch (f, 0xFFF8, { 'X', 'X' }); return f; }, 5,
          "The update file is modified!" },
        { "larger than the flash",
          [&] { auto f = bench.writeUpdate ("huge.bin", 40 * 0x40000); truncate (f, 65 * 1024 * 1024); return f; }, 5,
          "larger than the flash" },
        { "missing", [&] { return bench.file ("none.bin"); }, 9, "can't read" },
        // Never waited on: a FIFO would hold the run for good.
        { "a FIFO",
          [&] { auto f = bench.file ("fifo.bin"); ::mkfifo (f.getFullPathName().toRawUTF8(), 0600); return f; }, 9,
          "can't read" },
    };
    for (const auto& c : cases)
    {
        const auto run = bench.run ({ "check", c.make().getFullPathName() });
        EXPECT_EQ (run.exitCode, c.exitCode) << c.name << "\n" << run;
        EXPECT_TRUE ((run.out + run.err).contains (c.text)) << c.name << "\n" << run;
    }
    EXPECT_EQ (bench.instruments[0]->record().count (emu::EventKind::Erase), 0u);
}

//==============================================================================================
TEST (TerminalUpdate, Writes256KiBAndKeepsTheInstrumentsOwnArea)
{
    Bench bench;
    auto& instrument = bench.addInstrument (instant());
    const auto ownArea = instrument.readFlash (0x40000, 0x20000);
    const auto file = bench.writeUpdate ("u.bin", 0x40000);

    const auto log = bench.file ("run.log");
    const auto run = bench.run ({ "update", file.getFullPathName(), "--yes", "--quiet", "--log", log.getFullPathName() });
    EXPECT_EQ (run.exitCode, 0) << run;
    EXPECT_EQ (run.out, "") << "--quiet prints nothing on success";
    // The log keeps the link's lines for support, and the outcome.
    const auto kept = log.loadFileAsString();
    EXPECT_TRUE (kept.contains ("log: Device Connected! Test MCU/Flash type.")) << kept;
    EXPECT_TRUE (kept.contains ("result: success (0) Update completed successfully.")) << kept;
    EXPECT_TRUE (instrument.readFlash (0, 0x40000) == bytesOf (file));
    EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);
    EXPECT_FALSE (bench.state().getChildFile ("zkt_update.journal").exists());
}

TEST (TerminalUpdate, Writes10MiBAndLeavesWhatLiesBeyond)
{
    Bench bench;
    auto& instrument = bench.addInstrument (instant());
    const std::vector<std::uint8_t> beyond { 'K', 'E', 'E', 'P' };
    instrument.writeFlash (0xA20000, beyond);
    const auto file = bench.writeUpdate ("u10.bin", 40 * 0x40000);

    const auto run = bench.run ({ "update", file.getFullPathName(), "--yes" });
    EXPECT_EQ (run.exitCode, 0) << run;
    const auto image = bytesOf (file);
    EXPECT_TRUE (instrument.readFlash (0, image.size()) == image);
    EXPECT_TRUE (instrument.readFlash (0xA20000, 4) == beyond);
}

// Cut part way (power, or the tool killed), a second run of the same command completes the
// update and writes the instrument's own area back.
TEST (TerminalUpdate, AnInterruptedUpdateIsCompletedByTheNextOne)
{
    for (const bool killTheTool : { false, true })
    {
        SCOPED_TRACE (killTheTool ? "tool killed" : "power lost");
        Bench bench;
        auto config = instant();
        if (! killTheTool)
            config.faults.push_back (*emu::parseFault ("power-loss@program-block:40"));
        auto& instrument = bench.addInstrument (config);
        const auto ownArea = instrument.readFlash (0x40000, 0x20000);
        const auto file = bench.writeUpdate ("u.bin", 0x40000);
        const juce::StringArray command { "update", file.getFullPathName(), "--yes" };

        if (killTheTool)
        {
            auto child = bench.start (command);
            ASSERT_TRUE (instrument.waitFor ([] (const emu::Record& r) { return r.programmed.size() >= 40; },
                                             std::chrono::seconds (60)));
            child->kill (SIGKILL);
            EXPECT_EQ (child->wait (10000).exitCode, 128 + SIGKILL);
        }
        else
        {
            const auto cut = bench.run (command);
            EXPECT_EQ (cut.exitCode, 7) << cut;
            instrument.powerOn();
        }
        ASSERT_NE (instrument.readFlash (0, 0x40000), bytesOf (file)) << "the cut came too late";

        // The area holds the built-in image, as any unit of the model would after such a cut:
        // --yes alone never takes it for this unit, and check says so alike.
        const auto left = instrument.readFlash (0, 0x60000);
        const auto checked = bench.run ({ "check", file.getFullPathName() });
        EXPECT_EQ (checked.exitCode, 8) << checked;
        EXPECT_TRUE (checked.err.contains ("--same-unit")) << checked;
        const auto refused = bench.run (command);
        EXPECT_EQ (refused.exitCode, 8) << refused;
        EXPECT_TRUE (refused.err.contains ("--same-unit")) << refused;
        EXPECT_TRUE (instrument.readFlash (0, 0x60000) == left);
        const auto listed = bench.run ({ "list", "--json" });
        EXPECT_TRUE (listed.out.contains ("\"pendingUpdate\": \"same-model\"")) << listed;

        const auto completed = bench.run ({ "update", file.getFullPathName(), "--yes", "--same-unit", "--json" });
        EXPECT_EQ (completed.exitCode, 0) << completed;
        EXPECT_TRUE (completed.out.contains ("\"sameUnitTaken\": true")) << completed;
        EXPECT_TRUE (instrument.readFlash (0, 0x40000) == bytesOf (file));
        EXPECT_TRUE (instrument.readFlash (0x40000, 0x20000) == ownArea);
    }
}

// Ctrl-C while the flash is written only warns; a second one stops the tool, and the next
// update completes the cut one.
TEST (TerminalUpdate, CtrlCWhileWritingWarnsFirst)
{
    Bench bench;
    auto& instrument = bench.addInstrument (instant());
    const auto file = bench.writeUpdate ("u10.bin", 40 * 0x40000);
    const juce::StringArray command { "update", file.getFullPathName(), "--yes" };

    auto child = bench.start (command);
    ASSERT_TRUE (instrument.waitFor ([] (const emu::Record& r) { return r.programmed.size() >= 20; }, std::chrono::seconds (60)));
    child->kill (SIGINT);
    const auto programmed = instrument.record().programmed.size();
    ASSERT_TRUE (instrument.waitFor ([&] (const emu::Record& r) { return r.programmed.size() >= programmed + 20; },
                                     std::chrono::seconds (60)))
        << "the first Ctrl-C stopped the update";
    EXPECT_TRUE (child->running());
    child->kill (SIGINT);
    const auto stopped = child->wait (30000);
    EXPECT_EQ (stopped.exitCode, 11) << stopped;
    EXPECT_TRUE (stopped.err.contains ("Press Ctrl-C again")) << stopped;
    ASSERT_NE (instrument.readFlash (0, 40 * 0x40000), bytesOf (file)) << "the update ended before the second Ctrl-C";

    // The whole-image script has erased the tag by now, so whether this is the same instrument
    // is asked; a check says so, and without a terminal or --yes nothing is written.
    const auto checked = bench.run ({ "check", file.getFullPathName() });
    EXPECT_EQ (checked.exitCode, 0) << checked;
    EXPECT_TRUE (checked.out.contains ("(update asks this)")) << checked;
    const auto unanswered = bench.run ({ "update", file.getFullPathName() });
    EXPECT_EQ (unanswered.exitCode, 8) << unanswered;

    const auto completed = bench.run (command);
    EXPECT_EQ (completed.exitCode, 0) << completed;
    EXPECT_TRUE (instrument.readFlash (0, 40 * 0x40000) == bytesOf (file));
}

//==============================================================================================
TEST (TerminalRead, CopiesFlashByteForByte)
{
    Bench bench;
    auto& instrument = bench.addInstrument (instant());
    struct Case
    {
        const char* start;
        const char* length;
        std::uint64_t address;
        std::size_t size;
    };
    for (const auto& c : { Case { "40000h", "128K", 0x40000, 0x20000 }, Case { "0x1FFF4", "12", 0x1FFF4, 12 },
                           Case { "0", "1M", 0, 0x100000 } })
    {
        const auto out = bench.file ("read.bin");
        const auto run = bench.run ({ "read", c.start, c.length, out.getFullPathName() });
        EXPECT_EQ (run.exitCode, 0) << c.start << "\n" << run;
        EXPECT_TRUE (bytesOf (out) == instrument.readFlash (c.address, c.size)) << c.start;
    }
    const auto past = bench.run ({ "read", "0x3FFF000", "8K", bench.file ("past.bin").getFullPathName() });
    EXPECT_EQ (past.exitCode, 2) << past;
    EXPECT_FALSE (bench.file ("past.bin").exists());
}

//==============================================================================================
TEST (TerminalExitCodes, EachFailureHasItsOwn)
{
    struct Case
    {
        const char* name;
        std::function<void (Bench&)> arrange; // instruments, faults, files
        std::function<juce::StringArray (Bench&)> command;
        int exitCode;
    };
    const auto update256 = [] (Bench& b) { return juce::StringArray { "update", b.writeUpdate ("u.bin", 0x40000).getFullPathName(), "--yes" }; };
    const auto withFault = [] (const char* fault)
    {
        return [fault] (Bench& b)
        {
            auto config = instant();
            config.faults.push_back (*emu::parseFault (fault));
            b.addInstrument (config);
        };
    };
    const auto one = [] (Bench& b) { b.addInstrument (instant()); };

    const std::vector<Case> cases {
        { "unknown option", one, [] (Bench&) { return juce::StringArray { "list", "--fast" }; }, 2 },
        { "update without a file", one, [] (Bench&) { return juce::StringArray { "update" }; }, 2 },
        { "no terminal and no --yes", one,
          [] (Bench& b) { return juce::StringArray { "update", b.writeUpdate ("u.bin", 0x40000).getFullPathName() }; }, 2 },
        { "nothing listens", [] (Bench& b) { b.addInstrument (instant()); b.instruments[0]->stop(); },
          [] (Bench&) { return juce::StringArray { "list" }; }, 3 },
        { "no such port", one, [] (Bench&) { return juce::StringArray { "list", "--port", "nowhere" }; }, 3 },
        { "two instruments", [] (Bench& b) { b.addInstrument (instant()); b.addInstrument (instant()); }, update256, 4 },
        { "two on one port", withFault ("second-instrument@frame:1,count=0"), update256, 4 },
        { "erase refused", withFault ("refuse@erase:1"), update256, 6 },
        { "read-back spoiled in HS",
          [] (Bench& b)
          {
              auto config = instant();
              config.mode = emu::LinkMode::HS;
              b.addInstrument (config);
              b.instruments[0]->clearRecord();
          },
          [] (Bench& b)
          {
              b.instruments[0]->injectFault (*emu::parseFault ("corrupt-read@read-block:70,count=0"));
              return juce::StringArray { "update", b.writeUpdate ("u.bin", 0x40000).getFullPathName(), "--yes" };
          },
          6 },
        { "cable pulled", withFault ("cable-pull@program-block:10"), update256, 7 },
        { "cable pulled while reading", withFault ("cable-pull@read-block:6"),
          [] (Bench& b) { return juce::StringArray { "read", "0", "32K", b.file ("r.bin").getFullPathName() }; }, 7 },
        // In HS nothing checks a block: only the second read can tell.
        { "one read spoiled in HS",
          [] (Bench& b)
          {
              auto config = instant();
              config.mode = emu::LinkMode::HS;
              config.faults.push_back (*emu::parseFault ("corrupt-read@read-block:5"));
              b.addInstrument (config);
          },
          [] (Bench& b) { return juce::StringArray { "read", "0", "32K", b.file ("r.bin").getFullPathName() }; }, 6 },
        { "log folder missing", one,
          [] (Bench& b) { return juce::StringArray { "list", "--log", b.file ("no/such/folder/log.txt").getFullPathName() }; }, 9 },
        { "read into a missing folder", one,
          [] (Bench& b) { return juce::StringArray { "read", "0", "4K", b.file ("no/such/x.bin").getFullPathName() }; }, 9 },
    };
    for (const auto& c : cases)
    {
        Bench bench;
        c.arrange (bench);
        const auto command = c.command (bench);
        const auto run = bench.run (command);
        EXPECT_EQ (run.exitCode, c.exitCode) << c.name << "\n" << run;
        EXPECT_TRUE (run.err.contains ("talvek-update:")) << c.name << ": a failure says why on stderr\n" << run;
        EXPECT_FALSE (bench.file ("r.bin").exists()) << c.name << ": a failed read leaves no file";
    }
}

// The window and the terminal tool share the per-user instance lock.
TEST (TerminalExitCodes, BusyWhileTheLockIsHeldAndCancelledWhenStopped)
{
    Bench bench;
    bench.addInstrument (instant());
    {
        InstanceLock lock (bench.state());
        ASSERT_EQ (lock.tryAcquire(), InstanceLock::Outcome::acquired);
        const auto busy = bench.run ({ "list" });
        EXPECT_EQ (busy.exitCode, 10) << busy;
        EXPECT_EQ (bench.instruments[0]->record().probes, 0u) << "the link was touched while the lock was held";
    }

    auto child = bench.start ({ "list" });
    juce::Thread::sleep (300);
    child->kill (SIGTERM);
    const auto stopped = child->wait (20000);
    EXPECT_EQ (stopped.exitCode, 11) << stopped;

    // An interrupted update of another instrument keeps this one from being written.
    auto& instrument = *bench.instruments[0];
    instrument.injectFault (*emu::parseFault ("power-loss@program-block:20"));
    const auto file = bench.writeUpdate ("u.bin", 0x40000);
    EXPECT_EQ (bench.run ({ "update", file.getFullPathName(), "--yes" }).exitCode, 7);
    const auto other = identityNamed ("TALVEK DM-20", "T2");
    instrument.generateContent (other);
    instrument.powerOn();
    const auto blocked = bench.run ({ "update", bench.writeUpdate ("o.bin", 0x40000, 3, other).getFullPathName(), "--yes" });
    EXPECT_EQ (blocked.exitCode, 8) << blocked;
    EXPECT_TRUE (blocked.err.contains ("another device")) << blocked;
}

TEST (TerminalExitCodes, HelpListsEveryCode)
{
    Bench bench;
    const auto help = bench.run ({ "--help" });
    EXPECT_EQ (help.exitCode, 0);
    for (const auto& info : cli::exitTable)
        EXPECT_TRUE (help.out.contains (juce::String (static_cast<int> (info.code)).paddedLeft (' ', 2) + "  " + info.name))
            << info.name << "\n" << help;
}

//==============================================================================================
TEST (TerminalJson, EveryLineIsAnObjectWithTheDocumentedFields)
{
    Bench bench;
    bench.addInstrument (instant());
    const auto file = bench.writeUpdate ("u.bin", 0x40000);

    for (const auto& command : { juce::StringArray { "list", "--json" },
                                 juce::StringArray { "update", file.getFullPathName(), "--yes", "--json", "--verbose" },
                                 juce::StringArray { "check", bench.file ("none.bin").getFullPathName(), "--json" } })
    {
        const auto run = bench.run (command);
        std::map<juce::String, int> types;
        juce::var last;
        for (const auto& line : run.outLines())
        {
            juce::var value;
            ASSERT_TRUE (juce::JSON::parse (line, value).wasOk()) << line;
            ASSERT_TRUE (value.isObject()) << line;
            const auto type = value["type"].toString();
            ++types[type];
            if (type == "event" || type == "log")
                EXPECT_TRUE (value["text"].isString()) << line;
            else if (type == "progress")
                EXPECT_TRUE (value["percent"].isInt() && int (value["percent"]) >= 0 && int (value["percent"]) <= 100) << line;
            else if (type == "instrument")
                for (const auto* field : { "port", "id", "linkMode", "mcu", "flash", "flashBytes", "identity", "identityHex",
                                           "tag", "tagHex", "pendingUpdate" })
                    EXPECT_TRUE (value.hasProperty (field)) << field << " in " << line;
            else
                EXPECT_EQ (type, "result") << line;
            last = value;
        }
        SCOPED_TRACE (command.joinIntoString (" "));
        EXPECT_EQ (types["result"], 1);
        EXPECT_EQ (last["type"].toString(), "result") << "the result is the last line";
        EXPECT_EQ (int (last["exitCode"]), run.exitCode);
        EXPECT_EQ (last["command"].toString(), command[0]);
        EXPECT_TRUE (last["outcome"].isString() && last["message"].isString());
    }
    const auto list = bench.run ({ "list", "--json" });
    EXPECT_TRUE (list.out.contains ("\"identityHex\": \"54414c56454b20444d2d3130\"")) << list;
    const auto update = bench.run ({ "update", file.getFullPathName(), "--yes", "--json" });
    EXPECT_TRUE (update.out.contains ("\"type\": \"progress\"")) << update;
    EXPECT_TRUE (update.out.contains ("\"outcome\": \"success\"")) << update;

    // Progress figures as people read them, a full bar at the end of a job that went through,
    // and a result that says what went where.
    const std::regex progressLine (R"(\{"type": "progress", "percent": \d+, "kibPerSecond": (null|\d+\.\d), "secondsLeft": (null|\d+)\})");
    juce::var lastProgress, result;
    for (const auto& line : update.outLines())
    {
        juce::var value;
        ASSERT_TRUE (juce::JSON::parse (line, value).wasOk());
        if (value["type"].toString() == "progress")
        {
            EXPECT_TRUE (std::regex_match (line.toStdString(), progressLine)) << line;
            lastProgress = value;
        }
        result = value;
    }
    EXPECT_EQ (int (lastProgress["percent"]), 100) << update;
    EXPECT_EQ (result["identity"].toString(), "TALVEK DM-10") << update;
    EXPECT_TRUE (result["port"].toString().isNotEmpty()) << update;
    EXPECT_EQ (juce::int64 (result["fileBytes"]), file.getSize()) << update;
    EXPECT_EQ (result["fileSha256"].toString(), juce::SHA256 (file).toHexString().removeCharacters (" ")) << update;
}

// Every update that started is in the history, with how it ended.
TEST (TerminalHistory, ListsEachUpdateWithItsFileAndOutcome)
{
    Bench bench;
    bench.addInstrument (instant());
    const auto file = bench.writeUpdate ("u.bin", 0x40000);
    const auto empty = bench.run ({ "history" });
    EXPECT_EQ (empty.exitCode, 0) << empty;
    EXPECT_TRUE (empty.out.contains ("No update recorded yet.")) << empty;

    ASSERT_EQ (bench.run ({ "update", file.getFullPathName(), "--yes", "--quiet" }).exitCode, 0);
    const auto run = bench.run ({ "history", "--json" });
    ASSERT_EQ (run.exitCode, 0) << run;
    std::vector<juce::var> entries;
    for (const auto& line : run.outLines())
    {
        juce::var value;
        ASSERT_TRUE (juce::JSON::parse (line, value).wasOk()) << line;
        if (value["type"].toString() == "history")
            entries.push_back (value);
    }
    ASSERT_EQ (entries.size(), 2u) << run;
    EXPECT_EQ (entries[0]["event"].toString(), "started");
    EXPECT_EQ (entries[1]["event"].toString(), "ended");
    EXPECT_EQ (entries[1]["outcome"].toString(), "Update completed successfully.");
    for (const auto& e : entries)
    {
        EXPECT_EQ (e["file"].toString(), file.getFullPathName());
        EXPECT_EQ (juce::int64 (e["fileBytes"]), file.getSize());
        EXPECT_EQ (e["fileSha256"].toString(), juce::SHA256 (file).toHexString().removeCharacters (" "));
        EXPECT_EQ (e["identity"].toString(), "TALVEK DM-10");
        EXPECT_EQ (e["script"].toString(), "B");
        EXPECT_TRUE (e["port"].toString().isNotEmpty());
    }
}

// Without a terminal, progress is a line at every tenth and always ends with the full bar.
TEST (TerminalUpdate, PlainProgressEndsAtAHundredPercent)
{
    Bench bench;
    bench.addInstrument (instant());
    const auto file = bench.writeUpdate ("u.bin", 0x40000);
    const auto run = bench.run ({ "update", file.getFullPathName(), "--yes" });
    ASSERT_EQ (run.exitCode, 0) << run;
    juce::String lastProgress;
    for (const auto& line : run.outLines())
        if (line.containsChar ('%'))
            lastProgress = line;
    EXPECT_TRUE (lastProgress.startsWith ("100%")) << run;
    EXPECT_TRUE (run.out.contains ("fileSha256  " + juce::SHA256 (file).toHexString().removeCharacters (" "))) << run;
}
