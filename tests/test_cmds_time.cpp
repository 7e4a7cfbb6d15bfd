// Whole-hour offsets applied to a date/time carry through the calendar.
#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "commands/r40_cmds.h"

namespace {

std::tm to_tm(const dev_time_t& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    return tm;
}

}  // namespace

// The C library's UTC calendar is the reference: the result is the same
// instant shifted by the offset, and a real date the calendar gives back
// unchanged. Around every month's ends, in leap and common years, including
// the century rules (2000 leap, 2100 not), across years both ways.
TEST(DevTimeAddHours, MovesBySameInstantAsTheSystemCalendarForEveryOffset) {
    static const int days_in[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year : {2000, 2023, 2024, 2100}) {
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        for (int month = 1; month <= 12; ++month) {
            const int last = days_in[month - 1] + (month == 2 && leap ? 1 : 0);
            for (int day : {1, 2, last - 1, last}) {
                for (int hour : {0, 11, 12, 23}) {
                    for (int offset = -12; offset <= 12; ++offset) {
                        const dev_time_t in{year, month, day, hour, 15, 42};
                        const dev_time_t out = dev_time_add_hours(in, offset);
                        std::tm tm_in = to_tm(in), tm_out = to_tm(out);
                        const time_t e_out = timegm(&tm_out);
                        ASSERT_EQ(e_out - timegm(&tm_in), offset * 3600LL)
                            << year << "-" << month << "-" << day << " " << hour << " " << offset;
                        std::tm check{};
                        gmtime_r(&e_out, &check);
                        ASSERT_EQ(std::vector<int>({out.year, out.month, out.day, out.hour}),
                                  std::vector<int>({check.tm_year + 1900, check.tm_mon + 1, check.tm_mday,
                                                    check.tm_hour}));
                    }
                }
            }
        }
    }
}
