#pragma once

#include <expected>
#include <memory>

#include "oq/chain.h"
#include "oq/clock.h"
#include "oq/context.h"
#include "oq/core_error.h"
#include "oq/events.h"
#include "oq/judgment.h"

namespace oq {

// Validates `context` against `chain`, then derives its permission phase by phase: membership,
// context expiry, the descending search, structural blockers, disallowed uses, the authority and
// non-promotion ceilings, expired tokens and negative-control registration. The first failed
// validation check is the error. Deterministic apart from the readings of `clock`. Its events go
// to `sink`, if any.
std::expected<CompiledJudgment, CoreError> compile_context(
    std::shared_ptr<const ProofContext> context, const PermissionChain& chain,
    const Clock& clock = system_clock(), events::Sink* sink = nullptr);

// The permission compile_context reaches, through the same pipeline and with the same events,
// without keeping the derivation.
std::expected<Permission, CoreError> compile_permission(
    const std::shared_ptr<const ProofContext>& context, const PermissionChain& chain,
    const Clock& clock = system_clock(), events::Sink* sink = nullptr);

}  // namespace oq
