#include "oq/utc_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

namespace oq {
namespace {

constexpr std::int64_t kEarliestSeconds = -8334601228800;  // -262143-01-01T00:00:00
constexpr std::int64_t kLatestSeconds = 8210266876799;     // +262142-12-31T23:59:59

// The RFC 3339 text of a conversion, or "below" / "above".
std::string converted(double seconds) {
  const auto t = from_unix_seconds(seconds);
  if (t) return format_rfc3339(*t);
  return t.error() == OutOfRange::Below ? "below" : "above";
}

struct ConversionCase {
  double seconds;
  std::string expected;
};

class Conversion : public testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, TruncatesSplitsAndBoundsTheRange) {
  EXPECT_EQ(converted(GetParam().seconds), GetParam().expected) << GetParam().seconds;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Conversion,
    testing::Values(
        ConversionCase{0, "1970-01-01T00:00:00+00:00"},
        ConversionCase{1.9, "1970-01-01T00:00:01+00:00"},
        ConversionCase{-0.5, "1970-01-01T00:00:00+00:00"},
        ConversionCase{-1.5, "1969-12-31T23:59:59+00:00"},
        ConversionCase{-86400, "1969-12-31T00:00:00+00:00"},
        ConversionCase{-86401, "1969-12-30T23:59:59+00:00"},
        ConversionCase{std::nan(""), "1970-01-01T00:00:00+00:00"},
        ConversionCase{951782400, "2000-02-29T00:00:00+00:00"},
        ConversionCase{4107542399, "2100-02-28T23:59:59+00:00"},
        ConversionCase{4107542400, "2100-03-01T00:00:00+00:00"},
        ConversionCase{1893456000, "2030-01-01T00:00:00+00:00"},
        ConversionCase{253402300799, "9999-12-31T23:59:59+00:00"},
        ConversionCase{253402300800, "+10000-01-01T00:00:00+00:00"},
        ConversionCase{-62167219200, "0000-01-01T00:00:00+00:00"},
        ConversionCase{-62167219201, "-0001-12-31T23:59:59+00:00"},
        ConversionCase{-62198755200, "-0001-01-01T00:00:00+00:00"},
        ConversionCase{static_cast<double>(kEarliestSeconds), "-262143-01-01T00:00:00+00:00"},
        ConversionCase{static_cast<double>(kEarliestSeconds - 1), "below"},
        ConversionCase{static_cast<double>(kLatestSeconds), "+262142-12-31T23:59:59+00:00"},
        ConversionCase{static_cast<double>(kLatestSeconds + 1), "above"},
        ConversionCase{9223372036854775808.0, "above"},
        ConversionCase{-9223372036854775808.0, "below"}, ConversionCase{1e300, "above"},
        ConversionCase{-1e300, "below"},
        ConversionCase{std::numeric_limits<double>::infinity(), "above"},
        ConversionCase{-std::numeric_limits<double>::infinity(), "below"}));

TEST(UtcTime, EarliestIsTheFirstInstantInRange) {
  EXPECT_EQ(format_rfc3339(earliest_utc()), "-262143-01-01T00:00:00+00:00");
  EXPECT_EQ(earliest_utc(), *from_unix_seconds(static_cast<double>(kEarliestSeconds)));
  EXPECT_EQ(unix_seconds(earliest_utc()), static_cast<double>(kEarliestSeconds));
}

TEST(UtcTime, CivilCalendarIsContinuousAcrossCenturies) {
  // Walking day by day through four centuries around year 0 and around 2000 catches any slip in
  // leap-year or era arithmetic.
  const auto month_length = [](std::int64_t year, unsigned month) -> unsigned {
    static constexpr unsigned kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kLengths[month - 1];
  };
  for (const std::int64_t start_year : {std::int64_t{-401}, std::int64_t{1801}, kMaxYear - 400}) {
    std::int64_t day = days_from_civil({start_year, 1, 1});
    CivilDate expected{start_year, 1, 1};
    for (int i = 0; i < 400 * 366; ++i, ++day) {
      const CivilDate got = civil_from_days(day);
      ASSERT_EQ(got, expected) << "day " << day;
      ASSERT_EQ(days_from_civil(got), day);
      if (++expected.day > month_length(expected.year, expected.month)) {
        expected.day = 1;
        if (++expected.month > 12) {
          expected.month = 1;
          ++expected.year;
        }
      }
    }
  }
}

TEST(UtcTime, OrderedByDayThenSecondThenNanos) {
  EXPECT_LT((UtcTime{0, 86399, 999999999}), (UtcTime{1, 0, 0}));
  EXPECT_LT((UtcTime{-1, 5, 0}), (UtcTime{0, 0, 0}));
  EXPECT_LT((UtcTime{3, 10, 999}), (UtcTime{3, 11, 0}));
  EXPECT_LT((UtcTime{3, 10, 1}), (UtcTime{3, 10, 2}));
}

struct FractionCase {
  std::uint32_t nanos;
  std::string rfc3339;
};

class Fraction : public testing::TestWithParam<FractionCase> {};

TEST_P(Fraction, ShowsTheShortestWholeUnit) {
  const UtcTime t{0, 3723, GetParam().nanos};
  EXPECT_EQ(format_rfc3339(t), "1970-01-01T01:02:03" + GetParam().rfc3339 + "+00:00");
  EXPECT_EQ(format_zulu(t), "1970-01-01T01:02:03" + GetParam().rfc3339 + "Z");
}

INSTANTIATE_TEST_SUITE_P(Cases, Fraction,
                         testing::Values(FractionCase{0, ""}, FractionCase{500000000, ".500"},
                                         FractionCase{1000000, ".001"},
                                         FractionCase{123456000, ".123456"},
                                         FractionCase{1000, ".000001"},
                                         FractionCase{1, ".000000001"},
                                         FractionCase{999999999, ".999999999"}));

TEST(UtcTime, ZuluFormKeepsSignedYears) {
  EXPECT_EQ(format_zulu(*from_unix_seconds(1893456000)), "2030-01-01T00:00:00Z");
  EXPECT_EQ(format_zulu(earliest_utc()), "-262143-01-01T00:00:00Z");
  EXPECT_EQ(format_zulu(*from_unix_seconds(static_cast<double>(kLatestSeconds))),
            "+262142-12-31T23:59:59Z");
}

TEST(UtcTime, UnixSecondsRoundTrip) {
  for (const double s : {0.0, -1.0, 86399.0, -86401.0, 1893456000.0, -62198755200.0}) {
    EXPECT_EQ(unix_seconds(*from_unix_seconds(s)), s);
  }
  EXPECT_EQ(unix_seconds(UtcTime{1, 1, 999999999}), 86401.0);
}

TEST(UtcTime, NowReadsTheRealTimeClock) {
  const std::time_t before = std::time(nullptr);
  const UtcTime now = now_utc();
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(unix_seconds(now), static_cast<double>(before));
  EXPECT_LE(unix_seconds(now), static_cast<double>(after));
  EXPECT_LT(now.nanos, 1000000000u);
  const UtcTime fallback = from_unix_seconds_or_now(1e300);
  EXPECT_GE(fallback, now);
  EXPECT_EQ(from_unix_seconds_or_now(-1.5), *from_unix_seconds(-1));
}

}  // namespace
}  // namespace oq
