#include "oq/details.h"

#include <optional>

#include "json_text.h"
#include "oq/panic.h"
#include "utf8.h"

namespace oq {

namespace {

using json = nlohmann::json;
using DomParser = nlohmann::detail::json_sax_dom_parser<json>;

// Builds the document through the library's DOM builder while counting the nesting depth, so
// that over-deep input is refused at its first offending bracket before anything deeper exists.
class DepthLimitedParser {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  explicit DepthLimitedParser(json& result) : dom_(result, /*allow_exceptions_=*/false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool value) { return dom_.boolean(value); }
  bool number_integer(number_integer_t value) { return dom_.number_integer(value); }
  bool number_unsigned(number_unsigned_t value) { return dom_.number_unsigned(value); }
  bool number_float(number_float_t value, const string_t& text) {
    return dom_.number_float(value, text);
  }
  bool string(string_t& value) { return dom_.string(value); }
  bool binary(binary_t& value) { return dom_.binary(value); }
  bool start_object(std::size_t size) { return enter() && dom_.start_object(size); }
  bool key(string_t& value) { return dom_.key(value); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool start_array(std::size_t size) { return enter() && dom_.start_array(size); }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& error) {
    error_ = Fault{position, error.id, error.what(), last_token};
    return false;
  }

  bool too_deep() const { return too_deep_; }
  // The library's fault: its byte count (the 1-based offset of the last byte read, one past the
  // end for end of input) and its message.
  struct Fault {
    std::size_t position;
    int id;
    std::string message;
    std::string last_token;
  };
  const std::optional<Fault>& error() const { return error_; }

 private:
  bool enter() {
    if (++depth_ > kMaxDetailsDepth) {
      too_deep_ = true;
      return false;
    }
    return true;
  }

  DomParser dom_;
  std::size_t depth_ = 0;
  bool too_deep_ = false;
  std::optional<Fault> error_;
};

// " at line L column C" for the byte at `offset` (which may be one past the end).
std::string position_suffix(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

// The offset of the bracket that first opens nesting level `depth`. Only called once the parser
// has reached that bracket, so the text before it is valid JSON and only strings need care.
std::size_t find_opening_at_depth(std::string_view text, std::size_t depth) {
  std::size_t current = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      i = json_text::string_end(text, i);
    } else if (c == '[' || c == '{') {
      if (++current == depth) return i;
    } else if (c == ']' || c == '}') {
      --current;
    }
  }
  return text.size();
}

// The library's error id for a number too large for a double.
constexpr int kNumberOverflow = 406;

// The first byte of the number whose last byte is at `offset`.
std::size_t number_start(std::string_view text, std::size_t offset) {
  if (offset >= text.size()) return offset;
  constexpr std::string_view kNumberChars = "0123456789+-.eE";
  while (offset > 0 && kNumberChars.find(text[offset - 1]) != std::string_view::npos) --offset;
  return offset;
}

// The longest excerpt of the text read last that a description quotes.
constexpr std::size_t kMaxExcerptBytes = 40;

// `description` with an over-long quote of the text read last (a syntax error's "last read: '...'",
// a number overflow's "parsing '...'") cut to its final bytes, and with any ill-formed UTF-8 (the
// quote repeats the input's bytes) replaced, so the text is short and safe to show.
std::string tidy(std::string_view description, std::string_view last_token) {
  std::string cut;
  if (last_token.size() > kMaxExcerptBytes) {
    const std::string quoted = "'" + std::string(last_token) + "'";
    if (const auto at = description.find(quoted); at != std::string_view::npos) {
      std::size_t from = last_token.size() - kMaxExcerptBytes;
      while (from < last_token.size() &&
             (static_cast<unsigned char>(last_token[from]) & 0xC0) == 0x80) {
        ++from;
      }
      cut.append(description.substr(0, at));
      cut.append("'...").append(last_token.substr(from)).append("'");
      cut.append(description.substr(at + quoted.size()));
      description = cut;
    }
  }
  std::string out;
  out.reserve(description.size());
  for (std::size_t pos = 0; pos < description.size();)
    append_utf8(out, next_scalar(description, pos));
  return out;
}

// The library's message without its "[json.exception.<kind>.<id>] " tag and, for syntax errors,
// without its own "parse error at line X, column Y: " position, which is replaced by ours.
std::string_view describe(std::string_view message) {
  if (message.starts_with("[json.exception.")) {
    if (const auto end = message.find("] "); end != std::string_view::npos) {
      message.remove_prefix(end + 2);
    }
  }
  if (message.starts_with("parse error")) {
    if (const auto colon = message.find(": "); colon != std::string_view::npos) {
      message.remove_prefix(colon + 2);
    }
  }
  return message;
}

}  // namespace

std::expected<nlohmann::json, std::string> parse_details(std::string_view text) {
  // The library reads a NUL byte as the end of its input. A raw NUL is never valid JSON, so the
  // text up to it is parsed alone: a fault before it comes first, otherwise the NUL is the fault.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    auto prefix = parse_details(text.substr(0, nul));
    if (!prefix && !prefix.error().ends_with(position_suffix(text, nul))) return prefix;
    return std::unexpected("invalid character NUL" + position_suffix(text, nul));
  }
  json result;
  DepthLimitedParser parser(result);
  if (json::sax_parse(text.begin(), text.end(), &parser)) return result;
  if (parser.too_deep()) {
    return std::unexpected(
        "nesting deeper than " + std::to_string(kMaxDetailsDepth) + " levels" +
        position_suffix(text, find_opening_at_depth(text, kMaxDetailsDepth + 1)));
  }
  const auto& error = parser.error();
  if (!error) panic("details parser stopped without a reason");
  std::size_t offset = error->position == 0 ? 0 : error->position - 1;
  if (error->id == kNumberOverflow) offset = number_start(text, offset);
  return std::unexpected(tidy(describe(error->message), error->last_token) +
                         position_suffix(text, offset));
}

std::string dump_details(const nlohmann::json& value) {
  // Parsed strings are always well-formed UTF-8; replacing rather than throwing keeps values
  // built by other means from aborting a dump.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace oq
