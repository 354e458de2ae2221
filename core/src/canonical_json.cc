#include "oq/canonical_json.h"

#include <simdjson.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "json_text.h"

namespace oq {

namespace {

namespace dom = simdjson::dom;

void write(dom::element value, std::string& out) {
  switch (value.type()) {
    case dom::element_type::OBJECT: {
      std::vector<std::pair<std::string_view, dom::element>> members;
      for (const auto [key, member] : dom::object(value)) members.emplace_back(key, member);
      std::stable_sort(members.begin(), members.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      out += '{';
      for (std::size_t i = 0; i < members.size(); ++i) {
        // A later duplicate replaces an earlier one, as a dict does.
        if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
        if (out.back() != '{') out += ',';
        out += json_text::quoted(members[i].first);
        out += ':';
        write(members[i].second, out);
      }
      out += '}';
      return;
    }
    case dom::element_type::ARRAY: {
      out += '[';
      bool first = true;
      for (const dom::element item : dom::array(value)) {
        if (!first) out += ',';
        first = false;
        write(item, out);
      }
      out += ']';
      return;
    }
    case dom::element_type::STRING:
      out += json_text::quoted(std::string_view(value));
      return;
    case dom::element_type::INT64:
      out += std::to_string(int64_t(value));
      return;
    case dom::element_type::UINT64:
      out += std::to_string(uint64_t(value));
      return;
    case dom::element_type::DOUBLE:
      out += json_text::float_repr(double(value));
      return;
    case dom::element_type::BOOL:
      out += bool(value) ? "true" : "false";
      return;
    case dom::element_type::NULL_VALUE:
      out += "null";
      return;
  }
}

}  // namespace

std::expected<std::string, std::string> canonical_json(std::string_view json) {
  thread_local dom::parser parser;
  dom::element root;
  if (const auto error = parser.parse(json.data(), json.size()).get(root)) {
    return std::unexpected(std::string(simdjson::error_message(error)));
  }
  std::string out;
  out.reserve(json.size());
  write(root, out);
  // The parser keeps its buffers for the next document, but not a large one's.
  if (parser.capacity() > (std::size_t{1} << 20)) parser = dom::parser();
  return out;
}

}  // namespace oq
