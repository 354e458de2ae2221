#include "oq/core_error.h"

namespace oq {

CoreError chain_failure(const ChainError& error) { return ChainFailure{error}; }

}  // namespace oq
