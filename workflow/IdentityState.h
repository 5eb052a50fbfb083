#pragma once

#include <array>
#include <cstdint>

// What the tool knows about the connected instrument and the chosen update file. There is one
// instance for the whole program; it is read and written on the message thread only.
struct UpdateIdentityState
{
    static constexpr int identityLength = 12;

    std::uint8_t versionReadPhase = 0;  // 0 idle, 1 first identity read pending, 2 second pending
    std::array<std::uint8_t, identityLength> deviceIdBytes {};   // flash bytes at 1FFF4h
    std::array<std::uint8_t, identityLength> deviceTagBytes {};  // flash bytes at 9E0000h
    bool updateFileAccepted = false;
    bool screenSaverBlocked = false;
};

UpdateIdentityState& identityState();

// Back to the state of a freshly started program (tests run many components in one process).
void resetIdentityState();

// The screen saver stays off while an update runs; both calls may be repeated.
void blockScreenSaver();
void allowScreenSaver();
