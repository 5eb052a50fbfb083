// The channel that carries a second launch's command line to the copy already running.
#include "app/InstanceChannel.h"
#include "support/OtherUser.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace
{
struct Received
{
    InstanceChannel::Receiver receiver()
    {
        return [this] (const juce::String& text)
        {
            onMessageThread = onMessageThread && juce::MessageManager::getInstance()->isThisTheMessageThread();
            texts.add (text);
        };
    }

    bool waitForCount (int count)
    {
        const auto end = juce::Time::getMillisecondCounter() + 10000;
        while (texts.size() < count && juce::Time::getMillisecondCounter() < end)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (20);
        return texts.size() >= count;
    }

    juce::StringArray texts;
    bool onMessageThread = true;
};

struct ChannelFolder
{
    ChannelFolder() : root (makeScratchFolder ("talvek-channel")) {}
    // The framework's recursive delete leaves socket files.
    ~ChannelFolder() { std::filesystem::remove_all (root.getFullPathName().toStdString()); }

    juce::File socket() const { return root.getChildFile (InstanceChannel::socketFileName); }

    const juce::File root;
};

sockaddr_un addressOf (const juce::File& file)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy (address.sun_path, file.getFullPathName().toRawUTF8(), sizeof (address.sun_path) - 1);
    return address;
}

// Runs `body` in a forked child that has become the other user and returns its exit status
// (or -1). The child runs system calls only: this process has threads.
template <typename Body>
pid_t startAsOtherUser (Body body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit (other_user::become() ? body() : 100);
    return pid;
}

int exitStatusOf (pid_t pid)
{
    int status = 0;
    if (pid <= 0 || ::waitpid (pid, &status, 0) != pid || ! WIFEXITED (status))
        return -1;
    return WEXITSTATUS (status);
}
} // namespace

TEST (InstanceChannel, CarriesTextsToTheListenerOnTheMessageThread)
{
    ChannelFolder folder;
    Received received;
    {
        InstanceChannel channel (folder.socket());
        const auto listening = channel.listen (received.receiver());
        ASSERT_TRUE (listening.wasOk()) << listening.getErrorMessage();

        const juce::String accented (juce::CharPointer_UTF8 ("one \xc3\xa9"));
        for (const auto& text : { accented, juce::String(), juce::String::repeatedString ("x", 100000) })
        {
            const auto sent = InstanceChannel::send (folder.socket(), text);
            EXPECT_TRUE (sent.wasOk()) << sent.getErrorMessage();
        }
        ASSERT_TRUE (received.waitForCount (3));
        EXPECT_EQ (received.texts[0], accented);
        EXPECT_EQ (received.texts[1], "");
        EXPECT_EQ (received.texts[2].length(), InstanceChannel::maxTextBytes); // the rest is cut off
        EXPECT_TRUE (received.onMessageThread);
    }

    // Nobody listens any more, and nothing is left behind.
    EXPECT_FALSE (folder.socket().exists());
    const auto lost = InstanceChannel::send (folder.socket(), "lost", 300);
    EXPECT_TRUE (lost.failed());
    EXPECT_TRUE (lost.getErrorMessage().contains (folder.socket().getFullPathName())) << lost.getErrorMessage();
}

TEST (InstanceChannel, TakesOverASocketLeftByACopyThatEnded)
{
    ChannelFolder folder;

    // What a copy that was killed leaves: a socket file nobody listens on.
    {
        const int fd = ::socket (AF_UNIX, SOCK_STREAM, 0);
        const auto address = addressOf (folder.socket());
        ASSERT_EQ (::bind (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)), 0);
        ::close (fd);
    }
    ASSERT_TRUE (folder.socket().exists());

    Received received;
    auto earlier = std::make_unique<InstanceChannel> (folder.socket());
    ASSERT_TRUE (earlier->listen ([] (const juce::String&) {}).wasOk());

    InstanceChannel channel (folder.socket());
    const auto listening = channel.listen (received.receiver());
    ASSERT_TRUE (listening.wasOk()) << listening.getErrorMessage();

    // An earlier channel that ends later must not remove the socket that replaced its own.
    earlier = nullptr;
    EXPECT_TRUE (InstanceChannel::send (folder.socket(), "here").wasOk());
    ASSERT_TRUE (received.waitForCount (1));
    EXPECT_EQ (received.texts[0], "here");
}

