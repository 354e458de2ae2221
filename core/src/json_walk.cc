#include "json_walk.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "json_text.h"
#include "utf8.h"

namespace oq::json_walk {

namespace {

using simdjson::error_code;

// Python's bound on the digits of an integer it converts from text.
constexpr std::size_t kMaxIntegerDigits = 4300;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

unsigned hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}

// A JSON string decoded by hand, from just after its opening quote: the parser refuses a lone
// surrogate escape without saying where, while a strict reader's message names its path and
// shows the key that holds one.
struct Decoded {
  std::string text;                  // WTF-8
  bool lone_surrogate = false;       // the text holds one
  const char* bad_escape = nullptr;  // where an invalid escape starts, if any
};

Decoded decode_raw(const char* at, const char* end) {
  Decoded out;
  const auto unit = [&](const char* p) -> std::optional<unsigned> {
    if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return std::nullopt;
    unsigned value = 0;
    for (int i = 2; i < 6; ++i) {
      const unsigned digit = hex_value(p[i]);
      if (digit > 15) return std::nullopt;
      value = value * 16 + digit;
    }
    return value;
  };
  while (at < end && *at != '"') {
    if (*at != '\\') {
      out.text += *at++;
      continue;
    }
    if (end - at < 2) {
      out.bad_escape = at;
      return out;
    }
    switch (at[1]) {
      case '"':
      case '\\':
      case '/':
        out.text += at[1];
        at += 2;
        continue;
      case 'b':
        out.text += '\b';
        at += 2;
        continue;
      case 'f':
        out.text += '\f';
        at += 2;
        continue;
      case 'n':
        out.text += '\n';
        at += 2;
        continue;
      case 'r':
        out.text += '\r';
        at += 2;
        continue;
      case 't':
        out.text += '\t';
        at += 2;
        continue;
      case 'u':
        break;
      default:
        out.bad_escape = at;
        return out;
    }
    const auto first = unit(at);
    if (!first) {
      out.bad_escape = at;
      return out;
    }
    at += 6;
    char32_t ch = *first;
    if (ch >= 0xD800 && ch <= 0xDBFF) {
      if (const auto second = unit(at); second && *second >= 0xDC00 && *second <= 0xDFFF) {
        ch = 0x10000 + ((ch - 0xD800) << 10) + (*second - 0xDC00);
        at += 6;
      }
    }
    if (ch >= 0xD800 && ch <= 0xDFFF) {
      out.lone_surrogate = true;
      out.text += static_cast<char>(0xE0 | (ch >> 12));
      out.text += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      out.text += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
      append_utf8(out.text, ch);
    }
  }
  return out;
}

void render(od::value value, std::string& out, std::size_t budget);

void render_scalar(std::string_view raw, od::json_type type, std::string& out) {
  if (type == od::json_type::number) {
    const std::string_view token = number_token(raw);
    if (is_integer_token(token)) {
      out += json_text::integer_repr(token);
      return;
    }
    double number = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), number);
    out += error == std::errc() ? json_text::float_repr(number) : std::string(token);
    return;
  }
  if (type == od::json_type::string) {
    out += json_text::quoted(decode_raw(raw.data() + 1, raw.data() + raw.size()).text);
    return;
  }
  out += number_token(raw);
}

void render(od::value value, std::string& out, std::size_t budget) {
  od::json_type type{};
  if (value.type().get(type)) return;
  if (type == od::json_type::array) {
    out += '[';
    bool first = true;
    for (auto item : value.get_array()) {
      if (out.size() > budget) return;
      od::value v;
      if (std::move(item).get(v)) return;
      if (!first) out += ", ";
      first = false;
      render(v, out, budget);
    }
    out += ']';
    return;
  }
  if (type == od::json_type::object) {
    out += '{';
    bool first = true;
    for (auto member : value.get_object()) {
      if (out.size() > budget) return;
      od::field field;
      if (std::move(member).get(field)) return;
      if (!first) out += ", ";
      first = false;
      const char* key = field.key().raw();
      out += json_text::quoted(decode_raw(key, key + budget).text) + ": ";
      render(field.value(), out, budget);
    }
    out += '}';
    return;
  }
  render_scalar(value.raw_json_token(), type, out);
}

