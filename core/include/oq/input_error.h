#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace oq {

// Each kind keeps the caller's text exactly as given.
struct UnknownGapStatus {
  std::string status;
  std::string text() const;
};
struct UnknownRequiredStatus {
  std::string status;
  std::string text() const;
};
struct UnknownTokenStatus {
  std::string status;
  std::string text() const;
};
struct InvalidDetails {
  std::string description;
  std::string text() const;
};
struct UnknownPermission {
  std::string name;
  std::string text() const;
};
struct InvalidChainHashHex {
  std::string hex;
  std::string text() const;
};

// Why a record could not be built from what the caller gave.
class InputError {
 public:
  using Kind = std::variant<UnknownGapStatus, UnknownRequiredStatus, UnknownTokenStatus,
                            InvalidDetails, UnknownPermission, InvalidChainHashHex>;
  // Each kind converts implicitly, so a function can return `std::unexpected(SomeKind{...})`.
  template <class K>
  requires std::is_constructible_v<Kind, K> InputError(K kind)
      : kind_(std::move(kind)) {}  // NOLINT(google-explicit-constructor)
  const Kind& kind() const { return kind_; }
  // The message shown to callers.
  std::string text() const;

 private:
  Kind kind_;
};

}  // namespace oq
