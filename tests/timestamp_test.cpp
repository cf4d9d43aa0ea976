#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include <unistd.h>

#include "stream/timestamp.h"

namespace {

// Sets the process's time zone for one test and puts the previous one back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* previous = std::getenv("TZ")) saved_ = previous;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> saved_;
};

constexpr uint16_t dosDateOf(int year, int month, int day) {
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

constexpr uint16_t dosTimeOf(int hour, int minute, int secondsField) {
    return static_cast<uint16_t>((hour << 11) | (minute << 5) | secondsField);
}

bool berlinZoneInstalled() {
    return access("/usr/share/zoneinfo/Europe/Berlin", R_OK) == 0;
}

}  // namespace

TEST(Timestamp, UtcFiguresBothWays) {
    ScopedTimeZone zone("UTC");
    EXPECT_EQ(dosToUnixTime(0x4AC1, 0x6000), 1496318400);  // 2017-06-01 12:00:00
    uint16_t date = 0, time = 0;
    unixToDosTime(1496318400, date, time);
    EXPECT_EQ(date, 0x4AC1);
    EXPECT_EQ(time, 0x6000);

    // Words 0 normalise to 1979-11-30 00:00:00 (day 0, month 0).
    EXPECT_EQ(dosToUnixTime(0, 0), 312768000);

    // 1979-12-31 23:59:59 is lifted to 1980 and loses its odd second.
    unixToDosTime(315532799, date, time);
    EXPECT_EQ(date, 0x019F);
    EXPECT_EQ(time, 0xBF7D);
}

TEST(Timestamp, YearsBefore1980KeepMonthDayAndTime) {
    ScopedTimeZone zone("UTC");
    uint16_t date = 0, time = 0;
    unixToDosTime(173711656, date, time);  // 1975-07-04 13:14:16
    EXPECT_EQ(date, dosDateOf(1980, 7, 4));
    EXPECT_EQ(time, dosTimeOf(13, 14, 8));
    unixToDosTime(-1, date, time);  // 1969-12-31 23:59:59
    EXPECT_EQ(date, dosDateOf(1980, 12, 31));
    EXPECT_EQ(time, dosTimeOf(23, 59, 29));
}

TEST(Timestamp, YearFieldWrapsPast2107AndUnrepresentableTimesGive1980) {
    ScopedTimeZone zone("UTC");
    uint16_t date = 0, time = 0;
    unixToDosTime(4360003200, date, time);  // 2108-03-01: year field (2108 - 1980) mod 128
    EXPECT_EQ(date, dosDateOf(1980, 3, 1));
    EXPECT_EQ(time, 0);
    unixToDosTime(std::numeric_limits<int64_t>::max(), date, time);
    EXPECT_EQ(date, dosDateOf(1980, 1, 1));
    EXPECT_EQ(time, 0);
}

TEST(Timestamp, LastDosDateRoundTrips) {
    ScopedTimeZone zone("UTC");
    const uint16_t lastDate = dosDateOf(2107, 12, 31), lastTime = dosTimeOf(23, 59, 29);
    const int64_t seconds = dosToUnixTime(lastDate, lastTime);
    EXPECT_GT(seconds, int64_t{0xFFFFFFFF});  // beyond 32 bits, not wrapped
    uint16_t date = 0, time = 0;
    unixToDosTime(seconds, date, time);
    EXPECT_EQ(date, lastDate);
    EXPECT_EQ(time, lastTime);
}

TEST(Timestamp, SecondsFields30And31CarryIntoTheNextMinute) {
    ScopedTimeZone zone("UTC");
    const uint16_t date = 0x4AC1;
    const int64_t nextMinute = dosToUnixTime(date, dosTimeOf(12, 6, 0));
    EXPECT_EQ(dosToUnixTime(date, dosTimeOf(12, 5, 30)), nextMinute);
    EXPECT_EQ(dosToUnixTime(date, dosTimeOf(12, 5, 31)), nextMinute + 2);
    // 23:59:60 on the last day of a month carries into the next month.
    EXPECT_EQ(dosToUnixTime(dosDateOf(2017, 6, 30), dosTimeOf(23, 59, 30)),
              dosToUnixTime(dosDateOf(2017, 7, 1), dosTimeOf(0, 0, 0)));
}

TEST(Timestamp, BerlinSummerAndWinterRoundTripExactly) {
    if (!berlinZoneInstalled()) GTEST_SKIP() << "tzdata (Europe/Berlin) not installed";
    ScopedTimeZone zone("Europe/Berlin");
    struct Case {
        uint16_t date, time;
        int64_t utcSeconds;
    };
    const Case cases[] = {
        {0x4AC1, 0x6000, 1496318400 - 7200},                                // 2017-06-01 12:00 CEST
        {dosDateOf(2017, 1, 15), dosTimeOf(8, 30, 5), 1484469010 - 3600},  // 2017-01-15 08:30:10 CET
    };
    for (const Case& c : cases) {
        const int64_t seconds = dosToUnixTime(c.date, c.time);
        EXPECT_EQ(seconds, c.utcSeconds);
        uint16_t date = 0, time = 0;
        unixToDosTime(seconds, date, time);
        EXPECT_EQ(date, c.date);
        EXPECT_EQ(time, c.time);
    }
}

TEST(Timestamp, CurrentTimeIsUtcWhateverTheZone) {
    ScopedTimeZone zone("Asia/Kolkata");
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t now = currentUnixTime();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

TEST(Timestamp, EnsureUnixTimeFillsOnlyAMissingTime) {
    ConversionJob job;
    job.unixTime = 12345;
    ensureUnixTime(job);
    EXPECT_EQ(job.unixTime, 12345);

    job.unixTime = 0;
    const int64_t before = currentUnixTime();
    ensureUnixTime(job);
    EXPECT_GE(job.unixTime, before);
    EXPECT_LE(job.unixTime, currentUnixTime());
}
