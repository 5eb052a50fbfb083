// Linux: the ALSA raw MIDI device nodes, /dev/snd/midiC<card>D<device>.
//
// Why raw nodes and not the framework's ports on Linux: the framework talks to the ALSA
// sequencer, which drops a SysEx event larger than the port's output buffer (4096 bytes by
// default) and the framework ignores the error; every Data frame of a transfer is 4689 bytes.
// A raw node takes the whole frame, in as many writes as its buffer needs.
//
// Why the framework's sequencer ports are not listed as well: every hardware MIDI device has a
// raw node, and the sequencer port of the same card is the same instrument. Listed twice, one
// instrument answers the probe on both (the link would report two devices), or the second open
// finds the device busy; and the sequencer path could not carry a transfer anyway. Software-only
// sequencer ports are left out with them; the emulated instrument is reached through a socket.

#include "devicelink/ByteStreamPorts.h"
#include "devicelink/OutputWriter.h"

#if defined (__linux__)

#include <alsa/asoundlib.h>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace
{
struct RawNode
{
    juce::String path;
    juce::String name;
    bool hasInput = false;
    bool hasOutput = false;
};

bool hasStream (snd_ctl_t* control, int device, snd_rawmidi_stream_t stream)
{
    snd_rawmidi_info_t* info = nullptr;
    snd_rawmidi_info_alloca (&info);
    snd_rawmidi_info_set_device (info, static_cast<unsigned int> (device));
    snd_rawmidi_info_set_subdevice (info, 0);
    snd_rawmidi_info_set_stream (info, stream);
    return snd_ctl_rawmidi_info (control, info) == 0;
}

std::vector<AlsaRawCard> listAlsaCards()
{
    std::vector<AlsaRawCard> cards;
    int number = -1;
    while (snd_card_next (&number) == 0 && number >= 0)
    {
        snd_ctl_t* control = nullptr;
        if (snd_ctl_open (&control, ("hw:" + juce::String (number)).toRawUTF8(), SND_CTL_NONBLOCK) != 0)
            continue;

        AlsaRawCard card;
        card.number = number;
        // The card's own name, as the device reports it (for USB devices, the product name).
        snd_ctl_card_info_t* cardInfo = nullptr;
        snd_ctl_card_info_alloca (&cardInfo);
        if (snd_ctl_card_info (control, cardInfo) == 0)
            card.name = juce::String::fromUTF8 (snd_ctl_card_info_get_name (cardInfo));

        int device = -1;
        while (snd_ctl_rawmidi_next_device (control, &device) == 0 && device >= 0)
            card.devices.push_back ({ device, hasStream (control, device, SND_RAWMIDI_STREAM_INPUT),
                                      hasStream (control, device, SND_RAWMIDI_STREAM_OUTPUT) });
        snd_ctl_close (control);
        cards.push_back (std::move (card));
    }
    return cards;
}

std::vector<RawNode> listNodes (const AlsaRawOptions& options)
{
    const juce::File folder (options.deviceFolder);
    std::vector<RawNode> nodes;
    for (const auto& card : options.listCards ? options.listCards() : listAlsaCards())
    {
        const auto cardName = card.name.isNotEmpty() ? card.name : "Card " + juce::String (card.number);
        for (const auto& device : card.devices)
        {
            RawNode node;
            node.path = folder.getChildFile ("midiC" + juce::String (card.number) + "D" + juce::String (device.number))
                            .getFullPathName();
            node.name = device.number == 0 ? cardName : cardName + " " + juce::String (device.number + 1);
            node.hasInput = device.hasInput;
            node.hasOutput = device.hasOutput;
            nodes.push_back (node);
        }
    }
    return nodes;
}

class AlsaRawMidiPorts final : public MidiPortSystem
{
public:
    explicit AlsaRawMidiPorts (AlsaRawOptions optionsIn) : options (std::move (optionsIn)) {}

    std::vector<MidiPortInfo> getInputs() override { return list (true); }
    std::vector<MidiPortInfo> getOutputs() override { return list (false); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        if (auto connection = obtain (port.identifier, true))
            return std::make_unique<ByteStreamInPort> (std::move (connection), port.name, callback);
        return nullptr;
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        if (auto connection = obtain (port.identifier, false))
            return std::make_unique<ByteStreamOutPort> (std::move (connection), port.name);
        return nullptr;
    }

    MidiPortOpenError getLastOpenError() const override
    {
        const std::lock_guard<std::mutex> guard (errorLock);
        return lastError;
    }

private:
    std::vector<MidiPortInfo> list (bool inputs) const
    {
        std::vector<MidiPortInfo> result;
        for (const auto& node : listNodes (options))
            if (inputs ? node.hasInput : node.hasOutput)
                result.push_back ({ node.name, node.path });
        return result;
    }

    std::shared_ptr<ByteStreamConnection> obtain (const juce::String& path, bool forInput)
    {
        int error = 0;
        auto connection = connections.obtain (path, [&] { return openNode (path, error); });
        if (connection != nullptr && ! (forInput ? connection->canRead() : connection->canWrite()))
        {
            error = connection->getMissingDirectionError();
            connection = nullptr;
        }
        if (connection == nullptr)
        {
            const std::lock_guard<std::mutex> guard (errorLock);
            lastError = makeOpenError (path, error);
        }
        return connection;
    }

    std::shared_ptr<ByteStreamConnection> openNode (const juce::String& path, int& error) const
    {
        // Non-blocking: a blocking open waits while another program holds the device, and
        // the writes wait in poll() with a deadline, so a device that stops draining cannot
        // hold the writer (or the close that joins it) for ever.
        int firstError = 0;
        for (const int mode : { O_RDWR, O_WRONLY, O_RDONLY })
        {
            const int flags = mode | O_NONBLOCK | O_CLOEXEC;
            const int fd = options.openNode ? options.openNode (path.toRawUTF8(), flags)
                                            : ::open (path.toRawUTF8(), flags);
            if (fd < 0)
            {
                // The first refusal says most: a node one may not open refuses every mode alike.
                if (firstError == 0)
                    firstError = errno;
                continue;
            }
            return std::make_shared<ByteStreamConnection> (fd, mode != O_WRONLY, mode != O_RDONLY, false,
                                                           options.writeTimeoutMs, firstError);
        }
        error = firstError;
        return nullptr;
    }

    const AlsaRawOptions options;
    ConnectionTable connections;
    mutable std::mutex errorLock;
    MidiPortOpenError lastError;
};
} // namespace

std::unique_ptr<MidiPortSystem> createAlsaRawMidiPorts (AlsaRawOptions options)
{
    return withQueuedOutputs (std::make_unique<AlsaRawMidiPorts> (std::move (options)));
}

#else

std::unique_ptr<MidiPortSystem> createAlsaRawMidiPorts (AlsaRawOptions)
{
    return nullptr;
}

#endif
