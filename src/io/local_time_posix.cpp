#include <stdlib.h>
#include <time.h>

#include "io/local_time.h"

int64_t currentUnixTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

void loadLocalTimeZone() {
#ifdef __GLIBC__
    // Left unset, TZ has glibc look at /etc/localtime again (a stat) at every conversion of a local
    // time, thousands of them in a large archive; named, the same file is read once and kept.
    setenv("TZ", ":/etc/localtime", 0);
#endif
    tzset();
}

bool breakDownLocalTime(int64_t unixTime, std::tm& fields) {
    const std::time_t seconds = static_cast<std::time_t>(unixTime);
    if (static_cast<int64_t>(seconds) != unixTime) return false;
    return localtime_r(&seconds, &fields) != nullptr;
}
