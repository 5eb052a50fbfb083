// The update history file: appended entries come back in order, and a line cut part way by a
// crash spoils neither the entries before it nor the next one.
#include "support/ScratchFolder.h"
#include "workflow/UpdateHistory.h"

#include <gtest/gtest.h>

namespace
{
UpdateHistoryEntry entry (const char* event, const char* outcome = "")
{
    UpdateHistoryEntry e;
    e.time = "2026-12-11T07:00:00.000Z";
    e.event = event;
    e.port = "usb midi";
    e.identity = "TALVEK DM-10";
    e.identityHex = "54414c56454b20444d2d3130";
    e.file = "/updates/u.bin";
    e.fileBytes = 262144;
    e.fileSha256 = juce::String::repeatedString ("ab", 32);
    e.script = "B";
    e.outcome = outcome;
    return e;
}

void appendRaw (const juce::File& file, const char* bytes)
{
    juce::FileOutputStream out (file);
    ASSERT_TRUE (out.openedOk());
    out.writeText (bytes, false, false, nullptr);
}
} // namespace

TEST (UpdateHistory, EntriesComeBackInOrderAndACutLineIsSkipped)
{
    const auto folder = makeScratchFolder ("talvek-history");
    const auto file = folder.getChildFile (UpdateHistory::fileName);
    EXPECT_TRUE (UpdateHistory::read (file).entries.empty()) << "no file: an empty history";

    ASSERT_TRUE (UpdateHistory::append (file, entry ("started")).wasOk());
    ASSERT_TRUE (UpdateHistory::append (file, entry ("ended", "Update completed successfully.")).wasOk());
    // A power cut in the middle of the next line: it ends without its closing brace and newline.
    appendRaw (file, "{\"time\": \"2026-12-11T07:01:00.000Z\", \"event\": \"sta");
    ASSERT_TRUE (UpdateHistory::append (file, entry ("started")).wasOk());
    // Cut right after a whole object: the line is complete, only its newline is missing.
    appendRaw (file, juce::JSON::toString (entry ("ended", "The device has no response.").toVar(), true).toRawUTF8());
    ASSERT_TRUE (UpdateHistory::append (file, entry ("started")).wasOk());
    appendRaw (file, "\n\nnot json at all\n");

    const auto contents = UpdateHistory::read (file);
    ASSERT_EQ (contents.entries.size(), 5u);
    EXPECT_EQ (contents.damagedLines, 2);
    const char* events[] = { "started", "ended", "started", "ended", "started" };
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ (contents.entries[i].event, events[i]) << i;
    EXPECT_EQ (contents.entries[1].outcome, "Update completed successfully.");
    EXPECT_EQ (contents.entries[3].outcome, "The device has no response.");
    const auto& e = contents.entries[4];
    EXPECT_EQ (e.port, "usb midi");
    EXPECT_EQ (e.identityHex, "54414c56454b20444d2d3130");
    EXPECT_EQ (e.fileBytes, 262144);
    EXPECT_EQ (e.fileSha256, juce::String::repeatedString ("ab", 32));
    EXPECT_EQ (e.script, "B");
    folder.deleteRecursively();
}

TEST (UpdateHistory, AnUnwritableFileIsReported)
{
    const auto folder = makeScratchFolder ("talvek-history");
    const auto file = folder.getChildFile (UpdateHistory::fileName);
    ASSERT_TRUE (file.createDirectory().wasOk()); // a folder where the file should be
    EXPECT_TRUE (UpdateHistory::append (file, entry ("started")).failed());
    folder.deleteRecursively();
}
