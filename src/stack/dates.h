// Dates of a stack as day numbers, and time axes as NetCDF and Zarr files
// carry them (CF conventions: numbers counted in a unit since a reference
// date, in a named calendar).
//
// A day number counts the days since 1970-01-01 in the proleptic Gregorian
// calendar (1970-01-02 is 1, 1969-12-31 is -1): the form the band names of
// data.hdr ("YYYY-MM-DD") are read into by the companions. Supported are the
// years 1 to 9999.
//
// Pure computation: no I/O, no global state; every function may be called
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/status.h"

namespace tsr {

struct CivilDate {
  int32_t year = 1970;
  int32_t month = 1;  // 1..12
  int32_t day = 1;    // 1..31
  bool operator==(const CivilDate&) const = default;
};

// Day numbers of 0001-01-01 and 9999-12-31.
inline constexpr int32_t kFirstDayNumber = -719162;
inline constexpr int32_t kLastDayNumber = 2932896;

bool is_leap_year(int32_t year);  // Gregorian rule
// Days of `month` (1..12) in `year` (Gregorian).
int32_t days_in_month(int32_t year, int32_t month);
// A date of the years 1..9999 that the Gregorian calendar has.
bool is_valid_date(const CivilDate& date);

// Requires is_valid_date(date).
int32_t days_from_civil(const CivilDate& date);
// Requires kFirstDayNumber <= day <= kLastDayNumber.
CivilDate civil_from_days(int32_t day);
// 1 for January 1st .. 365 or 366 for December 31st. Same requirement.
int32_t day_of_year(int32_t day);

// "YYYY-MM-DD" exactly (four, two and two digits, a real date): sets *day and
// returns true; otherwise returns false and leaves *day alone.
bool parse_date(std::string_view text, int32_t* day);
// "YYYY-MM-DD". Requires kFirstDayNumber <= day <= kLastDayNumber.
std::string format_date(int32_t day);

// A list of numbers as GDAL shows an array in metadata
// (NETCDF_DIM_time_VALUES "{0,16,32}"): optional braces around numbers
// separated by commas and/or blanks. Replaces *values. A refusal names the
// first item that is not a number.
Status parse_number_list(std::string_view text, std::vector<double>* values);

// Decodes a CF time axis into day numbers: values[i] counted in `units`
// ("<unit> since <date>[ <time>][ <zone>]", unit days, hours, minutes,
// seconds, milliseconds, microseconds or nanoseconds, also singular or
// abbreviated: d, h, hr, min, s, sec, ms, us; date YYYY-M-D; time hh:mm[:ss[.f]]
// after a blank or "T"; zone Z, UTC or +hh:mm / -hh:mm) in `calendar`
// (standard or gregorian, the default when empty: Julian before 1582-10-15
// and Gregorian from then on; proleptic_gregorian; julian; noleap or 365_day;
// all_leap or 366_day; 360_day; names in any case). Each value gives the day
// that holds its instant (an instant within half a second of midnight counts
// as that midnight). A date of a model calendar (noleap, all_leap, 360_day)
// is taken as the Gregorian date of the same year, month and day.
//
// Replaces *days with one day number per value and returns ok, or returns a
// refusal with the reason (units or calendar that cannot be mapped to dates,
// such as "months since" or the calendar "none"; a value that is not finite
// or lies outside the years 1..9999; a model-calendar date no real calendar
// has, such as 2001-02-30 of the 360_day calendar) and leaves *days empty.
Status decode_cf_time(const double* values, size_t count, std::string_view units, std::string_view calendar,
                      std::vector<int32_t>* days);

}  // namespace tsr
