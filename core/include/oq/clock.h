#pragma once

#include "oq/utc_time.h"

namespace oq {

// Where an operation reads the current time: the system clock in production, a fixed one in tests.
class Clock {
 public:
  virtual ~Clock() = default;
  // The current UTC time. The system clock panics when it reads before 1970.
  virtual UtcTime now() const = 0;
};

// The real-time clock.
const Clock& system_clock();

// A clock that always reads `at`.
class FixedClock final : public Clock {
 public:
  explicit FixedClock(UtcTime at) : at_(at) {}
  UtcTime now() const override { return at_; }

 private:
  UtcTime at_;
};

}  // namespace oq
