#pragma once

// The flash drivers and firmware blocks compiled into the program (resources/firmware).

#include <array>
#include <cstdint>

namespace BuiltInData
{
struct Block
{
    const std::uint8_t* data = nullptr;
    int size = 0;
};

// The detection drivers in the order in which the connection test tries them:
// S29GL256_S, S29GL02GS_EST, S29GL512_S, S29GL01G_S.
std::array<Block, 4> detectionDrivers();
// The driver uploaded as "Sepcial" before SaveIoState.
Block specialDriver();
// Programmed at flash 40000h after the parameter sector is erased (65536 bytes).
Block paramArea();
// Programmed at flash F000h (4096 bytes of 00h).
Block zeroBlock();
} // namespace BuiltInData
