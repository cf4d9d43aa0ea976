// The few units with logic worth isolating: time conversion in two zones, and ZIP name cleaning.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "containers/zip_container.h"
#include "stream/timestamp.h"
#include "support/test_support.h"

namespace {

struct Zone {
    explicit Zone(const char* name) {
        setenv("TZ", name, 1);
        tzset();
    }
    ~Zone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

struct TimeCase {
    const char* zone;
    uint16_t date, time;
    int64_t unixTime;
};

}  // namespace

// UTC figures, and Berlin in winter and summer: reading and writing must be inverse in every zone.
TEST(Timestamp, DosAndUnixTimesConvertBothWays) {
    const TimeCase cases[] = {{"UTC", 0x4AC1, 0x6000, 1496318400},
                              {"UTC", 0x5021, 0x0000, 1577836800},
                              {"Europe/Berlin", 0x4AC1, 0x6000, 1496311200},
                              {"Europe/Berlin", 0x5021, 0x0000, 1577833200}};
    for (const TimeCase& c : cases) {
        Zone zone(c.zone);
        EXPECT_EQ(dosToUnixTime({c.date, c.time}), c.unixTime) << c.zone << c.date;
        const DosDateTime back = unixToDosTime(c.unixTime);
        EXPECT_EQ(back.date, c.date);
        EXPECT_EQ(back.time, c.time);
    }
    Zone utc("UTC");
    EXPECT_EQ(dosToUnixTime({0, 0}), 312768000);  // day 0 of month 0 of 1980 is 1979-11-30
    EXPECT_EQ(dosToUnixTime({0x4AC1, 0x601E}), 1496318460);  // seconds field 30 is the next minute
    const DosDateTime clamped = unixToDosTime(315532799);  // 1979-12-31 23:59:59 becomes 1980-12-31
    EXPECT_EQ(clamped.date, 0x019F);
    EXPECT_EQ(clamped.time, 0xBF7D);
}

TEST(ZipNames, NeverLeaveTheFolderTheyAreUnpackedIn) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/b.txt", "a/b.txt"}, {"/etc/passwd", "etc/passwd"}, {"../../x", "x"}, {"a/../b", "a/b"}, {"..", ""}, {"a..b/..c", "a..b/..c"}, {"dir/", "dir"}};
    for (const auto& [name, cleaned] : cases) EXPECT_EQ(cleanZipName(bytesOf(name)), bytesOf(cleaned)) << name;
}
