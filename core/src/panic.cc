#include "oq/panic.h"

#include <utility>

namespace oq {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace oq
