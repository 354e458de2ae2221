#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace oq {

// A UTC instant: a day counted from 1970-01-01, a second of that day and a sub-second part.
// Ordered by day, then second, then nanoseconds.
struct UtcTime {
  std::int32_t days = 0;
  std::uint32_t second_of_day = 0;  // 0..86399
  std::uint32_t nanos = 0;          // 0..999999999

  friend auto operator<=>(const UtcTime&, const UtcTime&) = default;
};

// The calendar years a UtcTime may fall in.
inline constexpr std::int64_t kMinYear = -262143;
inline constexpr std::int64_t kMaxYear = 262142;

// Which side of the representable range a converted time fell on.
enum class OutOfRange : std::uint8_t { Below, Above };

// Whole Unix seconds and nanoseconds as a time; the side of the range when the day falls outside
// the representable years.
std::expected<UtcTime, OutOfRange> from_whole_seconds(std::int64_t seconds, std::uint32_t nanos);

// Unix seconds as a time with zero nanoseconds: truncated toward zero, NaN read as 0, saturated
// at +-2^63; the side of the range when the day falls outside the representable years.
std::expected<UtcTime, OutOfRange> from_unix_seconds(double seconds);

// Unix seconds as a time, or the current time when they fall outside the representable range.
UtcTime from_unix_seconds_or_now(double seconds);

// The earliest representable instant, -262143-01-01T00:00:00.
UtcTime earliest_utc();

// The real-time clock as a UTC time with nanoseconds. Panics when the clock reads before 1970.
UtcTime now_utc();

// Whole seconds since 1970-01-01T00:00:00; the sub-second part is dropped.
double unix_seconds(UtcTime t);

// "YYYY-MM-DDTHH:MM:SS[.fraction]+00:00".
std::string format_rfc3339(UtcTime t);

// Unix seconds of strict RFC 3339 text with a UTC offset ("2026-12-09T08:00:00Z"), as Python's
// datetime reads it: fractions beyond microseconds are cut, and the seconds are the quotient of
// the whole microseconds by a million, rounded once. Nullopt when `text` is not such a time.
std::optional<double> parse_rfc3339(std::string_view text);

// "YYYY-MM-DDTHH:MM:SS[.fraction]Z".
std::string format_zulu(UtcTime t);

// The proleptic Gregorian date of a day counted from 1970-01-01.
struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
  friend bool operator==(const CivilDate&, const CivilDate&) = default;
};
// Days and dates follow the era-based proleptic Gregorian algorithms: a 400-year era has 146097
// days, and counting years from March puts the leap day last, which keeps the arithmetic exact for
// any day number that fits 64 bits.
constexpr CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;                                       // 0..146096
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // 0..365
  const std::int64_t mp = (5 * doy + 2) / 153;  // month counted from March, 0..11
  const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// The day, counted from 1970-01-01, of a proleptic Gregorian date.
constexpr std::int64_t days_from_civil(CivilDate date) {
  const std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t m = date.month;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace oq
