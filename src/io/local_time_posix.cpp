#include <time.h>

#include "io/local_time.h"

int64_t currentUnixTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

void loadLocalTimeZone() {
    tzset();
}

bool breakDownLocalTime(int64_t unixTime, std::tm& fields) {
    const std::time_t seconds = static_cast<std::time_t>(unixTime);
    if (static_cast<int64_t>(seconds) != unixTime) return false;
    return localtime_r(&seconds, &fields) != nullptr;
}
