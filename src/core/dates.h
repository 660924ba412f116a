#pragma once

#include <ctime>
#include <string>

#include "platform/process.h"

namespace vl {

struct CivilDate {
    int year = 2000; // four digits
    int month = 1;
    int day = 1;
};

CivilDate today();

// "20" + yy + mm + dd, the date form of every data file.
std::string TodayStamp(const CivilDate& d);
inline std::string TodayStamp() { return TodayStamp(today()); }

// Short Spanish date and time, "dd/mm/yyyy hh:mm:ss"; used for the stamp files nobody parses.
std::string shortDateTime();
// The same date and time with nothing between them, as the send stamp wants.
std::string shortDateTimeJoined();

// Seconds since midnight, monotonic enough for the lookup watchdog.
double secondsSinceMidnight();

} // namespace vl
