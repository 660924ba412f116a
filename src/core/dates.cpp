#include "core/dates.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vl {

namespace {

std::tm localNow() { return localTime(std::time(nullptr)); }

} // namespace

CivilDate today() {
    // VELANTIA_TODAY=yyyymmdd pins the date for the demo and the window tests.
    if (const char* pinned = std::getenv("VELANTIA_TODAY")) {
        int y = 0, m = 0, d = 0;
        if (std::sscanf(pinned, "%4d%2d%2d", &y, &m, &d) == 3 && m >= 1 && m <= 12 && d >= 1 &&
            d <= 31)
            return {y, m, d};
    }
    const std::tm tm = localNow();
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

std::string TodayStamp(const CivilDate& d) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "20%02d%02d%02d", ((d.year % 100) + 100) % 100, d.month % 100,
                  d.day % 100);
    return buf;
}

namespace {

std::string dateAndTime(const char* between) {
    const std::tm tm = localNow();
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d%s%02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, between, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

} // namespace

std::string shortDateTime() { return dateAndTime(" "); }

std::string shortDateTimeJoined() { return dateAndTime(""); }

double secondsSinceMidnight() {
    const std::tm tm = localNow();
    return tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec;
}

} // namespace vl
