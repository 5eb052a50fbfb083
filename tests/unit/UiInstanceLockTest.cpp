// The lock that keeps a second copy of the tool off a state folder that one already uses.
#include "instance/InstanceLock.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

namespace
{
struct Folders
{
    Folders() : root (makeScratchFolder ("talvek-lock")) {}
    ~Folders() { root.deleteRecursively(); }

    juce::File make (const char* name) const
    {
        auto folder = root.getChildFile (name);
        EXPECT_TRUE (folder.createDirectory().wasOk());
        return folder;
    }

    const juce::File root;
};
} // namespace

TEST (InstanceLock, OneHolderPerFolderUntilReleased)
{
    Folders folders;
    const auto folder = folders.make ("state");

    InstanceLock first (folder);
    ASSERT_EQ (first.tryAcquire(), InstanceLock::Outcome::acquired) << first.getError();
    EXPECT_TRUE (first.isHeld());

    struct stat info {};
    ASSERT_EQ (::lstat (first.getFile().getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_EQ (info.st_mode & 0777, 0600u);

    {
        InstanceLock second (folder);
        EXPECT_EQ (second.tryAcquire(), InstanceLock::Outcome::heldByAnother);
        EXPECT_FALSE (second.isHeld());

        InstanceLock elsewhere (folders.make ("other-state"));
        EXPECT_EQ (elsewhere.tryAcquire(), InstanceLock::Outcome::acquired) << elsewhere.getError();

        first.release();
        EXPECT_EQ (second.tryAcquire(), InstanceLock::Outcome::acquired) << second.getError();
        EXPECT_EQ (first.tryAcquire(), InstanceLock::Outcome::heldByAnother);
    }

    // Destroying the holder lets go, too.
    EXPECT_EQ (first.tryAcquire(), InstanceLock::Outcome::acquired) << first.getError();
}

TEST (InstanceLock, ProgramsStartedByTheHolderDoNotKeepItHeld)
{
    Folders folders;
    const auto folder = folders.make ("state");

    InstanceLock holder (folder);
    ASSERT_EQ (holder.tryAcquire(), InstanceLock::Outcome::acquired) << holder.getError();

    // The framework starts helper programs (file choosers, for one); an inherited descriptor
    // would keep the lock after this copy quits.
    juce::ChildProcess helper;
    ASSERT_TRUE (helper.start (juce::StringArray { "sh", "-c", "echo up; exec sleep 60" }));
    char up[3] {};
    ASSERT_EQ (helper.readProcessOutput (up, 3), 3) << "the helper did not start"; // it runs its own code now
    holder.release();

    InstanceLock next (folder);
    EXPECT_EQ (next.tryAcquire(), InstanceLock::Outcome::acquired) << next.getError();
    helper.kill();
}

TEST (InstanceLock, FailsOnWhatItCannotTrust)
{
    Folders folders;
    const auto target = folders.root.getChildFile ("target");

    struct Case
    {
        const char* what;
        std::function<juce::File()> makeFolder;
    };
    const Case cases[] = {
        { "a link in place of the lock file", [&] {
              auto folder = folders.make ("link");
              EXPECT_TRUE (target.createSymbolicLink (folder.getChildFile (InstanceLock::fileName), true));
              return folder;
          } },
        { "a folder in place of the lock file", [&] {
              auto folder = folders.make ("folder");
              EXPECT_TRUE (folder.getChildFile (InstanceLock::fileName).createDirectory().wasOk());
              return folder;
          } },
        { "no state folder", [&] { return folders.root.getChildFile ("missing"); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        InstanceLock lock (c.makeFolder());
        EXPECT_EQ (lock.tryAcquire(), InstanceLock::Outcome::failed);
        EXPECT_FALSE (lock.isHeld());
        EXPECT_TRUE (lock.getError().contains (lock.getFile().getFullPathName())) << lock.getError();
    }
    EXPECT_FALSE (target.exists()) << "the link was followed";
}
