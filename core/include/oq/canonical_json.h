#pragma once

// JSON in canonical form: the form the decision log hashes.
#include <expected>
#include <string>
#include <string_view>

#include "oq/request_reader.h"

namespace oq {

// `json` with object keys in ascending order of code points, no insignificant whitespace,
// strings escaped only where JSON requires it (quotes, backslashes, controls) and numbers as
// Python writes them (integers as their digits, other numbers as repr writes a float): what
// Python's json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False) writes
// for json.loads(text). The error says that `json` is not such a document.
std::expected<std::string, std::string> canonical_json(std::string_view json);

// The canonical form of the document `json`, appended to `out`; false, with `out` as it was, for
// text that is not a JSON document this form writes (not JSON, a lone surrogate escape, a number
// no double holds). Integers of any size are written as their digits, as Python holds them.
bool append_canonical(std::string& out, JsonBytes json);

}  // namespace oq
