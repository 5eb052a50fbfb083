// Socket ports: each path in the list is a Unix-domain stream socket on which an instrument (or
// its emulation) listens. The tool connects as the client; the connection carries raw MIDI bytes
// both ways with no framing of its own, as a cable would. One input and one output per path.

#include "devicelink/ByteStreamPorts.h"
#include "devicelink/OutputWriter.h"

#if ! defined (_WIN32)

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
std::shared_ptr<ByteStreamConnection> connectTo (const juce::String& path, int& error)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const auto utf8 = path.toStdString();
    if (utf8.empty() || utf8.size() >= sizeof (address.sun_path))
    {
        error = ENAMETOOLONG;
        return nullptr;
    }
    std::copy (utf8.begin(), utf8.end(), address.sun_path);

    // Non-blocking, so that a peer with a full backlog cannot hold the scan, and so that a
    // peer that stops reading ends a write at its deadline instead of holding the link.
    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
    {
        error = errno;
        return nullptr;
    }
    if (::connect (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0)
    {
        error = errno;
        ::close (fd);
        return nullptr;
    }
    return std::make_shared<ByteStreamConnection> (fd, true, true, true, ByteStreamConnection::defaultWriteTimeoutMs);
}

class SocketMidiPorts final : public MidiPortSystem
{
public:
    explicit SocketMidiPorts (juce::StringArray pathsIn) : fixedPaths (std::move (pathsIn)) {}

    std::vector<MidiPortInfo> getInputs() override { return list(); }
    std::vector<MidiPortInfo> getOutputs() override { return list(); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        if (auto connection = obtain (port.identifier))
            return std::make_unique<ByteStreamInPort> (std::move (connection), port.name, callback);
        return nullptr;
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        if (auto connection = obtain (port.identifier))
            return std::make_unique<ByteStreamOutPort> (std::move (connection), port.name);
        return nullptr;
    }

    MidiPortOpenError getLastOpenError() const override
    {
        const std::lock_guard<std::mutex> guard (errorLock);
        return lastError;
    }

private:
    std::vector<MidiPortInfo> list() const
    {
        juce::StringArray paths = fixedPaths;
        if (paths.isEmpty())
            paths.addTokens (juce::SystemStats::getEnvironmentVariable ("TALVEK_MIDI_SOCKETS", {}), ":", {});
        paths.removeEmptyStrings();

        std::vector<MidiPortInfo> result;
        for (const auto& path : paths)
            result.push_back ({ path, path });
        return result;
    }

    std::shared_ptr<ByteStreamConnection> obtain (const juce::String& path)
    {
        int error = 0;
        auto connection = connections.obtain (path, [&] { return connectTo (path, error); });
        if (connection == nullptr)
        {
            const std::lock_guard<std::mutex> guard (errorLock);
            lastError = makeOpenError (path, error);
        }
        return connection;
    }

    const juce::StringArray fixedPaths;
    ConnectionTable connections;
    mutable std::mutex errorLock;
    MidiPortOpenError lastError;
};
} // namespace

std::unique_ptr<MidiPortSystem> createSocketMidiPorts (juce::StringArray paths)
{
    return withQueuedOutputs (std::make_unique<SocketMidiPorts> (std::move (paths)));
}

#else

std::unique_ptr<MidiPortSystem> createSocketMidiPorts (juce::StringArray)
{
    return nullptr;
}

#endif
