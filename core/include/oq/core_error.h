#pragma once

#include <string>
#include <variant>

#include "oq/chain.h"

namespace oq {

// The context is not well formed for the chain it is compiled against.
struct MalformedContext {
  std::string detail;
  std::string text() const { return "malformed context: " + detail; }
};
// A chain operation failed on a level the chain does not hold.
struct ChainFailure {
  ChainError error;
  std::string text() const { return "chain error: " + error.text(); }
};
// Two contexts could not be composed.
struct CompositionFailed {
  std::string detail;
  std::string text() const { return "composition failed: " + detail; }
};

// The engine's error for compilation and composition.
class CoreError {
 public:
  using Kind = std::variant<MalformedContext, ChainFailure, CompositionFailed>;
  template <class K>
  requires std::is_constructible_v<Kind, K> CoreError(K kind)
      : kind_(std::move(kind)) {}  // NOLINT(google-explicit-constructor)
  const Kind& kind() const { return kind_; }
  // The message shown to callers.
  std::string text() const {
    return std::visit([](const auto& k) { return k.text(); }, kind_);
  }

 private:
  Kind kind_;
};

// `error` as a CoreError. Out of line: building the error inline lets GCC's optimiser report
// the moved-from variant as maybe-uninitialized.
CoreError chain_failure(const ChainError& error);

}  // namespace oq
