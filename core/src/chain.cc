#include "oq/chain.h"

#include <bit>

#include "oq/quote.h"

namespace oq {

std::string_view role_name(ChainRole role) {
  switch (role) {
    case ChainRole::Bottom:
      return "Bottom";
    case ChainRole::ExpiryFloor:
      return "ExpiryFloor";
    case ChainRole::Refused:
      return "Refused";
    case ChainRole::Unsatisfied:
      return "Unsatisfied";
    case ChainRole::DisallowedUsesCeiling:
      return "DisallowedUsesCeiling";
    case ChainRole::BlockerThreshold:
      return "BlockerThreshold";
    case ChainRole::Top:
      return "Top";
  }
  return "";
}

std::string TooFewLevels::text() const {
  return "chain has too few levels: " + std::to_string(count) + " (minimum 2)";
}

std::string TooManyLevels::text() const {
  return "chain has too many levels: " + std::to_string(count) + " (maximum " +
         std::to_string(max) + ")";
}

std::string InvalidName::text() const {
  return "invalid level name " + quote_string(name) + ": " + reason.text();
}

std::string DuplicateName::text() const { return "duplicate level name " + quote_string(name); }

std::string MissingRole::text() const {
  return "chain is missing role " + std::string(role_name(role));
}

std::string RoleIndexOutOfBounds::text() const {
  return "role " + std::string(role_name(role)) + " maps to index " + std::to_string(index) +
         " but chain has only " + std::to_string(len) + " levels";
}

std::string RoleOrderViolation::text() const {
  return "role " + std::string(role_name(role)) + " at index " + std::to_string(index) +
         " violates structural constraint: " + constraint;
}

std::string ForeignLevel::text() const {
  return "level " + quote_string(name) + " is not in this chain";
}

std::string ChainError::text() const {
  return std::visit([](const auto& error) { return error.text(); }, kind_);
}

namespace {

std::optional<ChainError> check_order(const std::array<std::uint64_t, kRoleCount>& r,
                                      std::uint64_t n) {
  const auto at = [&](ChainRole role) { return r[static_cast<int>(role)]; };
  const auto violation = [](ChainRole role, std::uint64_t index, std::string constraint) {
    return ChainError(RoleOrderViolation{role, index, std::move(constraint)});
  };
  const auto below = [&](ChainRole role, ChainRole bound) -> std::optional<ChainError> {
    if (at(role) < at(bound)) return std::nullopt;
    return violation(role, at(role),
                     std::string(role_name(role)) + " index (" + std::to_string(at(role)) +
                         ") must be strictly less than " + std::string(role_name(bound)) +
                         " index (" + std::to_string(at(bound)) + ")");
  };
  if (at(ChainRole::Bottom) != 0) {
    return violation(ChainRole::Bottom, at(ChainRole::Bottom), "Bottom must be index 0");
  }
  if (at(ChainRole::Top) != n - 1) {
    return violation(ChainRole::Top, at(ChainRole::Top),
                     "Top must be index " + std::to_string(n - 1) + " (last)");
  }
  for (const ChainRole role :
       {ChainRole::ExpiryFloor, ChainRole::Refused, ChainRole::Unsatisfied}) {
    if (auto error = below(role, ChainRole::BlockerThreshold)) return error;
  }
  return below(ChainRole::DisallowedUsesCeiling, ChainRole::Top);
}

}  // namespace

std::expected<PermissionChain, ChainError> PermissionChain::create(
    std::span<const std::string_view> names, const RoleBindings& roles) {
  const std::uint64_t n = names.size();
  if (n < kMinLevels) return std::unexpected(ChainError(TooFewLevels{n}));
  if (n > kMaxLevels) return std::unexpected(ChainError(TooManyLevels{n, kMaxLevels}));

  // Only valid names enter the process-wide table, so hostile input cannot grow it with
  // arbitrarily large texts.
  std::vector<Permission> levels;
  levels.reserve(names.size());
  std::unordered_map<std::string_view, std::uint8_t, TextHash> index;
  index.reserve(names.size());
  for (std::size_t rank = 0; rank < names.size(); ++rank) {
    const std::string_view name = names[rank];
    if (auto reason = validate_level_name(name)) {
      return std::unexpected(ChainError(InvalidName{std::string(name), *reason}));
    }
    levels.push_back(Permission::named(name));
    if (!index.emplace(levels.back().name(), static_cast<std::uint8_t>(rank)).second) {
      return std::unexpected(ChainError(DuplicateName{std::string(name)}));
    }
  }

  std::array<std::uint64_t, kRoleCount> bound{};
  for (const ChainRole role : kAllRoles) {
    const auto& binding = roles[static_cast<int>(role)];
    if (!binding) return std::unexpected(ChainError(MissingRole{role}));
    if (*binding >= n) {
      return std::unexpected(ChainError(RoleIndexOutOfBounds{role, *binding, n}));
    }
    bound[static_cast<int>(role)] = *binding;
  }
  if (auto error = check_order(bound, n)) return std::unexpected(std::move(*error));

  return PermissionChain(std::move(levels), bound, std::move(index));
}

std::optional<Permission> PermissionChain::parse(std::string_view name) const {
  if (auto found = index_.find(name); found != index_.end()) return levels_[found->second];
  return std::nullopt;
}

PermissionChain::RankTable PermissionChain::rank_table(std::span<const Permission> levels) {
  RankTable table(levels.size());
  for (std::size_t rank = 0; rank < levels.size(); ++rank) {
    table.insert(levels[rank].name().data(), static_cast<std::uint8_t>(rank));
  }
  return table;
}

std::optional<std::strong_ordering> PermissionChain::cmp(Permission a, Permission b) const {
  const auto ra = rank(a);
  const auto rb = rank(b);
  if (!ra || !rb) return std::nullopt;
  return *ra <=> *rb;
}

std::expected<Permission, ChainError> PermissionChain::meet(Permission a, Permission b) const {
  const auto ra = rank(a);
  if (!ra) return std::unexpected(ChainError(ForeignLevel{std::string(a.name())}));
  const auto rb = rank(b);
  if (!rb) return std::unexpected(ChainError(ForeignLevel{std::string(b.name())}));
  return levels_[std::min(*ra, *rb)];
}

}  // namespace oq
