// Token details: any bytes either parse or are refused with a position; what parses writes back
// to text that parses again to the same value and the same text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "oq/details.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = oq::parse_details(text);
  if (!parsed) {
    FUZZ_CHECK(parsed.error().find(" at line ") != std::string::npos);
    return 0;
  }
  const std::string written = oq::dump_details(*parsed);
  const auto again = oq::parse_details(written);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *parsed);
  FUZZ_CHECK(oq::dump_details(*again) == written);
  return 0;
}
