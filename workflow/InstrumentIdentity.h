#pragma once

#include "devicelink/FlashLayout.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>
#include <span>

// The bytes that tell instruments apart, as their flash holds them.
using IdentityBytes = std::array<std::uint8_t, FlashLayout::identityLength>; // at 1FFF4h
using TagBytes = std::array<std::uint8_t, FlashLayout::tagLength>;           // at 9E0000h

struct InstrumentIdentity
{
    IdentityBytes id {};
    TagBytes tag {};

    bool operator== (const InstrumentIdentity&) const = default;
};

// Two lower-case hex digits a byte, nothing between them.
inline juce::String hexOf (std::span<const std::uint8_t> bytes)
{
    return juce::String::toHexString (bytes.data(), static_cast<int> (bytes.size()), 0);
}
