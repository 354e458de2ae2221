#include "oq/canonical_json.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <utility>
#include <vector>

#include "json_text.h"
#include "json_walk.h"
#include "oq/request_reader.h"

namespace oq {

namespace {

namespace od = simdjson::ondemand;

// Writes one document canonically in a single forward pass. An object's members are written as
// they come; when their keys are not in order, the object's text is put in order once it is
// complete. Members of every open object share one stack, so no object allocates its own.
class Canonical {
 public:
  Canonical(std::string& out, const char* end) : out_(out), end_(end) {}

  bool value(od::value value) {
    od::json_type type{};
    if (value.type().get(type)) return false;
    switch (type) {
      case od::json_type::object: {
        od::object object;
        const Nested nested(depth_);
        return nested.fits() && !value.get_object().get(object) && this->object(object);
      }
      case od::json_type::array: {
        od::array array;
        const Nested nested(depth_);
        if (!nested.fits() || value.get_array().get(array)) return false;
        out_ += '[';
        bool first = true;
        for (auto item : array) {
          od::value element;
          if (std::move(item).get(element)) return false;
          if (!first) out_ += ',';
          first = false;
          if (!this->value(element)) return false;
        }
        out_ += ']';
        return true;
      }
      case od::json_type::string: {
        od::raw_json_string raw;
        return !value.get_raw_json_string().get(raw) && text(raw.raw());
      }
      case od::json_type::number:
        return number(json_walk::number_token(value.raw_json_token()));
      case od::json_type::boolean: {
        bool flag = false;
        if (value.get_bool().get(flag)) return false;
        out_ += flag ? "true" : "false";
        return true;
      }
      case od::json_type::null: {
        bool null = false;
        if (value.is_null().get(null) || !null) return false;
        out_ += "null";
        return true;
      }
    }
    return false;
  }

  // A scalar at a document's root, read from its raw token.
  bool scalar(std::string_view token, od::json_type type) {
    if (type == od::json_type::string) return text(token.data() + 1);
    if (type == od::json_type::number) return number(json_walk::number_token(token));
    token = json_walk::number_token(token);
    if (token != "true" && token != "false" && token != "null") return false;
    out_ += token;
    return true;
  }

 private:
  // One more level of nesting for as long as it lives; a document nested deeper than any this
  // form is written for is refused, never walked to its end.
  class Nested {
   public:
    explicit Nested(std::size_t& depth) : depth_(++depth) {}
    ~Nested() { --depth_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;
    bool fits() const { return depth_ <= kMaxJsonDepth; }

   private:
    std::size_t& depth_;
  };

  struct Member {
    std::string_view key;  // unescaped
    std::size_t begin;     // where the member's text starts in out_, after any comma
    std::size_t end;
  };

  bool object(od::object object) {
    out_ += '{';
    const std::size_t base = members_.size();
    bool sorted = true;
    for (auto field : object) {
      od::field member;
      if (std::move(field).get(member)) return false;
      std::string_view key;
      if (!key_of(member.key().raw(), key)) return false;
      if (members_.size() > base) {
        out_ += ',';
        sorted = sorted && members_.back().key < key;
      }
      const std::size_t begin = out_.size();
      json_text::append_quoted(out_, key);
      out_ += ':';
      if (!value(member.value())) return false;
      members_.push_back({key, begin, out_.size()});
    }
    if (!sorted) order(base);
    members_.resize(base);
    out_ += '}';
    return true;
  }

  // Rewrites the members from `base` on in the order of their keys; of equal keys the later
  // stays, as a dictionary keeps it.
  void order(std::size_t base) {
    const std::size_t region = members_[base].begin;  // the first member, as written
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
    std::stable_sort(first, members_.end(),
                     [](const Member& a, const Member& b) { return a.key < b.key; });
    scratch_.assign(out_, region, out_.size() - region);
    out_.resize(region);
    bool written = false;
    for (auto it = first; it != members_.end(); ++it) {
      if (it + 1 != members_.end() && (it + 1)->key == it->key) continue;
      if (written) out_ += ',';
      written = true;
      out_.append(scratch_, it->begin - region, it->end - it->begin);
    }
  }

