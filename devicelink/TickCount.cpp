#include "devicelink/TickCount.h"

#include <cstdio>

std::string formatElapsedTime (std::int64_t milliseconds)
{
    const std::int64_t t = milliseconds < 0 ? 0 : milliseconds;
    const std::int64_t s = t / 1000;
    char text[48];
    std::snprintf (text, sizeof (text), "%02lld:%02lld:%02lld.%03lld\n",
                   static_cast<long long> (s / 3600), static_cast<long long> ((s % 3600) / 60),
                   static_cast<long long> (s % 60), static_cast<long long> (t % 1000));
    return text;
}
