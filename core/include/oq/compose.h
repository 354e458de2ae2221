#pragma once

#include <expected>
#include <memory>

#include "oq/chain.h"
#include "oq/clock.h"
#include "oq/context.h"
#include "oq/core_error.h"
#include "oq/events.h"

namespace oq {

// Merges two contexts for the same use into one that can never be granted more than the lower of
// the levels the inputs reach on their own under `chain`: shared gaps keep the weaker status,
// shared requirements the stricter minimum, out-of-class membership and the earlier deadline win,
// scopes intersect, and the ceilings fall to the meet of the inputs'. The result is bound to
// `chain` through its expected chain hash. Tokens, profiles and requirements that need no change
// are shared with the inputs, never copied. The inputs' compilations send their events to `sink`,
// if any. The result is shared, as every caller shares it.
std::expected<std::shared_ptr<const ProofContext>, CoreError> compose_contexts(
    const std::shared_ptr<const ProofContext>& g1, const std::shared_ptr<const ProofContext>& g2,
    const PermissionChain& chain, const Clock& clock = system_clock(),
    events::Sink* sink = nullptr);

// JSON values equal by kind: integers equal integers of the same value, doubles doubles, objects
// compare as maps. Unlike plain JSON equality, 1 and 1.0 differ.
bool same_json(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace oq
