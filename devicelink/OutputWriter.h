#pragma once

// Outputs that never block their caller: a frame is queued and written by a thread of the
// output's own, so a slow link (a DIN cable takes 1.5 s for one Data frame) or a device that
// stops draining holds up only that thread, never the window.

#include "devicelink/MidiPorts.h"

#include <memory>

// Wraps every output that `system` opens in a queued writer. Inputs are passed through.
std::unique_ptr<MidiPortSystem> withQueuedOutputs (std::unique_ptr<MidiPortSystem> system);

// One output with its own writer. sendMessage() copies the frame and returns at once: false
// when an earlier write failed (the port is gone) or the queue is full (the device has stopped
// taking data). Destruction writes what is queued while the device takes it, gives up a write
// that has stalled (MidiOutPort::cancelSends), then closes the port.
std::unique_ptr<MidiOutPort> makeQueuedOutput (std::unique_ptr<MidiOutPort> port);