// Enough bytes of rendering to show kShownChars characters, however wide each is.
constexpr std::size_t kRenderBudget = json_text::kShownChars * 4 + 8;

// The first byte of `text` that is not UTF-8 as Python's decoder reads it, with its reason.
std::optional<std::string> utf8_fault(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      ++pos;
      continue;
    }
    std::size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                         : byte >= 0xE0 && byte <= 0xEF ? 3
                         : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                        : 0;
    const char* reason = nullptr;
    if (length == 0) {
      reason = "invalid start byte";
    } else {
      for (std::size_t i = 1; i < length && !reason; ++i) {
        if (pos + i >= text.size()) {
          reason = "unexpected end of data";
          break;
        }
        const auto next = static_cast<unsigned char>(text[pos + i]);
        unsigned low = 0x80, high = 0xBF;
        if (i == 1 && byte == 0xE0) low = 0xA0;
        if (i == 1 && byte == 0xED) high = 0x9F;
        if (i == 1 && byte == 0xF0) low = 0x90;
        if (i == 1 && byte == 0xF4) high = 0x8F;
        if (next < low || next > high) reason = "invalid continuation byte";
      }
    }
    if (reason) {
      std::array<char, 8> hex{};
      std::snprintf(hex.data(), hex.size(), "%02x", static_cast<unsigned>(byte));
      return "'utf-8' codec can't decode byte 0x" + std::string(hex.data()) + " in position " +
             std::to_string(pos) + ": " + reason;
    }
    pos += length;
  }
  return std::nullopt;
}

class Checker {
 public:
  Checker(std::string_view text, std::string_view root, std::size_t max_depth)
      : text_(text), root_(root), max_depth_(max_depth) {}

  std::optional<ReadFault> run(od::parser& parser, simdjson::padded_string_view json);

 private:
  bool value(od::value value, const Path& at, std::size_t depth);
  bool text(const char* after_quote, const Path& at);
  bool number(od::value value, std::string_view token, const Path& at);
  bool syntax(error_code error);
  bool syntax_at(std::size_t offset, std::string_view what);
  bool expected(std::string detail) { return expected_at(std::string(root_), std::move(detail)); }
  bool expected_at(std::string path, std::string detail) {
    fault_ = ReadFault{ReadFault::Kind::Format, std::move(path), "expected " + std::move(detail)};
    return false;
  }
  bool too_deep(const Path& at) { return expected_at(at.text(), nesting_limit(max_depth_)); }
  std::size_t here();
  bool stage_one(error_code error);

  std::string_view text_;
  std::string_view root_;
  std::size_t max_depth_;
  od::document document_;
  std::optional<ReadFault> fault_;
  std::optional<ReadFault> surrogate_;
};

std::size_t Checker::here() {
  const char* at = nullptr;
  if (document_.current_location().get(at) || at < text_.data() ||
      at > text_.data() + text_.size()) {
    return text_.size();
  }
  return static_cast<std::size_t>(at - text_.data());
}

bool Checker::syntax_at(std::size_t offset, std::string_view what) {
  return expected("valid JSON (" + std::string(what) + " at " + json_text::position(text_, offset) +
                  ")");
}

// What a strict reader expects at `offset`, reading the text before it as well-formed: the
// parser says that something is wrong there, this says what in the words such readers use.
std::string_view expectation(std::string_view text, std::size_t offset) {
  enum class Want : std::uint8_t { Value, ValueOrEnd, Key, KeyOrEnd, Colon, CommaOrEnd, Nothing };
  std::vector<char> open;
  Want want = Want::Value;
  const auto after_value = [&] { want = open.empty() ? Want::Nothing : Want::CommaOrEnd; };
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const char c = text[i];
    if (is_space(c)) continue;
    switch (c) {
      case '"': {
        i = json_text::string_end(text, i);
        if (want == Want::Key || want == Want::KeyOrEnd) {
          want = Want::Colon;
        } else {
          after_value();
        }
        break;
      }
      case ':':
        want = Want::Value;
        break;
      case ',':
        want = !open.empty() && open.back() == '{' ? Want::Key : Want::Value;
        break;
      case '{':
        open.push_back(c);
        want = Want::KeyOrEnd;
        break;
      case '[':
        open.push_back(c);
        want = Want::ValueOrEnd;
        break;
      case '}':
      case ']':
        if (!open.empty()) open.pop_back();
        after_value();
        break;
      default:
        while (i + 1 < offset && !is_space(text[i + 1]) &&
               std::string_view(",:]}").find(text[i + 1]) == std::string_view::npos)
          ++i;
        after_value();
    }
  }
  switch (want) {
    case Want::Key:
    case Want::KeyOrEnd:
      return "Expecting property name enclosed in double quotes";
    case Want::Colon:
      return "Expecting ':' delimiter";
    case Want::CommaOrEnd:
      return "Expecting ',' delimiter";
    case Want::Nothing:
      return "Extra data";
    default:
      return "Expecting value";
  }
}

