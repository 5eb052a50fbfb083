// Linux: the ALSA raw MIDI device nodes, /dev/snd/midiC<card>D<device>.
//
// Why raw nodes and not the framework's ports on Linux: the framework talks to the ALSA
// sequencer, which drops a SysEx event larger than the port's output buffer (4096 bytes by
// default) and the framework ignores the error; every Data frame of a transfer is 4689 bytes.
// A raw node written with blocking writes takes the whole frame.
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

std::vector<RawNode> listNodes()
{
    std::vector<RawNode> nodes;
    int card = -1;
    while (snd_card_next (&card) == 0 && card >= 0)
    {
        snd_ctl_t* control = nullptr;
        if (snd_ctl_open (&control, ("hw:" + juce::String (card)).toRawUTF8(), SND_CTL_NONBLOCK) != 0)
            continue;

        // The card's own name, as the device reports it (for USB devices, the product name).
        juce::String cardName;
        snd_ctl_card_info_t* cardInfo = nullptr;
        snd_ctl_card_info_alloca (&cardInfo);
        if (snd_ctl_card_info (control, cardInfo) == 0)
            cardName = juce::String::fromUTF8 (snd_ctl_card_info_get_name (cardInfo));
        if (cardName.isEmpty())
            cardName = "Card " + juce::String (card);

        int device = -1;
        while (snd_ctl_rawmidi_next_device (control, &device) == 0 && device >= 0)
        {
            RawNode node;
            node.path = "/dev/snd/midiC" + juce::String (card) + "D" + juce::String (device);
            node.name = device == 0 ? cardName : cardName + " " + juce::String (device + 1);
            node.hasInput = hasStream (control, device, SND_RAWMIDI_STREAM_INPUT);
            node.hasOutput = hasStream (control, device, SND_RAWMIDI_STREAM_OUTPUT);
            nodes.push_back (node);
        }
        snd_ctl_close (control);
    }
    return nodes;
}

std::shared_ptr<ByteStreamConnection> openNode (const juce::String& path)
{
    // Non-blocking open: a blocking one waits while another program holds the device. Then
    // blocking again, so that a write returns only when the whole frame is in the driver.
    for (const int mode : { O_RDWR, O_WRONLY, O_RDONLY })
    {
        const int fd = ::open (path.toRawUTF8(), mode | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        ::fcntl (fd, F_SETFL, ::fcntl (fd, F_GETFL) & ~O_NONBLOCK);
        return std::make_shared<ByteStreamConnection> (fd, mode != O_WRONLY, mode != O_RDONLY, false);
    }
    return nullptr;
}

class AlsaRawMidiPorts final : public MidiPortSystem
{
public:
    std::vector<MidiPortInfo> getInputs() override { return list (true); }
    std::vector<MidiPortInfo> getOutputs() override { return list (false); }

    std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) override
    {
        auto connection = connections.obtain (port.identifier, [&port] { return openNode (port.identifier); });
        if (connection == nullptr || ! connection->canRead())
            return nullptr;
        return std::make_unique<ByteStreamInPort> (std::move (connection), port.name, callback);
    }

    std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) override
    {
        auto connection = connections.obtain (port.identifier, [&port] { return openNode (port.identifier); });
        if (connection == nullptr || ! connection->canWrite())
            return nullptr;
        return std::make_unique<ByteStreamOutPort> (std::move (connection), port.name);
    }

private:
    static std::vector<MidiPortInfo> list (bool inputs)
    {
        std::vector<MidiPortInfo> result;
        for (const auto& node : listNodes())
            if (inputs ? node.hasInput : node.hasOutput)
                result.push_back ({ node.name, node.path });
        return result;
    }

    ConnectionTable connections;
};
} // namespace

std::unique_ptr<MidiPortSystem> createAlsaRawMidiPorts()
{
    return withQueuedOutputs (std::make_unique<AlsaRawMidiPorts>());
}

#else

std::unique_ptr<MidiPortSystem> createAlsaRawMidiPorts()
{
    return nullptr;
}

#endif