TEST (InstanceChannel, SaysWhyItCannotListenOrSend)
{
    ChannelFolder folder;

    // Unix socket addresses hold about a hundred bytes of path.
    const auto deep = folder.root.getChildFile (juce::String::repeatedString ("d", 120)).getChildFile (InstanceChannel::socketFileName);
    const auto missing = folder.root.getChildFile ("missing").getChildFile (InstanceChannel::socketFileName);

    for (const auto& socket : { deep, missing })
    {
        SCOPED_TRACE (socket.getFullPathName());
        InstanceChannel channel (socket);
        const auto listening = channel.listen ([] (const juce::String&) {});
        EXPECT_TRUE (listening.failed());
        EXPECT_TRUE (listening.getErrorMessage().contains (socket.getFullPathName())) << listening.getErrorMessage();

        const auto sent = InstanceChannel::send (socket, "text", 0);
        EXPECT_TRUE (sent.failed());
        EXPECT_TRUE (sent.getErrorMessage().contains (socket.getFullPathName())) << sent.getErrorMessage();
    }
}

TEST (InstanceChannel, ListenerTakesNothingFromAnotherUser)
{
    TALVEK_REQUIRE_OTHER_USER();
    ChannelFolder folder;
    Received received;
    InstanceChannel channel (folder.socket());
    ASSERT_TRUE (channel.listen (received.receiver()).wasOk());

    // Open the way for the other user, so that only the check of the peer stands in between.
    ASSERT_EQ (::chmod (folder.root.getFullPathName().toRawUTF8(), 0711), 0);
    ASSERT_EQ (::chmod (folder.socket().getFullPathName().toRawUTF8(), 0777), 0);

    const auto address = addressOf (folder.socket());
    const pid_t intruder = startAsOtherUser ([&address] {
        const int fd = ::socket (AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::connect (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0)
            return 2;
        // The listener may have closed the connection before this is written.
        const char text[] = "intruder";
        if (::send (fd, text, sizeof (text) - 1, MSG_NOSIGNAL) != static_cast<ssize_t> (sizeof (text) - 1))
            return 0;
        ::shutdown (fd, SHUT_WR);
        char answer = 0;
        return ::read (fd, &answer, 1) == 1 ? 1 : 0; // 1: the listener confirmed the text
    });
    EXPECT_EQ (exitStatusOf (intruder), 0) << "0: refused; 1: taken; 2: could not connect";

    // Connections are taken in turn: once this user's text is in, the other's would have been.
    EXPECT_TRUE (InstanceChannel::send (folder.socket(), "own").wasOk());
    ASSERT_TRUE (received.waitForCount (1));
    EXPECT_EQ (received.texts, juce::StringArray { "own" });
}

TEST (InstanceChannel, SenderSendsNothingToAnotherUsersListener)
{
    TALVEK_REQUIRE_OTHER_USER();
    ChannelFolder folder;
    const auto theirs = folder.root.getChildFile ("theirs");
    ASSERT_TRUE (theirs.createDirectory().wasOk());
    ASSERT_EQ (::chmod (folder.root.getFullPathName().toRawUTF8(), 0711), 0);
    ASSERT_EQ (::chown (theirs.getFullPathName().toRawUTF8(), other_user::uid, other_user::gid), 0);
    const auto socket = theirs.getChildFile (InstanceChannel::socketFileName);

    int ready[2];
    ASSERT_EQ (::pipe2 (ready, O_CLOEXEC), 0);
    const auto address = addressOf (socket);

    // The other user's listener: counts the bytes it is sent (the exit status), 200 meaning
    // that something went wrong on its side.
    const pid_t listener = startAsOtherUser ([&address, &ready] {
        const int fd = ::socket (AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || ::bind (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0
            || ::listen (fd, 1) != 0 || ::write (ready[1], "r", 1) != 1)
            return 200;
        pollfd p { fd, POLLIN, 0 };
        if (::poll (&p, 1, 20000) != 1)
            return 200;
        const int connection = ::accept (fd, nullptr, nullptr);
        int total = 0;
        char chunk[256];
        for (ssize_t n; connection >= 0 && (n = ::read (connection, chunk, sizeof (chunk))) > 0;)
            total += static_cast<int> (n);
        return connection >= 0 ? juce::jmin (total, 199) : 200;
    });
    ::close (ready[1]);
    char signal = 0;
    ASSERT_EQ (::read (ready[0], &signal, 1), 1) << "the other user's listener did not start";
    ::close (ready[0]);

    const auto sent = InstanceChannel::send (socket, "secret", 0);
    EXPECT_TRUE (sent.failed());
    EXPECT_TRUE (sent.getErrorMessage().contains ("user 65534")) << sent.getErrorMessage();
    EXPECT_EQ (exitStatusOf (listener), 0) << "bytes the other user's listener received";
}
