#pragma once

#include <stdexcept>
#include <string>

namespace oq {

// An engine invariant that does not hold. The binding raises it as the panic exception; it never
// describes bad caller input, which is always reported through an error value.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Abandons the current operation with an internal failure carrying `message`.
[[noreturn]] void panic(std::string message);

}  // namespace oq
