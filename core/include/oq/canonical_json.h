#pragma once

// JSON in canonical form: the form the decision log hashes.
#include <expected>
#include <string>
#include <string_view>

namespace oq {

// `json` with object keys in ascending order of code points, no insignificant whitespace,
// strings escaped only where JSON requires it (quotes, backslashes, controls) and numbers as
// Python writes them (integers as their digits, other numbers as repr writes a float): what
// Python's json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False) writes
// for json.loads(text). The error says why `json` is not such a document; an integer beyond 64
// bits is one this form leaves to Python.
std::expected<std::string, std::string> canonical_json(std::string_view json);

}  // namespace oq
