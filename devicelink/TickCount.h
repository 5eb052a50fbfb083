#pragma once

// The elapsed-time lines of the log (their time comes from the link's clock).

#include <cstdint>
#include <string>

// "hh:mm:ss.mmm\n" for an elapsed time in milliseconds (hours are not wrapped at 24).
std::string formatElapsedTime (std::int64_t milliseconds);
