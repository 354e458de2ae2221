#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace oq {

inline constexpr std::size_t kMaxLevelNameBytes = 64;

// Why a level name is invalid.
struct EmptyName {
  std::string text() const;
};
struct NameTooLong {
  std::uint64_t length;
  std::uint64_t max;
  std::string text() const;
};
struct CharsetViolation {
  char32_t offending_char;
  std::uint64_t position;
  std::string text() const;
};

class LevelNameError {
 public:
  using Kind = std::variant<EmptyName, NameTooLong, CharsetViolation>;
  explicit LevelNameError(Kind kind) : kind_(kind) {}
  const Kind& kind() const { return kind_; }
  // The reason as it appears inside chain error messages.
  std::string text() const;

 private:
  Kind kind_;
};

// Nothing for a valid level name, otherwise the first rule it breaks.
std::optional<LevelNameError> validate_level_name(std::string_view name);

// The process-wide stored copy of `name`, stored on first sight and never freed or moved.
std::string_view intern(std::string_view name);

// A permission level, identified by its interned name. Two words; copying never allocates.
class Permission {
 public:
  // The empty name: a placeholder that no chain contains, to be assigned a real level.
  constexpr Permission() = default;
  // The level named `name`, interning the name.
  static Permission named(std::string_view name) { return Permission(intern(name)); }

  std::string_view name() const { return name_; }

  friend bool operator==(Permission a, Permission b) {
    return a.name_.data() == b.name_.data() ? a.name_.size() == b.name_.size() : a.name_ == b.name_;
  }

 private:
  explicit Permission(std::string_view interned) : name_(interned) {}
  std::string_view name_;
};

}  // namespace oq
