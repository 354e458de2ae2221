#include "oq/clock.h"

namespace oq {

namespace {

class SystemClock final : public Clock {
 public:
  UtcTime now() const override { return now_utc(); }
};

}  // namespace

const Clock& system_clock() {
  static const SystemClock clock;
  return clock;
}

}  // namespace oq
