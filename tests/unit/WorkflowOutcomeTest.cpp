// How the workflow's operations end, as values: the terminal tool's exit codes follow from the
// ending alone, so the words a view shows for a status never change them.
#include "WorkflowBench.h"

#include "cli/ExitForOutcome.h"
#include "devicelink/BuiltInData.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace workflowtest;

namespace
{
// Every reason, the exit code the terminal gives for it, and whether the window shows a status.
struct ReasonRow
{
    Status reason;
    cli::Exit exit;
    bool hasStatus;
};

const ReasonRow reasonTable[] = {
    { Status::none, cli::Exit::ok, false },
    { Status::connecting, cli::Exit::ok, true },
    { Status::connected, cli::Exit::ok, true },
    { Status::updating, cli::Exit::ok, true },
    { Status::completed, cli::Exit::ok, true },
    { Status::deviceNotFound, cli::Exit::noInstrument, true },
    { Status::portsDenied, cli::Exit::noInstrument, true },
    { Status::identityError, cli::Exit::deviceFailure, true },
    { Status::noFolder, cli::Exit::localFiles, true },
    { Status::noDriverFits, cli::Exit::deviceFailure, false },
    { Status::readFileNotMade, cli::Exit::localFiles, true },
    { Status::filesDiffer, cli::Exit::deviceFailure, true },
    { Status::lockNotCreated, cli::Exit::localFiles, true },
    { Status::lockNotDeleted, cli::Exit::localFiles, true },
    { Status::disconnected, cli::Exit::disconnected, true },
    { Status::sourceNotOpened, cli::Exit::localFiles, true },
    { Status::flashFailed, cli::Exit::deviceFailure, true },
    { Status::jobRefused, cli::Exit::deviceFailure, true },
    { Status::updateFailed, cli::Exit::deviceFailure, true },
    { Status::badSize, cli::Exit::fileRefused, true },
    { Status::tooLarge, cli::Exit::fileRefused, true },
    { Status::notSupported, cli::Exit::fileRefused, true },
    { Status::modified, cli::Exit::fileRefused, true },
    { Status::otherInstrument, cli::Exit::pendingUpdate, true },
    { Status::damagedRecord, cli::Exit::pendingUpdate, true },
    { Status::notUpdated, cli::Exit::pendingUpdate, true },
    { Status::settingsMissing, cli::Exit::pendingUpdate, true },
    { Status::onlyJournalFile, cli::Exit::pendingUpdate, false },
    { Status::busy, cli::Exit::cancelled, false },
    { Status::declined, cli::Exit::cancelled, false },
};

// The exit code is a function of the ending: there is no text to pass it.
static_assert (! std::is_invocable_v<decltype (&cli::exitFor), juce::String>);

juce::String otherWords (const juce::String& text)
{
    return text.isEmpty() ? text : "[reworded] " + juce::String (text.hashCode64());
}
} // namespace

TEST (WorkflowOutcome, EveryReasonHasOneTextAndOneExitCode)
{
    juce::StringArray texts;
    for (const auto& row : reasonTable)
    {
        const juce::String text = statusText (row.reason);
        EXPECT_EQ (cli::exitFor (endingOf (row.reason)), row.exit) << text;
        EXPECT_EQ (text.isNotEmpty(), row.hasStatus) << static_cast<int> (row.reason);
        // The terminal's result says what the window would show, or words of its own.
        EXPECT_TRUE (cli::messageFor ({ Operation::update, endingOf (row.reason), row.reason }).isNotEmpty());
        if (text.isNotEmpty())
        {
            EXPECT_EQ (cli::messageFor ({ Operation::update, endingOf (row.reason), row.reason }), text);
            EXPECT_FALSE (texts.contains (text)) << text << " stands for two reasons";
            texts.add (text);
        }
    }
    // The failures the link reports map onto reasons of their own; one it does not know is a
    // failure, never a success.
    EXPECT_EQ (statusOfFailure (FailureReason::NoResponse), Status::disconnected);
    EXPECT_EQ (statusOfFailure (FailureReason::FilesDiffer), Status::filesDiffer);
    EXPECT_EQ (cli::exitFor (endingOf (statusOfFailure (99))), cli::Exit::deviceFailure);
}

