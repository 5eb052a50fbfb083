#pragma once

#include <array>
#include <cstdint>
#include <vector>

// One built-in flash driver image and the names its header carries. The names are zero-padded
// 18-byte arrays because the job records copy exactly 18 bytes from them.
struct DriverEntry
{
    const std::uint8_t* data = nullptr;
    int size = 0;
    std::array<char, 18> mcuName {};
    std::array<char, 18> flashName {};
};

// The built-in driver table, in the order the connection test tries the drivers.
std::vector<DriverEntry> makeBuiltInDrivers();
