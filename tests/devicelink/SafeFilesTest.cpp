// The files the jobs open: regular files only, a FIFO never waited on, a destination never
// reached through a link. FIFOs, device nodes and silently followed links are POSIX things:
// on Windows only the directory and the missing file are left to refuse.

#include "devicelink/SafeFiles.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <vector>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

namespace
{
class SafeFilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = makeScratchFolder ("talvek-safe-files");
        regular = folder.getChildFile ("regular.bin");
        ASSERT_TRUE (regular.replaceWithText ("content"));
       #if ! JUCE_WINDOWS
        fifo = folder.getChildFile ("fifo");
        ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
        link = folder.getChildFile ("link.bin");
        ASSERT_TRUE (regular.createSymbolicLink (link, true));
       #endif
        directory = folder.getChildFile ("folder");
        ASSERT_TRUE (directory.createDirectory());
    }
    void TearDown() override { folder.deleteRecursively(); }

    juce::File folder, regular, fifo, link, directory;
};
} // namespace

TEST_F (SafeFilesTest, OnlyRegularFilesAreRead)
{
    juce::String why;
    auto in = SafeFiles::openForReading (regular, &why);
    ASSERT_NE (in, nullptr) << why;
    EXPECT_EQ (in->getTotalLength(), 7);
    EXPECT_EQ (in->readEntireStreamAsString(), "content");

    // A link to a regular file is read (an update file may well be one); anything that is not
    // a regular file is refused at once, a FIFO without a writer included.
    std::vector<std::pair<const char*, juce::File>> refused = {
        { "a directory", directory },
        { "nothing", folder.getChildFile ("missing") },
    };
   #if ! JUCE_WINDOWS
    EXPECT_NE (SafeFiles::openForReading (link), nullptr);
    refused.push_back ({ "a FIFO", fifo });
    refused.push_back ({ "a device node", juce::File ("/dev/null") });
   #endif
    for (const auto& [what, file] : refused)
    {
        SCOPED_TRACE (what);
        why.clear();
        EXPECT_EQ (SafeFiles::openForReading (file, &why), nullptr);
        EXPECT_TRUE (why.isNotEmpty());
    }
}

TEST_F (SafeFilesTest, DestinationsAreRegularFilesReachedDirectly)
{
    // A new file is made; an old one starts empty.
    for (const auto& file : { folder.getChildFile ("new.bin"), regular })
    {
        auto out = SafeFiles::createForWriting (file);
        ASSERT_NE (out, nullptr) << file.getFullPathName();
        EXPECT_TRUE (out->write ("abc", 3));
        out.reset();
        EXPECT_EQ (file.loadFileAsString(), "abc");
    }

    ASSERT_TRUE (regular.replaceWithText ("kept"));
    std::vector<std::pair<const char*, juce::File>> refused = { { "a directory", directory } };
   #if ! JUCE_WINDOWS
    refused.push_back ({ "a link planted where the file belongs", link });
    refused.push_back ({ "a FIFO", fifo });
    refused.push_back ({ "a device node", juce::File ("/dev/null") });
   #endif
    for (const auto& [what, file] : refused)
    {
        SCOPED_TRACE (what);
        juce::String why;
        EXPECT_EQ (SafeFiles::createForWriting (file, &why), nullptr);
        EXPECT_TRUE (why.isNotEmpty());
    }
    EXPECT_EQ (regular.loadFileAsString(), "kept") << "written through the link";
}
