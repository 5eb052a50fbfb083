#pragma once

// The MIDI port layer under the device link: list the inputs and outputs, open an input with a
// callback, open an output, send one whole frame, close (destroy the port object).
//
// Backends (MidiPortSystems.cpp and the files named there):
//   JuceMidiPorts       the framework's MIDI devices; the path on macOS and Windows
//   AlsaRawMidiPorts    Linux: ALSA raw MIDI device nodes /dev/snd/midiC<card>D<device>
//   SocketMidiPorts     stream sockets named in TALVEK_MIDI_SOCKETS: Unix-domain socket paths,
//                       or "tcp:PORT" for loopback TCP (the only kind on Windows)
//   CompositeMidiPorts  several systems as one list
// Byte-stream backends (raw nodes, sockets) join SysEx themselves (MidiStreamParser.h).

#include <juce_audio_basics/juce_audio_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class MidiInPort;

struct MidiPortInfo
{
    juce::String name;        // shown to the user and matched by the probe's exclusion rule
    juce::String identifier;  // what the system needs to open the port again
};

// Receives every whole message of an input, on that input's own thread.
class MidiInPortCallback
{
public:
    virtual ~MidiInPortCallback() = default;
    virtual void handleIncomingMidiMessage (MidiInPort* source, const juce::MidiMessage& message) = 0;
    // From ports that see every byte: a SysEx began (its F0 came in), or the one arriving has
    // ended (its F7, or a status byte that broke it), on the same thread and in order with the
    // messages. Ports that deliver only whole messages never call it.
    virtual void lineActivity (MidiInPort* source, bool frameArriving)
    {
        juce::ignoreUnused (source, frameArriving);
    }
};

class MidiInPort
{
public:
    virtual ~MidiInPort() = default; // stops first; no callback runs once it has returned
    virtual juce::String getName() const = 0;
    virtual void start() = 0;
    // Blocks until a callback in progress has returned. Never call it while holding a lock
    // that the callback takes.
    virtual void stop() = 0;
};

class MidiOutPort
{
public:
    virtual ~MidiOutPort() = default;
    virtual juce::String getName() const = 0;
    // Sends one whole message (a complete SysEx frame or a short message). False when it
    // could not be handed on; a backend that cannot tell returns true. A device that stops
    // taking data fails the send after a few seconds rather than holding it.
    virtual bool sendMessage (const std::uint8_t* data, int size) = 0;
    // May be called from another thread while a send is in progress: that send and every later
    // one give up soon and return false. Closing uses it so that a stalled device cannot hold
    // the close. A backend whose sends cannot be interrupted does nothing.
    virtual void cancelSends() {}
};

// Why an open failed, in the system's own words.
struct MidiPortOpenError
{
    juce::String path;             // what the system tried to open: a device node, a socket
    juce::String reason;           // e.g. "Permission denied"; empty when the system gave none
    bool permissionDenied = false; // the user may not open it (EACCES, EPERM)
};

class MidiPortSystem
{
public:
    virtual ~MidiPortSystem() = default;

    // A fresh list each call.
    virtual std::vector<MidiPortInfo> getInputs() = 0;
    virtual std::vector<MidiPortInfo> getOutputs() = 0;

    // Null when the port cannot be opened. The input delivers only after start().
    virtual std::unique_ptr<MidiInPort> openInput (const MidiPortInfo& port, MidiInPortCallback& callback) = 0;
    virtual std::unique_ptr<MidiOutPort> openOutput (const MidiPortInfo& port) = 0;

    // Why the last openInput or openOutput that returned null failed; ask on the thread that
    // opened, before the next open. Empty for a system that cannot tell.
    virtual MidiPortOpenError getLastOpenError() const { return {}; }
};

// The platform's ports: on Linux the ALSA raw MIDI nodes, elsewhere the framework's devices,
// and the sockets named in TALVEK_MIDI_SOCKETS.
std::unique_ptr<MidiPortSystem> createPlatformMidiPorts();

std::unique_ptr<MidiPortSystem> createJuceMidiPorts();

// Where the ALSA raw backend finds its devices. The defaults are the machine's own; tests
// point it at a folder of stand-in nodes.
struct AlsaRawCard
{
    struct Device
    {
        int number = 0;
        bool hasInput = false, hasOutput = false;
    };
    int number = 0;
    juce::String name; // as the device reports it; empty: "Card <number>"
    std::vector<Device> devices;
};

struct AlsaRawOptions
{
    juce::String deviceFolder { "/dev/snd" };            // holds midiC<card>D<device>
    std::function<std::vector<AlsaRawCard>()> listCards; // empty: ALSA's control interface
    std::function<int (const char* path, int flags)> openNode; // empty: ::open
    int writeTimeoutMs = 5000; // a write the device has not taken by then fails
};

std::unique_ptr<MidiPortSystem> createAlsaRawMidiPorts (AlsaRawOptions options = {}); // null where there is no ALSA
// One input and one output per entry; an empty list reads TALVEK_MIDI_SOCKETS at each listing.
std::unique_ptr<MidiPortSystem> createSocketMidiPorts (juce::StringArray paths = {});
// The entries of a TALVEK_MIDI_SOCKETS value: socket paths and "tcp:PORT", separated by ':'
// (by ';' on Windows, whose paths hold ':'); "tcp:PORT" stays one entry either way.
juce::StringArray parseSocketList (const juce::String& text);
std::unique_ptr<MidiPortSystem> createCompositeMidiPorts (std::vector<std::unique_ptr<MidiPortSystem>> systems);

// The output calls of the first probe windows, by device number, the way the operating
// system's own MIDI output interface offers them (count, name by number, open by number, one
// long message, close). The name comes from the list, so an excluded device is never opened. It sits on the same port list as the framework path, so device numbers and
// list indices name the same ports in the same order.
class RawMidiOutputs
{
public:
    explicit RawMidiOutputs (MidiPortSystem& system) : ports (system) {}

    int getNumDevices();                                  // takes a fresh list
    bool getName (int deviceNumber, juce::String& name) const; // false: no name to be had
    std::unique_ptr<MidiOutPort> open (int deviceNumber); // null when it fails
    static bool sendLongMessage (MidiOutPort& device, const std::uint8_t* data, int size);
    // Closing is destroying the port object.

private:
    MidiPortSystem& ports;
    std::vector<MidiPortInfo> list;
};
