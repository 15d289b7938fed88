#include <ctime>

#include "history/call_history.h"

namespace dialscope::history {
namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int UtcYear(int64_t ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return tm.tm_year + 1900;
}

}  // namespace

BoxDateTime ReadBoxDateTime(const std::array<int16_t, 5>& raw, DateOrder order, int64_t receivedAtMs) {
    BoxDateTime out;
    int yy = 0, m = 0, d = 0;
    switch (order) {
    case DateOrder::MDY: m = raw[0], d = raw[1], yy = raw[2]; break;
    case DateOrder::DMY: d = raw[0], m = raw[1], yy = raw[2]; break;
    case DateOrder::YMD: yy = raw[0], m = raw[1], d = raw[2]; break;
    }
    if (yy >= 0 && yy <= 99 && m >= 1 && m <= 12 && d >= 1) {
        // The century that puts the year closest to the year received, and not
        // more than one year after it: a box's clock may run a little ahead
        // (set wrong, or a record taken on New Year's Eve), never a lifetime.
        int received = UtcYear(receivedAtMs);
        int year = (received / 100) * 100 + yy;
        if (year > received + 1) year -= 100;
        else if (year + 100 <= received + 1) year += 100;
        if (d <= DaysInMonth(year, m)) {
            out.year = year, out.month = m, out.day = d;
        }
    }
    int h = raw[3], mi = raw[4];
    if (h >= 0 && h <= 23 && mi >= 0 && mi <= 59) {
        out.hour = h, out.minute = mi;
    }
    return out;
}

}  // namespace dialscope::history
