// The system's calendar: the present moment, and a moment broken down in the local time zone.
#pragma once

#include <cstdint>
#include <ctime>

int64_t currentUnixTime();

// False when the system can't break the moment down (out of its range).
bool breakDownLocalTime(int64_t unixTime, std::tm& fields);
