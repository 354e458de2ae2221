#pragma once

#include <string_view>

namespace oq {

// Where the compiler's events come from, whichever of its units emits them.
inline constexpr std::string_view kCompilerTarget = "ostrel_quorvane_core::compiler";
inline constexpr std::string_view kCompilerFile = "ostrel-quorvane-core/src/compiler";

}  // namespace oq