// The same operations, once in a view that shows the system's texts and once in one that words
// every status otherwise: the outcomes, and so the exit codes, are the same.
TEST (WorkflowOutcome, ARewordedStatusChangesNoExitCode)
{
    struct Scenario
    {
        const char* name;
        std::function<void (Bench&)> run;
        cli::Exit exit;
    };
    const auto ready = [] (Bench& b)
    {
        b.identity().deviceIdBytes = bytes12 ("TALVEK DM-10");
        b.identity().deviceTagBytes = bytes12 ("T1");
        b.identity().identityRead = true;
        b.inside().workDriver = { BuiltInData::detectionDrivers()[2].data, 4096 };
        ASSERT_TRUE (Recovery::prepareFolder (b.state.folder).wasOk());
    };
    const auto image = [] (Bench& b, std::size_t size, const char* id)
    {
        ImageSpec spec;
        spec.size = size;
        spec.id = bytes12 (id);
        return writeImage (b.state.scratch().getChildFile ("update.bin"), makeImage (spec));
    };
    const std::vector<Scenario> scenarios {
        { "a file of another model", [&] (Bench& b) { ready (b); b.choose (image (b, 0x40000, "OTHER MODEL")); },
          cli::Exit::fileRefused },
        { "a file of a wrong size", [&] (Bench& b) { ready (b); b.choose (image (b, 0x30000, "TALVEK DM-10")); b.execute(); },
          cli::Exit::fileRefused },
        { "no to the update", [&] (Bench& b) { ready (b); b.choose (image (b, 0x40000, "TALVEK DM-10")); b.execute (false); },
          cli::Exit::cancelled },
        { "another unit's update pending",
          [&] (Bench& b)
          {
              ready (b);
              b.identity().pendingUpdate = PendingUpdate::otherInstrument;
              b.choose (image (b, 0x40000, "TALVEK DM-10"));
          },
          cli::Exit::pendingUpdate },
        { "no identity", [&] (Bench& b) { b.handle (MessageCode::VersionInfo, 0, 0, 0, errorRecord()); },
          cli::Exit::deviceFailure },
        { "the cable pulled", [&] (Bench& b) { ready (b); b.handle (MessageCode::JobFinished, 1, FailureReason::NoResponse); },
          cli::Exit::disconnected },
        { "a backup file not made",
          [&] (Bench& b) { ready (b); b.handle (MessageCode::JobFinished, 1, FailureReason::ReadFileNotMade); },
          cli::Exit::localFiles },
    };

    for (const auto& scenario : scenarios)
    {
        std::vector<WorkflowOutcome> ends[2];
        juce::String shown[2];
        for (int reworded = 0; reworded < 2; ++reworded)
        {
            Bench bench;
            bench.view.reword = reworded != 0 ? otherWords : nullptr;
            scenario.run (bench);
            ends[reworded] = bench.view.outcomes;
            shown[reworded] = bench.status();
        }
        ASSERT_FALSE (ends[0].empty()) << scenario.name;
        ASSERT_EQ (ends[0].size(), ends[1].size()) << scenario.name;
        EXPECT_EQ (ends[0].back().reason, ends[1].back().reason) << scenario.name;
        EXPECT_EQ (cli::exitFor (ends[0].back().ending), scenario.exit) << scenario.name;
        EXPECT_EQ (cli::exitFor (ends[1].back().ending), scenario.exit) << scenario.name;
        // Where the ending shows as the status, the two windows read differently.
        if (shown[0] == statusText (ends[0].back().reason))
        {
            EXPECT_NE (shown[0], shown[1]) << scenario.name;
        }
    }
}
