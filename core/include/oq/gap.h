#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "oq/input_error.h"
#include "oq/permission.h"

namespace oq {

// How far a gap in the evidence is resolved, lowest first. Also the minimum a requirement asks.
enum class GapKind : std::uint8_t { Open, Bounded, Closed };

// "open", "bounded" or "closed".
std::string_view gap_kind_name(GapKind kind);

// The kind named exactly `name`.
std::expected<GapKind, InputError> parse_gap_kind(std::string_view name);

// The minimum named exactly "bounded" or "closed"; anything else, "open" included, is an error.
std::expected<GapKind, InputError> parse_required_status(std::string_view name);

// Whether a gap of kind `status` meets `minimum`: its rank is at least the minimum's.
constexpr bool satisfies(GapKind status, GapKind minimum) { return status >= minimum; }

// A gap's status; a bounded one carries either a numeric bound (never NaN) or none at all.
class GapStatus {
 public:
  static GapStatus open() { return GapStatus(GapKind::Open, std::nullopt); }
  static GapStatus closed() { return GapStatus(GapKind::Closed, std::nullopt); }
  // Bounded at `value`. Panics when `value` is NaN.
  static GapStatus bounded(double value);
  // Bounded with no bound value, as a token's bounding produces.
  static GapStatus bounded_unspecified() { return GapStatus(GapKind::Bounded, std::nullopt); }

  GapKind kind() const { return kind_; }
  // The numeric bound; absent unless bounded with a value.
  std::optional<double> bound() const {
    return has_bound_ ? std::optional<double>(bound_) : std::nullopt;
  }

  // Same kind and, for bounded, equal bounds: 0.0 equals -0.0 and no bound equals only no bound.
  friend bool operator==(const GapStatus& a, const GapStatus& b) {
    return a.kind_ == b.kind_ && a.has_bound_ == b.has_bound_ && a.bound_ == b.bound_;
  }

 private:
  GapStatus(GapKind kind, std::optional<double> bound)
      : bound_(bound.value_or(0.0)), kind_(kind), has_bound_(bound.has_value()) {}

  // The bound's value and whether there is one, side by side, so that a status takes 16 bytes.
  double bound_;
  GapKind kind_;
  bool has_bound_;
};

// A named gap in the evidence. Immutable.
class GapRecord {
 public:
  GapRecord(std::string gap_id, std::string gap_type, GapStatus status)
      : gap_id_(std::move(gap_id)), gap_type_(std::move(gap_type)), status_(status) {}
  // The id and type of `like` with the status `status`.
  GapRecord(const GapRecord& like, GapStatus status)
      : gap_id_(like.gap_id_), gap_type_(like.gap_type_), status_(status) {}

  const std::string& gap_id() const { return gap_id_; }
  const std::string& gap_type() const { return gap_type_; }
  const GapStatus& status() const { return status_; }

  // Byte-equal id and type and equal status.
  friend bool operator==(const GapRecord&, const GapRecord&) = default;

 private:
  std::string gap_id_;
  std::string gap_type_;
  GapStatus status_;
};

// A composition's merged gaps are one allocation of this many records or more; at 80 bytes a
// record, the dozen a typical composition merges stay within the allocator's per-thread cache.
static_assert(sizeof(GapRecord) <= 80, "a gap record grew past the size its merge relies on");

// A minimum status for one gap, or a disjunction of requirements. Immutable; copies share the
// arms, which are never copied deeply. Destruction never recurses, however deep the nesting.
class GapRequirement {
 public:
  using Arm = std::shared_ptr<const GapRequirement>;

  // Gap `gap_id` must reach at least `minimum`.
  static GapRequirement single(std::string gap_id, GapKind minimum) {
    return GapRequirement(std::move(gap_id), minimum, false, {}, 1);
  }
  // Met when any arm is; the id is empty and the minimum open. Zero arms are allowed here.
  static GapRequirement any_of(std::vector<Arm> arms);

  GapRequirement(const GapRequirement&) = default;
  GapRequirement(GapRequirement&&) noexcept = default;
  GapRequirement& operator=(const GapRequirement&) = default;
  GapRequirement& operator=(GapRequirement&&) noexcept = default;
  ~GapRequirement();

  // A copy whose minimum is `minimum`; a disjunction shares its arms with this one.
  GapRequirement with_minimum(GapKind minimum) const {
    GapRequirement copy(*this);
    copy.minimum_ = minimum;
    return copy;
  }

  // The gap id; empty for a disjunction.
  const std::string& gap_id() const { return gap_id_; }
  // The minimum; open for a disjunction.
  GapKind minimum_status() const { return minimum_; }
  bool is_any_of() const { return is_any_of_; }
  // The arms of a disjunction, in order; empty for a single requirement.
  std::span<const Arm> arms() const { return arms_; }
  // The requirements on the longest path from this one down to a leaf, itself included: 1 for a
  // single requirement or an empty disjunction.
  std::size_t depth() const { return depth_; }

 private:
  GapRequirement(std::string gap_id, GapKind minimum, bool is_any_of, std::vector<Arm> arms,
                 std::size_t depth)
      : gap_id_(std::move(gap_id)),
        minimum_(minimum),
        is_any_of_(is_any_of),
        arms_(std::move(arms)),
        depth_(depth) {}

  std::string gap_id_;
  GapKind minimum_;
  bool is_any_of_;
  // Mutable only so that the destructor can take over the children of arms it owns alone.
  mutable std::vector<Arm> arms_;
  std::size_t depth_;
};

// A permission level and the requirements that must all hold to grant it. Requirements are held
// by value; copying one shares its arms. Immutable.
class Profile {
 public:
  Profile(Permission permission, std::vector<GapRequirement> required_gaps)
      : permission_(permission), required_gaps_(std::move(required_gaps)) {}

  Permission permission() const { return permission_; }
  std::span<const GapRequirement> required_gaps() const { return required_gaps_; }

 private:
  Permission permission_;
  std::vector<GapRequirement> required_gaps_;
};

}  // namespace oq
