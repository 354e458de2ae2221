#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "oq/events.h"
#include "oq/judgment.h"
#include "oq/permission.h"
#include "oq/text_hash.h"
#include "oq/utc_time.h"

namespace oq {

// The liveness of a negative-control token at the moment of use. Only Live counts as live.
enum class NegativeControlStatus : std::uint8_t { Live, Stale, Failed, Missing };

// "Live", "Stale", "Failed" or "Missing".
std::string_view negative_control_status_name(NegativeControlStatus status);

// The moment of use of a live judgment. Immutable once built.
struct RuntimeContext {
  std::string context_fingerprint;
  std::unordered_map<std::string, NegativeControlStatus, TextHash, std::equal_to<>>
      negative_control_states;
  UtcTime now;
  bool strict_mode = true;
};

// "RuntimeContext(now=<RFC 3339>, fp=\"...\", strict_mode=true|false)".
std::string runtime_repr(const RuntimeContext& runtime);

// The check of the runtime evaluation that decided its result; Passed when none floored it.
enum class LiveCheck : std::uint8_t { Deadline, Fingerprint, NegativeControl, Evidence, Passed };

// What a runtime evaluation gave, and why: a floor and the check that chose it, or the compiled
// level when every check passed. A floor can bear the compiled level's name, so only the check
// tells a floored result from a passed one.
struct LiveOutcome {
  Permission permission;
  LiveCheck decided_by;
};

// The judgment's permission at the moment `runtime` describes, and the check that decided it. In
// order: a fired deadline gives the default chain's ExpiryFloor, a foreign fingerprint its Bottom,
// and in strict mode a negative-control token that is not Live its Refused; otherwise the
// compiled level, unless a token compilation counted as evidence has expired by then, which gives
// ExpiryFloor too. Floors replace the compiled level, whatever chain compiled it. Never fails. Its
// events go to `sink`, if any.
LiveOutcome evaluate_live(const CompiledJudgment& judgment, const RuntimeContext& runtime,
                          events::Sink* sink = nullptr);

// The fixed message of the event that `check` emits, e.g. "fingerprint mismatch; returning Bottom".
std::string_view live_check_message(LiveCheck check);

}  // namespace oq