bool Checker::syntax(error_code error) {
  std::size_t offset = here();
  while (offset < text_.size() && is_space(text_[offset])) ++offset;
  if (error == simdjson::DEPTH_ERROR) return expected(nesting_limit(max_depth_));
  if (error == simdjson::STRING_ERROR) return syntax_at(offset, "Invalid \\escape");
  return syntax_at(offset, expectation(text_, offset));
}

// Faults found while indexing the whole document, before any value is read.
bool Checker::stage_one(error_code error) {
  if (error == simdjson::UTF8_ERROR) {
    const auto reason = utf8_fault(text_);
    fault_ = ReadFault{ReadFault::Kind::Format, std::string(root_),
                       "expected a readable UTF-8 file (" + reason.value_or("invalid UTF-8") + ")"};
    return false;
  }
  if (error == simdjson::EMPTY) return syntax_at(text_.size(), "Expecting value");
  if (error == simdjson::DEPTH_ERROR) return expected(nesting_limit(max_depth_));
  // An unterminated string or a raw control character in one: find the first.
  bool in_string = false;
  std::size_t opened = 0;
  for (std::size_t i = 0; i < text_.size(); ++i) {
    const char c = text_[i];
    if (!in_string) {
      if (c == '"') {
        in_string = true;
        opened = i;
      }
    } else if (c == '\\') {
      ++i;
    } else if (c == '"') {
      in_string = false;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      return syntax_at(i, "Invalid control character");
    }
  }
  if (in_string) return syntax_at(opened, "Unterminated string starting");
  return syntax_at(0, simdjson::error_message(error));
}

bool Checker::text(const char* after_quote, const Path& at) {
  const Decoded decoded = decode_raw(after_quote, text_.data() + text_.size());
  if (decoded.bad_escape) {
    return syntax_at(static_cast<std::size_t>(decoded.bad_escape - text_.data()),
                     "Invalid \\escape");
  }
  if (decoded.lone_surrogate && !surrogate_) {
    surrogate_ = ReadFault{ReadFault::Kind::Format, at.text(),
                           "expected Unicode text (a lone surrogate escape is not)"};
  }
  return true;
}

bool Checker::number(od::value value, std::string_view token, const Path& at) {
  if (!is_number_token(token)) {
    double ignored = 0;
    const auto error = value.get_double().get(ignored);
    return syntax(error ? error : simdjson::NUMBER_ERROR);
  }
  if (is_integer_token(token)) {
    const std::size_t digits = token.size() - (token.front() == '-' ? 1 : 0);
    if (digits > kMaxIntegerDigits) {
      return expected_at(at.text(), "an integer of at most " + std::to_string(kMaxIntegerDigits) +
                                        " digits, got one of " + std::to_string(digits));
    }
    return true;
  }
  double number = 0;
  const auto [end, parsed] = std::from_chars(token.data(), token.data() + token.size(), number);
  if (parsed == std::errc::result_out_of_range && overflows(token)) {
    return expected_at(
        at.text(),
        "finite numbers, got " +
            (token.size() <= 40 ? std::string(token) : std::string(token.substr(0, 37)) + "..."));
  }
  return true;
}

