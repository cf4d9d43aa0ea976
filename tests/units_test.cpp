// The few units with logic worth isolating: time conversion in two zones, and stored names.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>

#include "driver/convert_file.h"
#include "stream/timestamp.h"
#include "support/test_support.h"

namespace {

void useZone(const char* name) {
    setenv("TZ", name, 1);
    tzset();
}

}  // namespace

// UTC figures, and Berlin in winter and summer: reading and writing must be inverse in every zone.
TEST(Timestamp, DosAndUnixTimesConvertBothWays) {
    const struct {
        const char* zone;
        uint16_t date, time;
        int64_t unixTime;
    } cases[] = {{"UTC", 0x5021, 0x0000, 1577836800},
                              {"Europe/Berlin", 0x4AC1, 0x6000, 1496311200},
                              {"Europe/Berlin", 0x5021, 0x0000, 1577833200}};
    for (const auto& c : cases) {
        useZone(c.zone);
        EXPECT_EQ(dosToUnixTime({c.date, c.time}), c.unixTime) << c.zone << c.date;
        const DosDateTime back = unixToDosTime(c.unixTime);
        EXPECT_EQ(back.date, c.date);
        EXPECT_EQ(back.time, c.time);
    }
    useZone("UTC");
    EXPECT_EQ(dosToUnixTime({0x4AC1, 0x601E}), 1496318460);  // seconds field 30 is the next minute
    // Day 0 of January 1980 is 1979-12-31: a writer's "no time", like a date word of 0.
    EXPECT_TRUE(dosTimeIsMissing({0, 0x6000}) && dosTimeIsMissing({0x0020, 0}) && !dosTimeIsMissing({0x0021, 0}));
    const DosDateTime first = unixToDosTime(315532799), last = unixToDosTime(4354819200);  // 1979-12-31, 2108-01-01
    EXPECT_TRUE(first.date == 0x0021 && first.time == 0);
    EXPECT_TRUE(last.date == 0xFF9F && last.time == 0xBF7D);  // 2107-12-31 23:59:58
}

// A carried name (or none, "-"), the input path, and the name stored.
TEST(StoredNames, NeverLeaveTheFolderTheyAreUnpackedIn) {
    const std::array<const char*, 3> cases[] = {
        {"a/b.txt", "in.gz", "a/b.txt"}, {"/etc/passwd", "in.gz", "etc/passwd"}, {"a/../b", "in.gz", "a/b"},
        {"C:\\..\\..\\evil.txt", "in.gz", "evil.txt"}, {"a\\.\\b/./c", "in.gz", "a/b/c"}, {"a..b/..c", "in.gz", "a..b/..c"},
        {"dir/", "in.gz", "dir"}, {"..", "p/in.gz", "p/in"}, {"/", "in.gz", "in"}, {"-", "./v1.2/data.gz", "v1.2/data"},
        {"-", "../.bashrc", ".bashrc"}, {"-", "x/..gz", "x/..gz"}};
    for (const auto& [carried, path, stored] : cases) {
        const auto name = std::string(carried) == "-" ? std::nullopt : std::optional(bytesOf(carried));
        EXPECT_EQ(storedNameFor(name, path), bytesOf(stored)) << carried << " " << path;
    }
}
