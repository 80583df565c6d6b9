#include "stack/dates.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tsr {
namespace {

constexpr int32_t kCumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Julian Day Number of 1970-01-01: day numbers are JDN - kUnixJdn.
constexpr int64_t kUnixJdn = 2440588;

// Day number of a date of the Julian calendar (years from 1).
int64_t days_from_julian(const CivilDate& d) {
  const int64_t a = (14 - d.month) / 12;
  const int64_t y = int64_t{d.year} + 4800 - a;
  const int64_t m = d.month + 12 * a - 3;
  return d.day + (153 * m + 2) / 5 + 365 * y + y / 4 - 32083 - kUnixJdn;
}

bool julian_date_exists(const CivilDate& d) {
  if (d.year < 1 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  const bool leap = d.year % 4 == 0;
  return d.day <= kCumulativeDays[leap][d.month] - kCumulativeDays[leap][d.month - 1];
}

// --- The calendars of CF time axes.

enum class Calendar { kStandard, kProlepticGregorian, kJulian, kNoLeap, kAllLeap, k360Day };

struct CalendarName {
  std::string_view name;
  Calendar calendar;
};

constexpr CalendarName kCalendars[] = {
    {"standard", Calendar::kStandard},        {"gregorian", Calendar::kStandard},
    {"proleptic_gregorian", Calendar::kProlepticGregorian},
    {"julian", Calendar::kJulian},            {"noleap", Calendar::kNoLeap},
    {"365_day", Calendar::kNoLeap},           {"all_leap", Calendar::kAllLeap},
    {"366_day", Calendar::kAllLeap},          {"360_day", Calendar::k360Day},
};

bool is_model(Calendar c) { return c == Calendar::kNoLeap || c == Calendar::kAllLeap || c == Calendar::k360Day; }

// Days of a year and the days before each month (1..13) in a model calendar.
int32_t model_year_days(Calendar c) { return c == Calendar::kNoLeap ? 365 : c == Calendar::kAllLeap ? 366 : 360; }
int32_t model_days_before(Calendar c, int32_t month) {
  if (c == Calendar::k360Day) return 30 * (month - 1);
  return kCumulativeDays[c == Calendar::kAllLeap][month - 1];
}

bool model_date_exists(Calendar c, const CivilDate& d) {
  if (d.year < 1 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  return d.day <= model_days_before(c, d.month + 1) - model_days_before(c, d.month);
}

// Days since 0001-01-01 of a model calendar date.
int64_t model_count(Calendar c, const CivilDate& d) {
  return int64_t{model_year_days(c)} * (d.year - 1) + model_days_before(c, d.month) + (d.day - 1);
}

CivilDate model_date(Calendar c, int64_t count) {
  const int64_t per_year = model_year_days(c);
  CivilDate d;
  d.year = static_cast<int32_t>(floor_div(count, per_year) + 1);
  const int32_t in_year = static_cast<int32_t>(count - (d.year - 1) * per_year);
  d.month = 12;
  while (d.month > 1 && model_days_before(c, d.month) > in_year) --d.month;
  d.day = in_year - model_days_before(c, d.month) + 1;
  return d;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// Reads 1..max_digits decimal digits at the front of s.
bool take_number(std::string_view& s, int max_digits, int32_t* value) {
  int n = 0;
  int32_t v = 0;
  while (n < max_digits && n < static_cast<int>(s.size()) && s[n] >= '0' && s[n] <= '9') v = v * 10 + (s[n++] - '0');
  if (n == 0) return false;
  s.remove_prefix(static_cast<size_t>(n));
  *value = v;
  return true;
}

bool take(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

// The reference of "since": a date, the time of day and the zone, as the
// nanoseconds of that local time after midnight minus the zone's offset.
struct Reference {
  CivilDate date;
  __int128 ns_after_midnight = 0;
};

bool parse_reference(std::string_view s, Reference* ref) {
  s = trim(s);
  CivilDate& d = ref->date;
  if (!take_number(s, 4, &d.year) || !take(s, '-') || !take_number(s, 2, &d.month) || !take(s, '-') ||
      !take_number(s, 2, &d.day))
    return false;
  int64_t seconds = 0;
  __int128 fraction_ns = 0;
  if (!s.empty() && (s.front() == 'T' || s.front() == ' ')) {
    std::string_view rest = s.substr(1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    int32_t h = 0, m = 0, sec = 0;
    if (take_number(rest, 2, &h)) {
      if (!take(rest, ':') || !take_number(rest, 2, &m)) return false;
      if (take(rest, ':')) {
        if (!take_number(rest, 2, &sec)) return false;
        if (take(rest, '.')) {
          int64_t scale = 100000000;
          int digits = 0;
          while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
            if (digits++ < 9) fraction_ns += (rest.front() - '0') * scale, scale /= 10;
            rest.remove_prefix(1);
          }
          if (digits == 0) return false;
        }
      }
      if (h > 24 || m > 59 || sec > 60) return false;
      seconds = int64_t{h} * 3600 + m * 60 + sec;
      s = rest;
    } else if (s.front() == 'T') {
      return false;
    }
  }
  s = trim(s);
  int64_t zone_seconds = 0;
  if (s == "Z" || s == "UTC" || s == "utc" || s == "GMT") {
    s = {};
  } else if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    const int sign = s.front() == '-' ? -1 : 1;
    s.remove_prefix(1);
    int32_t zh = 0, zm = 0;
    if (!take_number(s, 2, &zh)) return false;
    if (take(s, ':')) {
      if (!take_number(s, 2, &zm)) return false;
    } else if (!s.empty() && !take_number(s, 2, &zm)) {
      return false;
    }
    if (zh > 14 || zm > 59) return false;
    zone_seconds = sign * (int64_t{zh} * 3600 + zm * 60);
  }
  if (!s.empty()) return false;
  ref->ns_after_midnight = static_cast<__int128>(seconds - zone_seconds) * 1000000000 + fraction_ns;
  return true;
}

struct TimeUnit {
  std::string_view names[4];
  int64_t ns;  // nanoseconds per unit
};

constexpr TimeUnit kTimeUnits[] = {
    {{"days", "day", "d", ""}, 86400LL * 1000000000},
    {{"hours", "hour", "h", "hr"}, 3600LL * 1000000000},
    {{"minutes", "minute", "min", "mins"}, 60LL * 1000000000},
    {{"seconds", "second", "s", "sec"}, 1000000000LL},
    {{"milliseconds", "millisecond", "ms", "msec"}, 1000000LL},
    {{"microseconds", "microsecond", "us", "usec"}, 1000LL},
    {{"nanoseconds", "nanosecond", "ns", "nsec"}, 1LL},
};

constexpr __int128 kDayNs = 86400LL * 1000000000;
// Instants less than this before midnight count as that midnight.
constexpr __int128 kMidnightSlackNs = 500000;

__int128 floor_div128(__int128 a, __int128 b) {
  const __int128 q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::string number_text(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

bool is_leap_year(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t days_in_month(int32_t year, int32_t month) {
  const bool leap = is_leap_year(year);
  return kCumulativeDays[leap][month] - kCumulativeDays[leap][month - 1];
}

bool is_valid_date(const CivilDate& d) {
  return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= days_in_month(d.year, d.month);
}

// The civil-date algorithms of H. Hinnant ("chrono-compatible low-level date
// algorithms"): eras of 400 years, years starting on March 1st.
int32_t days_from_civil(const CivilDate& date) {
  const int64_t y = int64_t{date.year} - (date.month <= 2 ? 1 : 0);
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t mp = (date.month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + date.day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<int32_t>(era * 146097 + doe - 719468);
}

CivilDate civil_from_days(int32_t day) {
  const int64_t z = int64_t{day} + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  CivilDate d;
  d.day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  d.month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  d.year = static_cast<int32_t>(yoe + era * 400 + (d.month <= 2 ? 1 : 0));
  return d;
}

int32_t day_of_year(int32_t day) {
  const CivilDate d = civil_from_days(day);
  return day - days_from_civil({d.year, 1, 1}) + 1;
}

bool parse_date(std::string_view text, int32_t* day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  auto num = [&](size_t at, size_t n) {
    int32_t v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  const CivilDate d{num(0, 4), num(5, 2), num(8, 2)};
  if (!is_valid_date(d)) return false;
  *day = days_from_civil(d);
  return true;
}

std::string format_date(int32_t day) {
  const CivilDate d = civil_from_days(day);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(d.year), static_cast<int>(d.month),
                static_cast<int>(d.day));
  return buf;
}

Status parse_number_list(std::string_view text, std::vector<double>* values) {
  values->clear();
  std::string_view s = trim(text);
  if (!s.empty() && s.front() == '{') {
    if (s.back() != '}') return Status::refused("the list \"" + std::string(text) + "\" has no closing brace");
    s = trim(s.substr(1, s.size() - 2));
  }
  while (!s.empty()) {
    size_t end = s.find_first_of(", \t");
    const std::string_view item = s.substr(0, end);
    std::string_view digits = item;
    if (digits.size() > 1 && digits.front() == '+') digits.remove_prefix(1);
    double v = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (item.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size()) {
      values->clear();
      return Status::refused("\"" + std::string(item) + "\" in the list \"" + std::string(text) +
                             "\" is not a number");
    }
    values->push_back(v);
    s = end == std::string_view::npos ? std::string_view() : s.substr(end);
    // One comma between items, blanks around it.
    s = trim(s);
    if (!s.empty() && s.front() == ',') {
      s = trim(s.substr(1));
      if (s.empty()) {
        values->clear();
        return Status::refused("the list \"" + std::string(text) + "\" ends with a comma");
      }
    }
  }
  return Status::ok();
}

Status decode_cf_time(const double* values, size_t count, std::string_view units, std::string_view calendar,
                      std::vector<int32_t>* days) {
  days->clear();
  const std::string quoted = "time units \"" + std::string(units) + "\"";
  const std::string low = lower(trim(units));
  const size_t since = low.find(" since ");
  if (since == std::string::npos)
    return Status::refused(quoted + " do not read \"<unit> since <date>\": the values cannot be mapped to dates");
  const std::string unit_word(trim(std::string_view(low).substr(0, since)));
  const TimeUnit* unit = nullptr;
  for (const TimeUnit& u : kTimeUnits)
    for (std::string_view name : u.names)
      if (!name.empty() && name == unit_word) unit = &u;
  if (unit == nullptr) {
    if (unit_word.rfind("month", 0) == 0 || unit_word.rfind("year", 0) == 0 || unit_word == "common_years")
      return Status::refused(quoted + ": a " + (unit_word[0] == 'm' ? std::string("month") : std::string("year")) +
                             " has no fixed length, so the values cannot be mapped to dates");
    return Status::refused(quoted + ": \"" + unit_word +
                           "\" is no unit of time the values can be counted in (days, hours, minutes, seconds)");
  }
  Reference ref;
  if (!parse_reference(std::string_view(units).substr(trim(units).data() - units.data() + since + 7), &ref))
    return Status::refused(quoted + ": the reference date after \"since\" does not read as YYYY-MM-DD[ hh:mm:ss][ zone]");

  const std::string cal_low = lower(trim(calendar));
  Calendar cal = Calendar::kStandard;
  bool known = cal_low.empty();
  for (const CalendarName& c : kCalendars)
    if (c.name == cal_low) cal = c.calendar, known = true;
  if (!known)
    return Status::refused("time calendar \"" + std::string(calendar) +
                           "\" is not one whose days can be mapped to dates (standard, gregorian, "
                           "proleptic_gregorian, julian, noleap, 365_day, all_leap, 366_day, 360_day)");
  const std::string cal_name = cal_low.empty() ? "standard" : cal_low;

  // The day of the reference date: a day number, or for a model calendar its
  // count of days since its 0001-01-01.
  int64_t ref_day = 0;
  const CivilDate& rd = ref.date;
  bool ref_ok = true;
  switch (cal) {
    case Calendar::kStandard:
      if (rd.year > 1582 || (rd.year == 1582 && (rd.month > 10 || (rd.month == 10 && rd.day >= 15)))) {
        ref_ok = is_valid_date(rd);
        if (ref_ok) ref_day = days_from_civil(rd);
      } else if (rd.year == 1582 && rd.month == 10 && rd.day > 4) {
        ref_ok = false;
      } else {
        ref_ok = julian_date_exists(rd);
        if (ref_ok) ref_day = days_from_julian(rd);
      }
      break;
    case Calendar::kProlepticGregorian:
      ref_ok = is_valid_date(rd);
      if (ref_ok) ref_day = days_from_civil(rd);
      break;
    case Calendar::kJulian:
      ref_ok = julian_date_exists(rd);
      if (ref_ok) ref_day = days_from_julian(rd);
      break;
    default:
      ref_ok = model_date_exists(cal, rd);
      if (ref_ok) ref_day = model_count(cal, rd);
      break;
  }
  if (!ref_ok) return Status::refused(quoted + ": the reference date is not a date of the " + cal_name + " calendar");

  std::vector<int32_t> out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const double v = values[i];
    auto which = [&] { return "time value " + std::to_string(i + 1) + " (" + number_text(v) + ")"; };
    // 2^62 units of any length lie far beyond the year 9999 from any reference.
    if (!std::isfinite(v) || std::fabs(v) >= 4611686018427387904.0)
      return Status::refused(which() + " with " + quoted + " lies outside the years 1 to 9999");
    const double whole = std::floor(v);
    const __int128 ns = static_cast<__int128>(static_cast<int64_t>(whole)) * unit->ns +
                        static_cast<__int128>(std::llround((v - whole) * static_cast<double>(unit->ns))) +
                        ref.ns_after_midnight;
    const __int128 offset = floor_div128(ns + kMidnightSlackNs, kDayNs);
    if (offset > 10000LL * 366 || offset < -10000LL * 366)
      return Status::refused(which() + " with " + quoted + " lies outside the years 1 to 9999");
    int64_t day = 0;
    if (!is_model(cal)) {
      day = ref_day + static_cast<int64_t>(offset);
    } else {
      const int64_t c = ref_day + static_cast<int64_t>(offset);
      if (c < 0 || c >= int64_t{model_year_days(cal)} * 9999)
        return Status::refused(which() + " with " + quoted + " lies outside the years 1 to 9999");
      const CivilDate md = model_date(cal, c);
      if (!is_valid_date(md)) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(md.year), static_cast<int>(md.month),
                      static_cast<int>(md.day));
        return Status::refused(which() + " with " + quoted + " is " + buf + " of the " + cal_name +
                               " calendar, a day no real calendar has");
      }
      day = days_from_civil(md);
    }
    if (day < kFirstDayNumber || day > kLastDayNumber)
      return Status::refused(which() + " with " + quoted + " lies outside the years 1 to 9999");
    out.push_back(static_cast<int32_t>(day));
  }
  *days = std::move(out);
  return Status::ok();
}

}  // namespace tsr
