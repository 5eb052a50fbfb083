#pragma once

#include "workflow/InstrumentIdentity.h"

#include <array>
#include <cstdint>

// What the journal of an interrupted update says about the connected instrument.
enum class PendingUpdate
{
    none,
    sameModel,       // its identity reads as the journal's, as every unit of the model does: the
                     // area at 40000h, read when the update starts, tells whether it is the unit
    unconfirmed,     // its identity was damaged by the interruption: only the journal's file,
                     // after the user confirmed that this is the instrument
    otherInstrument, // another instrument's update is pending: nothing may be written here
    damaged,         // the journal cannot be trusted: nothing may be written
};

// What the tool knows about the connected instrument and the chosen update file. The workflow
// holds the program's one instance; it is read and written on the message thread only.
struct UpdateIdentityState
{
    std::uint8_t versionReadPhase = 0;  // 0 idle, 1 first identity read pending, 2 second pending
    IdentityBytes deviceIdBytes {};
    TagBytes deviceTagBytes {};
    bool identityRead = false;          // both identity reads of this connection succeeded
    bool fileWaitsForIdentity = false;  // a file was chosen while the identity was being read
    bool updateFileAccepted = false;
    PendingUpdate pendingUpdate = PendingUpdate::none;
    bool completionConfirmed = false;   // the user said yes for the file chosen last
    bool screenSaverBlocked = false;
};
