// The rules an update file must meet: identity and tag against the instrument, size, markers,
// and what the check logs.
#include "WorkflowBench.h"

#include "devicelink/BuiltInData.h"

#include "messages/LogPrinter.h"
#include "workflow/UpdateFileCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

using namespace workflowtest;

namespace
{
const Bytes12 deviceId = bytes12 ("TALVEK DM-10");
const Bytes12 deviceTag = bytes12 ("T1");

class FileCheck : public ::testing::Test
{
protected:
    juce::File write (const char* name, const ImageSpec& spec)
    {
        return writeImage (state.scratch().getChildFile (name), makeImage (spec));
    }

    ScopedStateFolder state;
};
} // namespace

TEST_F (FileCheck, IdentityAndTag)
{
    ImageSpec wrongId;
    wrongId.id = bytes12 ("TALVEK DM-11");
    ImageSpec big40;
    big40.size = 40 * 0x40000;
    ImageSpec big40WrongTag = big40;
    big40WrongTag.tag = { 'T', '2' };
    ImageSpec big39WrongTag = big40WrongTag;
    big39WrongTag.size = 39 * 0x40000;
    ImageSpec tooShortForId;
    tooShortForId.size = 0x1FFF8; // ends inside the identity bytes

    struct Case
    {
        const char* what;
        ImageSpec spec;
        bool matches;
    };
    const Case cases[] = {
        { "256 KiB with the instrument's identity", ImageSpec {}, true },
        { "identity differs", wrongId, false },
        { "40 x 256 KiB with the instrument's tag", big40, true },
        { "40 x 256 KiB with another tag", big40WrongTag, false },
        { "39 x 256 KiB: the tag is not compared", big39WrongTag, true },
        { "too short to hold the identity", tooShortForId, false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (UpdateFile::matchesInstrument (write ("image.bin", c.spec), deviceId, deviceTag), c.matches)
            << c.what;

    EXPECT_FALSE (UpdateFile::matchesInstrument (state.scratch().getChildFile ("missing.bin"), deviceId, deviceTag));

    // A path that no job could carry is refused rather than cut.
    const auto deep = state.scratch().getChildFile (juce::String::repeatedString ("d", 250)).getChildFile ("image.bin");
    EXPECT_FALSE (UpdateFile::matchesInstrument (writeImage (deep, makeImage ({})), deviceId, deviceTag));
}

TEST_F (FileCheck, SizeMarkersAndLog)
{
    ImageSpec firstByte;
    firstByte.first = 0x03;
    ImageSpec noMarker;
    noMarker.marker = false;
    ImageSpec small;
    small.size = 0x3F000;
    ImageSpec odd;
    odd.size = 0x50000;
    ImageSpec large;
    large.size = 0x80000;

    struct Case
    {
        const char* what;
        ImageSpec spec;
        UpdateFileCheck expected;
        const char* logLine; // null: none of the size lines
    };
    const Case cases[] = {
        { "sound 256 KiB file", ImageSpec {}, UpdateFileCheck::ok, nullptr },
        { "sound 512 KiB file", large, UpdateFileCheck::ok, nullptr },
        { "first byte not 02h", firstByte, UpdateFileCheck::modified, nullptr },
        { "no BD marker", noMarker, UpdateFileCheck::modified, nullptr },
        { "below 256 KiB", small, UpdateFileCheck::badSize, "File too small!\n" },
        { "not a multiple of 256 KiB", odd, UpdateFileCheck::badSize, "File length must be an integer multiple of 256k!\n" },
    };

    for (const auto& c : cases)
    {
        LogRecorder view;
        CLogPrinter log;
        log.setEditor (&view);
        juce::int64 size = 0;
        EXPECT_EQ (UpdateFile::check (write ("image.bin", c.spec), log, size), c.expected) << c.what;
        EXPECT_EQ (size, static_cast<juce::int64> (c.spec.size)) << c.what;
        drain();
        const auto text = view.all();
        EXPECT_TRUE (text.startsWith ("File version:")) << c.what;
        if (c.logLine != nullptr)
        {
            EXPECT_TRUE (text.endsWith (c.logLine)) << c.what;
        }
        else
        {
            EXPECT_FALSE (text.contains ("File too small!") || text.contains ("File length must")) << c.what;
        }
        log.setEditor (nullptr);
    }
}

TEST_F (FileCheck, VersionTextIsLoggedInRed)
{
    LogRecorder view;
    CLogPrinter log;
    log.setEditor (&view);
    juce::int64 size = 0;
    UpdateFile::check (write ("image.bin", {}), log, size);

    // A second byte of 0 ends the text after one character.
    auto image = makeImage ({});
    image[1] = 0;
    UpdateFile::check (writeImage (state.scratch().getChildFile ("short.bin"), image), log, size);

    // A file that vanished reads as "error" and size 0.
    UpdateFile::check (state.scratch().getChildFile ("gone.bin"), log, size);
    EXPECT_EQ (size, 0);
    drain();
    log.setEditor (nullptr);

    std::vector<LogRecorder::Run> versions;
    for (const auto& run : view.runs)
        if (run.colour == 0xFFFF0000)
            versions.push_back (run);
    ASSERT_EQ (versions.size(), 3u);
    EXPECT_EQ (versions[0].text, juce::String::charToString (0x02) + "v1.07\n");
    EXPECT_EQ (versions[1].text, juce::String::charToString (0x02) + "\n");
    EXPECT_EQ (versions[2].text, "error\n");
    EXPECT_TRUE (view.all().endsWith ("error\nFile too small!\n"));
    EXPECT_EQ (view.runs.back().colour, 0xFF000000u); // back to black after the version
}

//==============================================================================================
// File... on the workflow.


namespace
{
class FileChoice : public ::testing::Test
{
protected:
    FileChoice()
    {
        bench.identity().deviceIdBytes = deviceId;
        bench.identity().identityRead = true;
        bench.inside().workDriver = { BuiltInData::detectionDrivers()[2].data, 4096 }; // 64 MiB
        bench.identity().deviceTagBytes = deviceTag;
        bench.view.status = "Device connected.";
        bench.view.fileEnabled = true;
    }

    juce::File write (const char* name, const ImageSpec& spec)
    {
        return writeImage (bench.state.scratch().getChildFile (name), makeImage (spec));
    }

    Bench bench;
};
} // namespace

TEST_F (FileChoice, AcceptedFileEnablesExecute)
{
    bench.choose (write ("good.bin", {}));
    EXPECT_EQ (bench.view.choosers, juce::StringArray ("Select... *.bin;*.rom"));
    EXPECT_TRUE (bench.view.messages.isEmpty());
    EXPECT_TRUE (bench.view.executeEnabled);
    EXPECT_TRUE (bench.identity().updateFileAccepted);
    EXPECT_EQ (bench.status(), "Device connected.");
    EXPECT_EQ (bench.view.fileName, "good.bin");
    EXPECT_EQ (bench.inside().updateFileSize, 0x40000);
    drain();
    EXPECT_TRUE (bench.log.all().contains ("File version:"));
}

TEST_F (FileChoice, ModifiedFileIsAcceptedAndReportedAtTheNextIdentityRecord)
{
    ImageSpec spec;
    spec.size = 0x80000;
    spec.first = 0x01;
    bench.choose (write ("odd.rom", spec));
    EXPECT_TRUE (bench.view.executeEnabled);
    EXPECT_EQ (bench.status(), "Device connected.");

    bench.identity().versionReadPhase = 2;
    bench.handle (MessageCode::VersionInfo, 0, 0, 0, record ({ 'T', '1' }));
    EXPECT_EQ (bench.status(), "The update file is modified!");
}

TEST_F (FileChoice, RejectedAfterAcceptedStaysLocked)
{
    bench.choose (write ("good.bin", {}));
    ASSERT_TRUE (bench.view.executeEnabled);

    ImageSpec other;
    other.id = bytes12 ("TALVEK DM-20");
    const auto rejected = write ("other.bin", other);
    bench.choose (rejected);
    ASSERT_EQ (bench.view.messages.size(), 1);
    EXPECT_EQ (bench.view.messages[0], "Message: The selected file is not supported.");
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_FALSE (bench.identity().updateFileAccepted);
    EXPECT_EQ (bench.view.fileName, "other.bin");
    EXPECT_EQ (bench.w().updateFile(), rejected.getFullPathName());

    bench.handle (MessageCode::OperationState, 1);
    EXPECT_FALSE (bench.view.executeEnabled);
}

TEST_F (FileChoice, TagDecidesForLongFilesOnly)
{
    ImageSpec spec;
    spec.tag = { 'T', '9' };
    spec.size = 39 * 0x40000;
    bench.choose (write ("39.bin", spec));
    EXPECT_TRUE (bench.view.messages.isEmpty());
    spec.size = 40 * 0x40000;
    bench.choose (write ("40.bin", spec));
    EXPECT_EQ (bench.view.messages.size(), 1);
    EXPECT_FALSE (bench.view.executeEnabled);
}

TEST_F (FileChoice, CancelChangesNothing)
{
    bench.choose (write ("good.bin", {}));
    const auto path = bench.w().updateFile();
    bench.choose (juce::File());
    EXPECT_EQ (bench.w().updateFile(), path);
    EXPECT_EQ (bench.view.fileName, "good.bin");
    EXPECT_TRUE (bench.view.executeEnabled);
    EXPECT_TRUE (bench.view.messages.isEmpty());
}

// A file is matched only against an identity that was read: one still being read is all
// zeros (which a file could carry), one whose read failed is nothing.
TEST_F (FileChoice, NoIdentityReadNoFile)
{
    bench.identity().identityRead = false;
    bench.identity().versionReadPhase = 1;
    bench.handle (MessageCode::VersionInfo, 0, 0, 0, std::make_unique<std::u16string> (u"error"));
    EXPECT_EQ (bench.status(), "Someting error when getting version from device.");

    bench.choose (write ("good.bin", {}));
    EXPECT_EQ (bench.view.messages, juce::StringArray ("Message: Someting error when getting version from device."));
    EXPECT_FALSE (bench.identity().updateFileAccepted);
    EXPECT_FALSE (bench.view.executeEnabled);
    bench.execute (true);
    EXPECT_FALSE (bench.w().isUpdating());
}

// A file the detected flash cannot hold is refused when it is chosen, before anything could be
// erased; a FIFO or a folder picked in the chooser is refused at once instead of freezing the
// window on its open.
TEST_F (FileChoice, FilesThatCannotBeUsedAreRefusedAtTheCheck)
{
    bench.inside().workDriver = { BuiltInData::detectionDrivers()[0].data, 4096 }; // a 32 MiB flash
    const auto big = write ("big.bin", {});
    {
        juce::FileOutputStream out (big);
        ASSERT_TRUE (out.openedOk());
        ASSERT_TRUE (out.setPosition (0x9E0000));
        ASSERT_TRUE (out.write ("T1", 2));
        out.flush();
    }
    ASSERT_TRUE (big.getSize() < 0x2000000); // the tag written; now past the flash end, sparse
    std::filesystem::resize_file (big.getFullPathName().toStdString(), 0x2000000 + 0x40000);

    bench.choose (big);
    EXPECT_EQ (bench.view.messages, juce::StringArray ("Message: The update file is larger than the flash of the device."));
    EXPECT_EQ (bench.status(), "The update file is larger than the flash of the device.");
    EXPECT_FALSE (bench.identity().updateFileAccepted);
    EXPECT_FALSE (bench.view.executeEnabled);

    // The same file on a 64 MiB flash fits.
    bench.view.messages.clear();
    bench.inside().workDriver = { BuiltInData::detectionDrivers()[2].data, 4096 };
    bench.choose (big);
    EXPECT_TRUE (bench.view.messages.isEmpty());
    EXPECT_TRUE (bench.identity().updateFileAccepted);

    const auto folder = bench.state.scratch().getChildFile ("folder.bin");
    ASSERT_TRUE (folder.createDirectory());
    std::vector<juce::File> unsupported { folder };
   #if ! JUCE_WINDOWS
    const auto fifo = bench.state.scratch().getChildFile ("fifo.bin");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    unsupported.push_back (fifo);
   #endif
    for (const auto& file : unsupported)
    {
        SCOPED_TRACE (file.getFileName());
        bench.view.messages.clear();
        bench.choose (file); // returns: no open waits for a writer
        EXPECT_EQ (bench.view.messages, juce::StringArray ("Message: The selected file is not supported."));
        EXPECT_FALSE (bench.identity().updateFileAccepted);
        EXPECT_FALSE (bench.view.executeEnabled);
    }
}
