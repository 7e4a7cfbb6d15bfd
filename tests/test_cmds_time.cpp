// Whole-hour offsets applied to a date/time carry through the calendar.
#include <gtest/gtest.h>

#include <ctime>
#include <tuple>

#include "commands/r40_cmds.h"

namespace {

using ymdhms = std::tuple<int, int, int, int, int, int>;

ymdhms add(ymdhms in, int32_t hours) {
    auto [y, mo, d, h, mi, s] = in;
    dev_time_t t = dev_time_add_hours(dev_time_t{y, mo, d, h, mi, s}, hours);
    return {t.year, t.month, t.day, t.hour, t.minute, t.second};
}

}  // namespace

TEST(DevTimeAddHours, StaysOnTheSameDayWithinIt) {
    EXPECT_EQ(add({2026, 5, 14, 10, 0, 7}, 12), ymdhms(2026, 5, 14, 22, 0, 7));
    EXPECT_EQ(add({2026, 5, 14, 10, 0, 0}, -10), ymdhms(2026, 5, 14, 0, 0, 0));
    EXPECT_EQ(add({2026, 5, 14, 10, 59, 59}, 0), ymdhms(2026, 5, 14, 10, 59, 59));
}

TEST(DevTimeAddHours, CarriesForwardIntoDayMonthAndYear) {
    EXPECT_EQ(add({2026, 5, 14, 23, 30, 0}, 1), ymdhms(2026, 5, 15, 0, 30, 0));
    EXPECT_EQ(add({2026, 4, 30, 23, 30, 0}, 1), ymdhms(2026, 5, 1, 0, 30, 0));
    EXPECT_EQ(add({2025, 12, 31, 23, 30, 0}, 1), ymdhms(2026, 1, 1, 0, 30, 0));
    EXPECT_EQ(add({2025, 12, 31, 12, 0, 0}, 12), ymdhms(2026, 1, 1, 0, 0, 0));
}

TEST(DevTimeAddHours, CarriesBackwardIntoDayMonthAndYear) {
    EXPECT_EQ(add({2026, 5, 14, 0, 30, 0}, -1), ymdhms(2026, 5, 13, 23, 30, 0));
    EXPECT_EQ(add({2026, 5, 1, 3, 0, 0}, -12), ymdhms(2026, 4, 30, 15, 0, 0));
    EXPECT_EQ(add({2026, 1, 1, 0, 0, 0}, -1), ymdhms(2025, 12, 31, 23, 0, 0));
}

TEST(DevTimeAddHours, FollowsLeapYears) {
    EXPECT_EQ(add({2024, 3, 1, 0, 30, 0}, -1), ymdhms(2024, 2, 29, 23, 30, 0));
    EXPECT_EQ(add({2023, 3, 1, 0, 30, 0}, -1), ymdhms(2023, 2, 28, 23, 30, 0));
    EXPECT_EQ(add({2024, 2, 28, 23, 0, 0}, 1), ymdhms(2024, 2, 29, 0, 0, 0));
    EXPECT_EQ(add({2024, 2, 29, 23, 0, 0}, 1), ymdhms(2024, 3, 1, 0, 0, 0));
    EXPECT_EQ(add({2100, 2, 28, 23, 0, 0}, 1), ymdhms(2100, 3, 1, 0, 0, 0));  // not a leap year
    EXPECT_EQ(add({2000, 2, 28, 23, 0, 0}, 1), ymdhms(2000, 2, 29, 0, 0, 0));  // a leap year
}

TEST(DevTimeAddHours, MovesBySameInstantAsTheSystemCalendarForEveryOffset) {
    // The C library's UTC calendar is the reference: the result is the same
    // instant shifted by the offset, normalised to a real date.
    auto epoch = [](ymdhms t) {
        std::tm tm{};
        tm.tm_year = std::get<0>(t) - 1900;
        tm.tm_mon = std::get<1>(t) - 1;
        tm.tm_mday = std::get<2>(t);
        tm.tm_hour = std::get<3>(t);
        tm.tm_min = std::get<4>(t);
        tm.tm_sec = std::get<5>(t);
        return static_cast<int64_t>(timegm(&tm));
    };
    static const int days_in[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year : {2023, 2024}) {
        for (int month = 1; month <= 12; ++month) {
            int last = days_in[month - 1] + (month == 2 && year == 2024 ? 1 : 0);
            for (int day : {1, 2, last - 1, last}) {
                for (int hour : {0, 11, 12, 23}) {
                    for (int offset = -12; offset <= 12; ++offset) {
                        ymdhms in{year, month, day, hour, 15, 42};
                        ymdhms out = add(in, offset);
                        ASSERT_EQ(epoch(out) - epoch(in), offset * 3600LL)
                            << year << "-" << month << "-" << day << " " << hour << " " << offset;
                        std::tm check{};
                        time_t e = static_cast<time_t>(epoch(out));
                        gmtime_r(&e, &check);
                        // A real date: the calendar gives it back unchanged.
                        ASSERT_EQ(check.tm_mday, std::get<2>(out));
                        ASSERT_EQ(check.tm_mon + 1, std::get<1>(out));
                        ASSERT_EQ(check.tm_hour, std::get<3>(out));
                    }
                }
            }
        }
    }
}
