#include <time.h>

#include "io/local_time.h"

// MinGW-w64's time_t is 64 bits wide on both targets unless _USE_32BIT_TIME_T asks otherwise.
static_assert(sizeof(time_t) == 8, "a 64-bit time_t is needed for times past 2038");

int64_t currentUnixTime() {
    return static_cast<int64_t>(_time64(nullptr));
}

void loadLocalTimeZone() {
    _tzset();
}

bool breakDownLocalTime(int64_t unixTime, std::tm& fields) {
    // The C runtime breaks down 1970-01-01 to 3000-12-31 and refuses the rest.
    const time_t seconds = static_cast<time_t>(unixTime);
    return localtime_s(&fields, &seconds) == 0;
}
