#include "stream/timestamp.h"

#include <ctime>

namespace {

constexpr int dosEpochYear = 1980;

}  // namespace

int64_t dosToUnixTime(uint16_t dosDate, uint16_t dosTime) {
    std::tm fields{};
    fields.tm_year = (dosDate >> 9) + (dosEpochYear - 1900);
    fields.tm_mon = ((dosDate >> 5) & 15) - 1;
    fields.tm_mday = dosDate & 31;
    fields.tm_hour = dosTime >> 11;
    fields.tm_min = (dosTime >> 5) & 63;
    fields.tm_sec = (dosTime & 31) * 2;
    fields.tm_isdst = -1;  // let the zone's rules for that date decide
    return static_cast<int64_t>(std::mktime(&fields));
}

void unixToDosTime(int64_t unixTime, uint16_t& dosDate, uint16_t& dosTime) {
    const std::time_t seconds = static_cast<std::time_t>(unixTime);
    std::tm fields{};
    if (localtime_r(&seconds, &fields) == nullptr) {
        dosDate = (1 << 5) | 1;  // 1980-01-01
        dosTime = 0;
        return;
    }
    int year = fields.tm_year + 1900;
    if (year < dosEpochYear) year = dosEpochYear;
    dosDate = static_cast<uint16_t>(((year - dosEpochYear) << 9) + ((fields.tm_mon + 1) << 5) + fields.tm_mday);
    dosTime = static_cast<uint16_t>((fields.tm_hour << 11) + (fields.tm_min << 5) + (fields.tm_sec >> 1));
}

int64_t currentUnixTime() {
    return static_cast<int64_t>(std::time(nullptr));
}

void ensureUnixTime(ConversionJob& job) {
    if (job.unixTime == 0) job.unixTime = currentUnixTime();
}