  bool key_of(const char* after_quote, std::string_view& key) {
    std::string unescaped;
    if (!json_walk::string_at(after_quote, end_, unescaped, key)) return false;
    if (key.data() == unescaped.data()) key = keys_.emplace_back(std::move(unescaped));
    return true;
  }

  bool text(const char* after_quote) {
    std::string_view text;
    if (!json_walk::string_at(after_quote, end_, unescaped_, text)) return false;
    json_text::append_quoted(out_, text);
    return true;
  }

  // Integers as their digits, whatever their size (as Python holds them); other numbers as
  // repr writes the double they read as.
  bool number(std::string_view token) {
    if (!json_walk::is_number_token(token)) return false;
    if (json_walk::is_integer_token(token)) {
      out_ += token == "-0" ? std::string_view("0") : token;
      return true;
    }
    double number = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), number);
    if (end != token.data() + token.size()) return false;
    if (error == std::errc::result_out_of_range) {
      if (json_walk::overflows(token)) return false;  // no double holds it
      number = token.front() == '-' ? -0.0 : 0.0;     // too small for one: zero, as Python reads it
    } else if (error != std::errc() || !std::isfinite(number)) {
      return false;
    }
    out_ += json_text::float_repr(number);
    return true;
  }

  std::string& out_;
  const char* end_;
  std::vector<Member> members_;
  std::string scratch_;
  std::string unescaped_;         // a string value written with escapes, unescaped
  std::deque<std::string> keys_;  // keys written with escapes, unescaped
  std::size_t depth_ = 0;
};

}  // namespace

bool append_canonical(std::string& out, JsonBytes json) {
  thread_local od::parser parser;
  const std::size_t written = out.size();
  std::string copy;
  simdjson::padded_string_view input;
  // Read in place only past zeros: what lies after a document must not read as more of it.
  if (json.readable >= json.text.size() + kJsonPadding &&
      std::all_of(json.text.end(), json.text.end() + kJsonPadding, [](char c) { return c == 0; })) {
    input = simdjson::padded_string_view(json.text.data(), json.text.size(), json.readable);
  } else {
    copy.reserve(json.text.size() + kJsonPadding);
    copy.append(json.text).append(kJsonPadding, '\0');
    input = simdjson::padded_string_view(copy.data(), json.text.size(), copy.size());
  }
  Canonical canonical(out, input.data() + input.size());
  od::document document;
  bool done = false;
  if (!parser.iterate(input).get(document)) {
    od::json_type type{};
    if (!document.type().get(type)) {
      if (type == od::json_type::object || type == od::json_type::array) {
        od::value root;
        done = !document.get_value().get(root) && canonical.value(root);
        // Anything after the root value is not JSON.
        const char* after = nullptr;
        done = done && document.current_location().get(after) != simdjson::SUCCESS;
      } else {
        std::string_view token;
        done = !document.raw_json_token().get(token) && canonical.scalar(token, type);
        // The raw token runs to the next structural character, the document's end for a root.
        const std::string_view rest = token.substr(json_walk::number_token(token).size());
        done = done && token.data() + token.size() == input.data() + input.size() &&
               rest.find_first_not_of(" \t\r\n") == std::string_view::npos;
      }
    }
  }
  if (parser.capacity() > (std::size_t{1} << 20)) parser = od::parser();
  if (!done) out.resize(written);
  return done;
}

std::expected<std::string, std::string> canonical_json(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  if (!append_canonical(out, JsonBytes{json, 0})) {
    return std::unexpected(std::string("not a JSON document this form writes"));
  }
  return out;
}

}  // namespace oq