bool Checker::value(od::value value, const Path& at, std::size_t depth) {
  const std::string_view token = number_token(value.raw_json_token());
  if (token == "NaN" || token == "Infinity" || token == "-Infinity") {
    return expected_at(at.text(), "finite numbers, got " + std::string(token));
  }
  od::json_type type{};
  if (const auto error = value.type().get(type)) return syntax(error);
  switch (type) {
    case od::json_type::object: {
      if (depth >= max_depth_) return too_deep(at);
      od::object object;
      if (const auto error = value.get_object().get(object)) return syntax(error);
      std::unordered_set<std::string> keys;
      for (auto member : object) {
        od::field field;
        if (const auto error = std::move(member).get(field)) return syntax(error);
        const char* key_at = field.key().raw();
        const Decoded key = decode_raw(key_at, text_.data() + text_.size());
        if (key.bad_escape) {
          return syntax_at(static_cast<std::size_t>(key.bad_escape - text_.data()),
                           "Invalid \\escape");
        }
        const Path member_at = at.key(key.text);
        if (key.lone_surrogate && !surrogate_) {
          surrogate_ = ReadFault{ReadFault::Kind::Format, member_at.text(),
                                 "expected Unicode text (a lone surrogate escape is not)"};
        }
        if (!keys.insert(key.text).second) {
          return expected_at(
              at.text(), "an object without duplicated key " + json_text::quoted(key.text, true));
        }
        if (!this->value(field.value(), member_at, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::array: {
      if (depth >= max_depth_) return too_deep(at);
      od::array array;
      if (const auto error = value.get_array().get(array)) return syntax(error);
      std::size_t i = 0;
      for (auto item : array) {
        od::value element;
        if (const auto error = std::move(item).get(element)) return syntax(error);
        if (!this->value(element, at.index(i++), depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::string: {
      od::raw_json_string string;
      if (const auto error = value.get_raw_json_string().get(string)) return syntax(error);
      return text(string.raw(), at);
    }
    case od::json_type::number:
      return number(value, token, at);
    case od::json_type::boolean: {
      bool ignored = false;
      if (const auto error = value.get_bool().get(ignored)) return syntax(error);
      return true;
    }
    case od::json_type::null: {
      bool null = false;
      if (const auto error = value.is_null().get(null)) return syntax(error);
      if (!null) return syntax(simdjson::N_ATOM_ERROR);
      return true;
    }
  }
  return true;
}

std::optional<ReadFault> Checker::run(od::parser& parser, simdjson::padded_string_view json) {
  if (text_.starts_with("\xEF\xBB\xBF")) {
    syntax_at(0, "Unexpected UTF-8 BOM (decode using utf-8-sig)");
    return fault_;
  }
  if (const auto error = parser.iterate(json).get(document_)) {
    stage_one(error);
    return fault_;
  }
  const Path root(root_);
  od::json_type type{};
  bool well_formed = true;
  if (const auto error = document_.type().get(type)) {
    well_formed = syntax(error);
  } else if (type == od::json_type::object || type == od::json_type::array) {
    od::value value;
    well_formed = document_.get_value().get(value) ? syntax(simdjson::TAPE_ERROR)
                                                   : this->value(value, root, 0);
  } else {
    std::string_view raw;
    if (const auto error = document_.raw_json_token().get(raw)) {
      well_formed = syntax(error);
    } else if (const std::string_view token = number_token(raw);
               token == "NaN" || token == "Infinity" || token == "-Infinity") {
      well_formed = expected("finite numbers, got " + std::string(token));
    } else if (type == od::json_type::string) {
      well_formed = text(raw.data() + 1, root);
    } else if (type == od::json_type::number) {
      double ignored = 0;
      const auto [end, parsed] =
          std::from_chars(token.data(), token.data() + token.size(), ignored);
      if (!is_number_token(token)) {
        well_formed = syntax(simdjson::NUMBER_ERROR);
      } else if (parsed == std::errc::result_out_of_range && !is_integer_token(token) &&
                 overflows(token)) {
        well_formed = expected("finite numbers, got " + std::string(token.substr(0, 40)));
      }
    }
  }
  if (!well_formed) return fault_;
  std::size_t after = here();
  if (type != od::json_type::object && type != od::json_type::array) {
    std::string_view raw;
    if (!document_.raw_json_token().get(raw)) {
      after = static_cast<std::size_t>(raw.data() - text_.data()) + number_token(raw).size();
    }
  }
  std::size_t rest = after;
  while (rest < text_.size() && is_space(text_[rest])) ++rest;
  if (rest < text_.size() && after < text_.size()) {
    syntax_at(rest, "Extra data");
    return fault_;
  }
  return surrogate_;
}

}  // namespace

std::string Path::text() const {
  std::vector<const Path*> steps;
  for (const Path* p = this; p; p = p->parent_) steps.push_back(p);
  std::string out;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    const Path& step = **it;
    switch (step.step_) {
      case Step::Root:
        out.append(step.name_);
        break;
      case Step::Field:
        out.append(".").append(step.name_);
        break;
      case Step::Key:
        out = json_text::member_path(out, step.name_);
        break;
      case Step::Index:
        out.append("[").append(std::to_string(step.index_)).append("]");
        break;
    }
  }
  return out;
}

bool string_at(const char* after_quote, const char* end, std::string& scratch,
               std::string_view& out) {
  const auto length = static_cast<std::size_t>(end - after_quote);
  const auto* quote = static_cast<const char*>(std::memchr(after_quote, '"', length));
  if (!quote) return false;
  const auto before = static_cast<std::size_t>(quote - after_quote);
  if (!std::memchr(after_quote, '\\', before)) {
    out = std::string_view(after_quote, static_cast<std::size_t>(quote - after_quote));
    return true;
  }
  Decoded decoded = decode_raw(after_quote, end);
  if (decoded.bad_escape || decoded.lone_surrogate) return false;
  scratch = std::move(decoded.text);
  out = scratch;
  return true;
}

std::string_view number_token(std::string_view raw) {
  while (!raw.empty() && is_space(raw.back())) raw.remove_suffix(1);
  return raw;
}

bool is_integer_token(std::string_view token) {
  return token.find_first_of(".eE") == std::string_view::npos;
}

bool is_number_token(std::string_view token) {
  std::size_t at = 0;
  const auto digits = [&] {
    const std::size_t start = at;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9') ++at;
    return at - start;
  };
  if (at < token.size() && token[at] == '-') ++at;
  if (at < token.size() && token[at] == '0') {
    ++at;
  } else if (digits() == 0) {
    return false;
  }
  if (at < token.size() && token[at] == '.') {
    ++at;
    if (digits() == 0) return false;
  }
  if (at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
    ++at;
    if (at < token.size() && (token[at] == '+' || token[at] == '-')) ++at;
    if (digits() == 0) return false;
  }
  return at == token.size();
}

bool overflows(std::string_view token) {
  // The power of ten of the first significant digit, plus the exponent: large means too large.
  const std::size_t e = token.find_first_of("eE");
  const std::string_view mantissa = token.substr(0, e);
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = token.substr(e + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
      digits.remove_prefix(1);
    for (const char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 1'000'000LL);
    if (negative) exponent = -exponent;
  }
  const std::size_t point = mantissa.find('.');
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return false;  // zero
  const std::size_t whole_end = point == std::string_view::npos ? mantissa.size() : point;
  const long long place = first < whole_end ? static_cast<long long>(whole_end - first) - 1
                                            : -static_cast<long long>(first - whole_end);
  return exponent + place > 0;
}

std::string shown(od::value value) {
  std::string out;
  render(value, out, kRenderBudget);
  return json_text::clipped(std::move(out));
}

std::string shown(od::document& document) {
  od::json_type type{};
  if (document.type().get(type)) return "";
  if (type == od::json_type::object || type == od::json_type::array) {
    od::value value;
    if (document.get_value().get(value)) return "";
    return shown(value);
  }
  std::string_view raw;
  if (document.raw_json_token().get(raw)) return "";
  std::string out;
  render_scalar(raw, type, out);
  return json_text::clipped(std::move(out));
}

std::string shown_text(std::string_view text) {
  return json_text::clipped(json_text::quoted(text));
}

std::optional<ReadFault> document_fault(od::parser& parser, simdjson::padded_string_view json,
                                        std::string_view root, std::size_t max_depth) {
  return Checker(std::string_view(json.data(), json.size()), root, max_depth).run(parser, json);
}

}  // namespace oq::json_walk
