#include "app/InstanceChannel.h"

#if JUCE_LINUX || JUCE_BSD
 #include <poll.h>
 #include <sys/socket.h>
 #include <sys/un.h>
 #include <unistd.h>

 #include <cstring>
 #include <vector>

namespace
{
// "\0<name>-<uid>": the leading zero puts the address in the abstract namespace.
socklen_t makeAddress (const juce::String& name, sockaddr_un& address)
{
    std::memset (&address, 0, sizeof (address));
    address.sun_family = AF_UNIX;
    const auto text = name + "-" + juce::String (static_cast<int> (getuid()));
    const auto length = juce::jmin (static_cast<size_t> (text.getNumBytesAsUTF8()), sizeof (address.sun_path) - 1);
    std::memcpy (address.sun_path + 1, text.toRawUTF8(), length);
    return static_cast<socklen_t> (offsetof (sockaddr_un, sun_path) + 1 + length);
}

bool waitFor (int fd, short events, int timeoutMs)
{
    pollfd p { fd, events, 0 };
    return ::poll (&p, 1, timeoutMs) > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

bool fromSameUser (int connection)
{
 #ifdef SO_PEERCRED
    ucred credentials {};
    socklen_t size = sizeof (credentials);
    return getsockopt (connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
           && credentials.uid == getuid();
 #else
    juce::ignoreUnused (connection);
    return true;
 #endif
}
} // namespace

InstanceChannel::InstanceChannel (const juce::String& channelName)
    : juce::Thread ("Instance channel"), name (channelName)
{
}

InstanceChannel::~InstanceChannel()
{
    stopThread (2000);
    if (listenSocket >= 0)
        ::close (listenSocket);
}

bool InstanceChannel::listen (Receiver newReceiver)
{
    if (listenSocket >= 0)
        return false;

    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;

    sockaddr_un address;
    const auto size = makeAddress (name, address);
    if (::bind (fd, reinterpret_cast<sockaddr*> (&address), size) != 0 || ::listen (fd, 4) != 0)
    {
        ::close (fd);
        return false;
    }

    listenSocket = fd;
    receiver = std::move (newReceiver);
    startThread();
    return true;
}

void InstanceChannel::run()
{
    while (! threadShouldExit())
    {
        if (! waitFor (listenSocket, POLLIN, 100))
            continue;

        const int connection = ::accept4 (listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;

        if (fromSameUser (connection))
            receiveFrom (connection);
        ::close (connection);
    }
}

void InstanceChannel::receiveFrom (int connection)
{
    // A sender that stalls is given up on after two seconds; a text is never longer than
    // maxTextBytes (the rest is not read).
    std::vector<char> bytes;
    const auto deadline = juce::Time::getMillisecondCounter() + 2000;
    char chunk[4096];

    while (bytes.size() < static_cast<size_t> (maxTextBytes) && ! threadShouldExit())
    {
        const auto now = juce::Time::getMillisecondCounter();
        if (now >= deadline || ! waitFor (connection, POLLIN, static_cast<int> (juce::jmin<juce::uint32> (deadline - now, 100))))
        {
            if (juce::Time::getMillisecondCounter() >= deadline)
                return;
            continue;
        }

        const auto wanted = juce::jmin (sizeof (chunk), static_cast<size_t> (maxTextBytes) - bytes.size());
        const auto n = ::read (connection, chunk, wanted);
        if (n < 0)
            return;
        if (n == 0)
            break;
        bytes.insert (bytes.end(), chunk, chunk + n);
    }

    const auto text = juce::String::fromUTF8 (bytes.data(), static_cast<int> (bytes.size()));
    juce::MessageManager::callAsync ([callback = receiver, text] { callback (text); });
}

bool InstanceChannel::send (const juce::String& channelName, const juce::String& text, int timeoutMs)
{
    sockaddr_un address;
    const auto size = makeAddress (channelName, address);
    const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);

    for (;;)
    {
        const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;

        if (::connect (fd, reinterpret_cast<sockaddr*> (&address), size) == 0)
        {
            const char* data = text.toRawUTF8();
            auto remaining = juce::jmin (text.getNumBytesAsUTF8(), static_cast<size_t> (maxTextBytes));
            while (remaining > 0)
            {
                const auto n = ::send (fd, data, remaining, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                data += n;
                remaining -= static_cast<size_t> (n);
            }
            ::close (fd);
            return remaining == 0;
        }

        ::close (fd);
        // The running instance may still be starting and not listening yet.
        if (juce::Time::getMillisecondCounter() >= deadline)
            return false;
        juce::Thread::sleep (100);
    }
}

#else

InstanceChannel::InstanceChannel (const juce::String& channelName) : juce::Thread ("Instance channel"), name (channelName) {}
InstanceChannel::~InstanceChannel() = default;
bool InstanceChannel::listen (Receiver) { return false; }
// The framework's own instance messaging has already delivered the text on these systems.
bool InstanceChannel::send (const juce::String&, const juce::String&, int) { return true; }
void InstanceChannel::run() {}
void InstanceChannel::receiveFrom (int) {}

#endif
