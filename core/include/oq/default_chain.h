#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "oq/chain.h"
#include "oq/input_error.h"

namespace oq {

// The built-in chain, OOC at the bottom to AAA at the top, built once per process.
const std::shared_ptr<const PermissionChain>& default_chain();

// The twelve levels of the default chain.
struct DefaultLevels {
  Permission OOC, EXP, REF, UNS, ETA, ESC, ROL, DIA, REV, AEX, ALR, AAA;
};
const DefaultLevels& default_levels();

// The default chain's level named like `text` once upper-cased.
std::expected<Permission, InputError> default_level_from_str(std::string_view text);

}  // namespace oq
