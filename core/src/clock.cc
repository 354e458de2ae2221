#include "clock.h"

#include <time.h>

#include <optional>

namespace oq {

namespace {

class SystemClock final : public Clock {
 public:
  SystemClock() {
    timespec resolution{};
    if (clock_getres(CLOCK_REALTIME_COARSE, &resolution) == 0 && resolution.tv_sec == 0) {
      coarse_slack_ = static_cast<std::uint32_t>(resolution.tv_nsec);
    }
  }
  UtcTime now() const override { return now_utc(); }
  // The coarse clock lags the exact one by less than its resolution, and costs a fraction of it.
  UtcTime now_at_most() const override {
    if (!coarse_slack_) return now_utc();
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME_COARSE, &ts) != 0 || ts.tv_sec < 0) return now_utc();
    std::int64_t seconds = ts.tv_sec;
    std::int64_t nanos = ts.tv_nsec + *coarse_slack_;
    seconds += nanos / 1'000'000'000;
    nanos %= 1'000'000'000;
    const auto bound = from_whole_seconds(seconds, static_cast<std::uint32_t>(nanos));
    return bound ? *bound : now_utc();
  }

 private:
  std::optional<std::uint32_t> coarse_slack_;
};

}  // namespace

const Clock& system_clock() {
  static const SystemClock clock;
  return clock;
}

}  // namespace oq
