#pragma once

#include <memory>

#include "chain.h"

namespace oq {

// The built-in chain, OOC at the bottom to AAA at the top, built once per process.
const std::shared_ptr<const PermissionChain>& default_chain();

// The twelve levels of the default chain.
struct DefaultLevels {
  Permission OOC, EXP, REF, UNS, ETA, ESC, ROL, DIA, REV, AEX, ALR, AAA;
};
const DefaultLevels& default_levels();

}  // namespace oq
