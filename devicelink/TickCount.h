#pragma once

// A monotonic millisecond tick for the elapsed-time lines of the log.

#include <cstdint>
#include <string>

std::int64_t getTickCount();

// "hh:mm:ss.mmm\n" for an elapsed time in milliseconds (hours are not wrapped at 24).
std::string formatElapsedTime (std::int64_t milliseconds);
