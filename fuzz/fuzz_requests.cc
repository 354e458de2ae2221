// Request and chain documents read from arbitrary bytes. Oracles: the reader never crashes; it
// either refuses with a path under the root, or yields a context that compiles to a judgment or
// to the engine's own refusal; a document it reads passes the JSON check, and one it refuses as
// JSON fails it with the same words.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "oq/clock.h"
#include "oq/compiler.h"
#include "oq/default_chain.h"
#include "oq/request_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace oq;
  const JsonBytes json{std::string_view(reinterpret_cast<const char*>(data), size), 0};
  const auto check = check_json(json);
  const auto request = read_request(json, nullptr, "$");
  if (!request) {
    FUZZ_CHECK(request.error().path.starts_with("$"));
    FUZZ_CHECK(!request.error().detail.empty());
    // What the JSON check finds, the reader reports first.
    if (check)
      FUZZ_CHECK(check->path == request.error().path && check->detail == request.error().detail);
  } else {
    FUZZ_CHECK(!check);
    FUZZ_CHECK(request->context != nullptr);
    const auto& chain = request->chain ? *request->chain : *default_chain();
    const FixedClock clock(*from_unix_seconds(1'700'000'000));
    const auto judgment = compile_context(request->context, chain, clock);
    if (!judgment) FUZZ_CHECK(!judgment.error().text().empty());
  }
  const auto chain = read_chain(json, "$.chain");
  if (!chain) FUZZ_CHECK(chain.error().path.starts_with("$.chain"));
  return 0;
}
