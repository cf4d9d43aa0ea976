// The system's calendar: the present moment, and a moment broken down in the local time zone.
#pragma once

#include <cstdint>
#include <ctime>

int64_t currentUnixTime();

// Reads the local time zone's rules once, before threads that break times down or build them up
// start: the C library sets its zone up on first use, which is then never done by two at once.
void loadLocalTimeZone();

// False when the system can't break the moment down (out of its range).
bool breakDownLocalTime(int64_t unixTime, std::tm& fields);
