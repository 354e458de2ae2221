#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "oq/chain_hash.h"
#include "oq/open_table.h"
#include "oq/permission.h"
#include "oq/text_hash.h"

namespace oq {

// The structural roles a chain binds to its levels, in discriminant order.
enum class ChainRole : std::uint8_t {
  Bottom,
  ExpiryFloor,
  Refused,
  Unsatisfied,
  DisallowedUsesCeiling,
  BlockerThreshold,
  Top,
};

inline constexpr std::array<ChainRole, kRoleCount> kAllRoles = {
    ChainRole::Bottom,      ChainRole::ExpiryFloor,           ChainRole::Refused,
    ChainRole::Unsatisfied, ChainRole::DisallowedUsesCeiling, ChainRole::BlockerThreshold,
    ChainRole::Top,
};

// The role's name, as messages, reprs and hashes use it.
std::string_view role_name(ChainRole role);

struct TooFewLevels {
  std::uint64_t count;
  std::string text() const;
};
struct TooManyLevels {
  std::uint64_t count;
  std::uint64_t max;
  std::string text() const;
};
struct InvalidName {
  std::string name;
  LevelNameError reason;
  std::string text() const;
};
struct DuplicateName {
  std::string name;
  std::string text() const;
};
struct MissingRole {
  ChainRole role;
  std::string text() const;
};
struct RoleIndexOutOfBounds {
  ChainRole role;
  std::uint64_t index;
  std::uint64_t len;
  std::string text() const;
};
struct RoleOrderViolation {
  ChainRole role;
  std::uint64_t index;
  std::string constraint;
  std::string text() const;
};
struct ForeignLevel {
  std::string name;
  std::string text() const;
};

// Why a chain could not be built or used.
class ChainError {
 public:
  using Kind = std::variant<TooFewLevels, TooManyLevels, InvalidName, DuplicateName, MissingRole,
                            RoleIndexOutOfBounds, RoleOrderViolation, ForeignLevel>;
  explicit ChainError(Kind kind) : kind_(std::move(kind)) {}
  const Kind& kind() const { return kind_; }
  // The message shown to callers.
  std::string text() const;

 private:
  Kind kind_;
};

inline constexpr std::size_t kMinLevels = 2;
inline constexpr std::size_t kMaxLevels = 256;

// A validated, totally ordered list of levels, bottom first, with every role bound. Immutable.
class PermissionChain {
 public:
  using RoleBindings = std::array<std::optional<std::uint64_t>, kRoleCount>;

  // Validates the level `names` (bottom first) and `roles`; the first broken rule is the error.
  // Each name that passes the name rules is interned, even when a later rule fails.
  static std::expected<PermissionChain, ChainError> create(std::span<const std::string_view> names,
                                                           const RoleBindings& roles);

  // The level bound to `role`.
  Permission role(ChainRole role) const { return levels_[roles_[static_cast<int>(role)]]; }
  // The index bound to `role`.
  std::uint64_t role_index(ChainRole role) const { return roles_[static_cast<int>(role)]; }
  // The level named exactly `name`, if any.
  std::optional<Permission> parse(std::string_view name) const;
  // Whether a level is named exactly `name`.
  bool contains(std::string_view name) const { return index_.contains(name); }
  bool contains(Permission p) const { return rank(p).has_value(); }
  // The rank (0 = bottom) of the level named like `p`; absent for a foreign level.
  std::optional<std::uint8_t> rank(Permission p) const {
    const char* name = p.name().data();
    if (name == nullptr) return std::nullopt;  // the placeholder level, in no chain
    const auto* slot = by_address_.find(name);
    if (!slot) return std::nullopt;
    return slot->value;
  }
  // rank(a) against rank(b); absent when either is foreign.
  std::optional<std::strong_ordering> cmp(Permission a, Permission b) const;
  // The lower of `a` and `b`, as stored in this chain; the first foreign one is the error.
  std::expected<Permission, ChainError> meet(Permission a, Permission b) const;
  // All levels, bottom first.
  std::span<const Permission> levels() const { return levels_; }
  std::size_t size() const { return levels_.size(); }
  const ChainHash& hash() const { return hash_; }

 private:
  PermissionChain(std::vector<Permission> levels, std::array<std::uint64_t, kRoleCount> roles,
                  std::unordered_map<std::string_view, std::uint8_t, TextHash> index)
      : levels_(std::move(levels)),
        roles_(roles),
        index_(std::move(index)),
        by_address_(rank_table(levels_)),
        hash_(ChainHash::of(levels_, roles_)) {}

  using RankTable = OpenTable<AddressKeys<std::uint8_t>>;
  static RankTable rank_table(std::span<const Permission> levels);

  std::vector<Permission> levels_;
  std::array<std::uint64_t, kRoleCount> roles_;
  std::unordered_map<std::string_view, std::uint8_t, TextHash> index_;
  // Ranks by name address: names are interned, so one name has one address, and finding a
  // level's rank costs comparing a few pointers, or a hash of one, rather than comparing names.
  RankTable by_address_;
  ChainHash hash_;
};

}  // namespace oq
