#include "stream/timestamp.h"

#include <ctime>

#include "io/local_time.h"

namespace {

constexpr int dosEpochYear = 1980;
constexpr int dosLastYear = dosEpochYear + 127;
constexpr DosDateTime dosFirst = {(1 << 5) | 1, 0};                                   // 1980-01-01 00:00:00
constexpr DosDateTime dosLast = {(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};  // 2107-12-31 23:59:58

}  // namespace

bool dosTimeIsMissing(DosDateTime dos) {
    return dos.date == 0 || dosToUnixTime(dos) < dosToUnixTime(dosFirst);
}

int64_t dosToUnixTime(DosDateTime dos) {
    std::tm fields{};
    fields.tm_year = (dos.date >> 9) + (dosEpochYear - 1900);
    fields.tm_mon = ((dos.date >> 5) & 15) - 1;
    fields.tm_mday = dos.date & 31;
    fields.tm_hour = dos.time >> 11;
    fields.tm_min = (dos.time >> 5) & 63;
    fields.tm_sec = (dos.time & 31) * 2;
    fields.tm_isdst = -1;  // let the zone's rules for that date decide
    return static_cast<int64_t>(std::mktime(&fields));
}

DosDateTime unixToDosTime(int64_t unixTime) {
    std::tm fields{};
    if (!breakDownLocalTime(unixTime, fields)) return dosFirst;
    const int year = fields.tm_year + 1900;
    if (year < dosEpochYear) return dosFirst;
    if (year > dosLastYear) return dosLast;
    DosDateTime dos;
    dos.date = static_cast<uint16_t>(((year - dosEpochYear) << 9) + ((fields.tm_mon + 1) << 5) + fields.tm_mday);
    dos.time = static_cast<uint16_t>((fields.tm_hour << 11) + (fields.tm_min << 5) + (fields.tm_sec >> 1));
    return dos;
}
