// Socket ports: each entry in the list is a stream socket on which an instrument (or its
// emulation) listens, a Unix-domain socket path or "tcp:PORT" on 127.0.0.1. The tool connects
// as the client; the connection carries raw MIDI bytes both ways with no framing of its own, as
// a cable would. One input and one output per entry.

#include "devicelink/ByteStreamPorts.h"
#include "devicelink/OutputWriter.h"

#include <mutex>

#if ! defined (_WIN32)
 #include <sys/un.h>
#endif

namespace
{
// A listener that never accepts must not hold the port scan.
constexpr int connectTimeoutMs = 2000;

struct Connected
{
    std::shared_ptr<ByteStreamConnection> connection;
    int error = 0;
    juce::String reason; // when the entry itself is wrong, not the system
};

Connected connectTo (const juce::String& entry)
{
    const auto utf8 = entry.toStdString();
    if (sockets::isTcpAddress (utf8))
    {
        const auto port = sockets::tcpPort (utf8);
        if (! port || *port == 0)
            return { nullptr, 0, "not a TCP port (tcp:PORT, 1 to 65535)" };
        int error = 0;
        const auto h = sockets::connectLoopback (*port, connectTimeoutMs, error);
        if (h == sockets::invalidHandle)
            return { nullptr, error, {} };
        return { std::make_shared<ByteStreamConnection> (h, true, true, true, ByteStreamConnection::defaultWriteTimeoutMs), 0, {} };
    }

   #if defined (_WIN32)
    return { nullptr, 0, "Windows has no Unix-domain sockets here; use tcp:PORT" };
   #else
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (utf8.empty() || utf8.size() >= sizeof (address.sun_path))
        return { nullptr, ENAMETOOLONG, {} };
    std::copy (utf8.begin(), utf8.end(), address.sun_path);

    // Non-blocking, so that a peer with a full backlog cannot hold the scan, and so that a
    // peer that stops reading ends a write at its deadline instead of holding the link.
    const int fd = ::socket (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return { nullptr, errno, {} };
    if (::connect (fd, reinterpret_cast<const sockaddr*> (&address), sizeof (address)) != 0)
    {
        const int error = errno;
        ::close (fd);
        return { nullptr, error, {} };
    }
    return { std::make_shared<ByteStreamConnection> (fd, true, true, true, ByteStreamConnection::defaultWriteTimeoutMs), 0, {} };
   #endif
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
            paths = parseSocketList (juce::SystemStats::getEnvironmentVariable ("TALVEK_MIDI_SOCKETS", {}));
        paths.removeEmptyStrings();

        std::vector<MidiPortInfo> result;
        for (const auto& path : paths)
            result.push_back ({ path, path });
        return result;
    }

    std::shared_ptr<ByteStreamConnection> obtain (const juce::String& path)
    {
        Connected result;
        auto connection = connections.obtain (path, [&] { return (result = connectTo (path)).connection; });
        if (connection == nullptr)
        {
            const std::lock_guard<std::mutex> guard (errorLock);
            lastError = makeOpenError (path, result.error);
            if (result.reason.isNotEmpty())
                lastError.reason = result.reason;
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

juce::StringArray parseSocketList (const juce::String& text)
{
    juce::StringArray entries;
   #if defined (_WIN32)
    // Windows paths hold ':' themselves, so its lists use ';' as its PATH does.
    entries.addTokens (text, ";", {});
   #else
    juce::StringArray tokens;
    tokens.addTokens (text, ":", {});
    for (int i = 0; i < tokens.size(); ++i)
    {
        // "tcp:PORT" is one entry even where ':' separates them.
        if (tokens[i] == "tcp" && i + 1 < tokens.size())
        {
            entries.add ("tcp:" + tokens[i + 1]);
            ++i;
        }
        else
        {
            entries.add (tokens[i]);
        }
    }
   #endif
    entries.trim();
    entries.removeEmptyStrings();
    return entries;
}
