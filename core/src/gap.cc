#include "oq/gap.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "oq/panic.h"

namespace oq {

std::string_view gap_kind_name(GapKind kind) {
  switch (kind) {
    case GapKind::Open:
      return "open";
    case GapKind::Bounded:
      return "bounded";
    case GapKind::Closed:
      return "closed";
  }
  return "";
}

std::expected<GapKind, InputError> parse_gap_kind(std::string_view name) {
  if (name == "open") return GapKind::Open;
  if (name == "bounded") return GapKind::Bounded;
  if (name == "closed") return GapKind::Closed;
  return std::unexpected(UnknownGapStatus{std::string(name)});
}

std::expected<GapKind, InputError> parse_required_status(std::string_view name) {
  if (name == "bounded") return GapKind::Bounded;
  if (name == "closed") return GapKind::Closed;
  return std::unexpected(UnknownRequiredStatus{std::string(name)});
}

GapStatus GapStatus::bounded(double value) {
  if (std::isnan(value)) panic("numeric bound value must not be NaN");
  return GapStatus(GapKind::Bounded, value);
}

GapRequirement GapRequirement::any_of(std::vector<Arm> arms) {
  std::size_t deepest = 0;
  for (const Arm& arm : arms) {
    if (!arm) panic("any_of arm must not be null");
    deepest = std::max(deepest, arm->depth_);
  }
  return GapRequirement(std::string(), GapKind::Open, true, std::move(arms), deepest + 1);
}

GapRequirement::~GapRequirement() {
  if (arms_.empty()) return;
  // An arm owned only by this worklist would destroy its own arms recursively; moving them here
  // first leaves it childless, so a deep chain unwinds in a loop instead of on the stack.
  std::vector<Arm> pending = std::move(arms_);
  while (!pending.empty()) {
    Arm arm = std::move(pending.back());
    pending.pop_back();
    if (arm.use_count() == 1 && !arm->arms_.empty()) {
      std::move(arm->arms_.begin(), arm->arms_.end(), std::back_inserter(pending));
      arm->arms_.clear();
    }
  }
}

}  // namespace oq
