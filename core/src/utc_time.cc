#include "oq/utc_time.h"

#include <time.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "oq/panic.h"

namespace oq {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// The day number of 1970-01-01 when 0001-01-01 is day 1.
constexpr std::int64_t kDaysBeforeEpoch = 719163;

constexpr std::int64_t kMinDays = days_from_civil({kMinYear, 1, 1});
constexpr std::int64_t kMaxDays = days_from_civil({kMaxYear, 12, 31});
// The year range is the tighter bound: inside it, days + kDaysBeforeEpoch always fits int32.
static_assert(kMinDays + kDaysBeforeEpoch >= std::numeric_limits<std::int32_t>::min());
static_assert(kMaxDays + kDaysBeforeEpoch <= std::numeric_limits<std::int32_t>::max());

std::int64_t saturating_seconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  // 2^63 is exact as a double; every double below it and at or above -2^63 converts exactly
  // after truncation.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (seconds >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (seconds < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(seconds);
}

void append_digits(std::string& out, std::uint64_t value, int width) {
  char buffer[24];
  int n = 0;
  do {
    buffer[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(buffer[--n]);
}

// The date, time and fraction shared by both renderings, without any offset.
std::string format_local_part(UtcTime t) {
  const CivilDate date = civil_from_days(t.days);
  std::string out;
  out.reserve(40);
  if (date.year < 0) {
    out.push_back('-');
  } else if (date.year > 9999) {
    out.push_back('+');
  }
  append_digits(out, static_cast<std::uint64_t>(date.year < 0 ? -date.year : date.year), 4);
  out.push_back('-');
  append_digits(out, date.month, 2);
  out.push_back('-');
  append_digits(out, date.day, 2);
  out.push_back('T');
  append_digits(out, t.second_of_day / 3600, 2);
  out.push_back(':');
  append_digits(out, t.second_of_day / 60 % 60, 2);
  out.push_back(':');
  append_digits(out, t.second_of_day % 60, 2);
  if (t.nanos != 0) {
    out.push_back('.');
    if (t.nanos % 1000000 == 0) {
      append_digits(out, t.nanos / 1000000, 3);
    } else if (t.nanos % 1000 == 0) {
      append_digits(out, t.nanos / 1000, 6);
    } else {
      append_digits(out, t.nanos, 9);
    }
  }
  return out;
}

}  // namespace

std::expected<UtcTime, OutOfRange> from_whole_seconds(std::int64_t seconds, std::uint32_t nanos) {
  std::int64_t days = seconds / kSecondsPerDay;
  std::int64_t second = seconds % kSecondsPerDay;
  if (second < 0) {
    second += kSecondsPerDay;
    --days;
  }
  if (days < kMinDays) return std::unexpected(OutOfRange::Below);
  if (days > kMaxDays) return std::unexpected(OutOfRange::Above);
  return UtcTime{static_cast<std::int32_t>(days), static_cast<std::uint32_t>(second), nanos};
}

std::expected<UtcTime, OutOfRange> from_unix_seconds(double seconds) {
  return from_whole_seconds(saturating_seconds(seconds), 0);
}

UtcTime from_unix_seconds_or_now(double seconds) {
  if (auto t = from_unix_seconds(seconds)) return *t;
  return now_utc();
}

UtcTime earliest_utc() { return UtcTime{static_cast<std::int32_t>(kMinDays), 0, 0}; }

UtcTime now_utc() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) panic("real-time clock unavailable");
  if (ts.tv_sec < 0) panic("system time before Unix epoch");
  auto t = from_whole_seconds(ts.tv_sec, static_cast<std::uint32_t>(ts.tv_nsec));
  if (!t) panic("system time beyond the representable range");
  return *t;
}

double unix_seconds(UtcTime t) {
  return static_cast<double>(static_cast<std::int64_t>(t.days) * kSecondsPerDay + t.second_of_day);
}

std::string format_rfc3339(UtcTime t) {
  std::string out = format_local_part(t);
  out += "+00:00";
  return out;
}

std::string format_zulu(UtcTime t) {
  std::string out = format_local_part(t);
  out += 'Z';
  return out;
}

std::optional<double> parse_rfc3339(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM), 't' and 'z' in either case.
  const auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto is = [&](std::size_t at, std::string_view chars) {
    return at < text.size() && chars.find(text[at]) != std::string_view::npos;
  };
  const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
  const auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || !is(4, "-") || !is(7, "-") ||
      !is(10, "Tt") || !is(13, ":") || !is(16, ":")) {
    return std::nullopt;
  }
  std::size_t at = 19;
  std::int64_t micros = 0;
  if (is(at, ".")) {
    const std::size_t start = ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == start) return std::nullopt;
    // Digits beyond the sixth are cut, as Python's reader of these times does.
    for (std::size_t i = start; i < start + 6; ++i) {
      micros = micros * 10 + (i < at ? text[i] - '0' : 0);
    }
  }
  std::int64_t offset = 0;
  if (is(at, "Zz")) {
    ++at;
  } else if (is(at, "+-")) {
    const auto offset_hours = digits(at + 1, 2), offset_minutes = digits(at + 4, 2);
    if (!offset_hours || !offset_minutes || !is(at + 3, ":") || *offset_hours > 23 ||
        *offset_minutes > 59) {
      return std::nullopt;
    }
    offset = (*offset_hours * 60 + *offset_minutes) * 60 * (text[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = *year % 4 == 0 && (*year % 100 != 0 || *year % 400 == 0);
  if (*year < 1 || *month < 1 || *month > 12 || *day < 1 ||
      *day > kDays[static_cast<std::size_t>(*month - 1)] + (leap && *month == 2 ? 1 : 0) ||
      *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  const std::int64_t days =
      days_from_civil(CivilDate{*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day)});
  const std::int64_t seconds = days * 86400 + *hour * 3600 + *minute * 60 + *second - offset;
  const std::int64_t total = seconds * 1'000'000 + micros;
  // The quotient of two integers, rounded once: exact as a division below 2**53 microseconds
  // (the year 2255), and read from its decimal digits beyond.
  if (total > -(std::int64_t{1} << 53) && total < (std::int64_t{1} << 53)) {
    return static_cast<double>(total) / 1e6;
  }
  const std::int64_t magnitude = total < 0 ? -total : total;
  std::array<char, 8> fraction{};
  std::snprintf(fraction.data(), fraction.size(), "%06lld",
                static_cast<long long>(magnitude % 1'000'000));
  const std::string decimal =
      (total < 0 ? "-" : "") + std::to_string(magnitude / 1'000'000) + "." + fraction.data();
  double quotient = 0;
  std::from_chars(decimal.data(), decimal.data() + decimal.size(), quotient);
  return quotient;
}

}  // namespace oq
