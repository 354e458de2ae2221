#pragma once

// What the request reader shares about walking a document with simdjson's on-demand parser: JSON
// paths, values shown in messages, and the check that names the fault a strict reader finds
// first in a document, which stands before any fault of the document's shape.
#include <simdjson.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "oq/request_reader.h"

namespace oq::json_walk {

namespace od = simdjson::ondemand;

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

// The path of the value being read. Each step lives in the frame that reads the value and points
// at its parent's, so a path is written out only when a message names it.
class Path {
 public:
  explicit Path(std::string_view root) : name_(root) {}
  // A field the format names, always written `.name`.
  Path field(std::string_view name) const { return Path(this, Step::Field, name, 0); }
  // A member of an object with caller-chosen keys: `.name` or `["name"]`.
  Path key(std::string_view name) const { return Path(this, Step::Key, name, 0); }
  Path index(std::size_t i) const { return Path(this, Step::Index, {}, i); }
  std::string text() const;

 private:
  enum class Step : std::uint8_t { Root, Field, Key, Index };
  Path(const Path* parent, Step step, std::string_view name, std::size_t index)
      : parent_(parent), step_(step), name_(name), index_(index) {}

  const Path* parent_ = nullptr;
  Step step_ = Step::Root;
  std::string_view name_;
  std::size_t index_ = 0;
};

// The text of the JSON string whose opening quote is just before `after_quote`, in a document
// that ends at `end`: read in place when it holds no escape (most do: no copy is made), else
// unescaped into `scratch`. False for a string the strict reader refuses (a lone surrogate or an
// invalid escape), which the JSON check then names.
bool string_at(const char* after_quote, const char* end, std::string& scratch,
               std::string_view& out);

// A number token without the whitespace the parser leaves after it.
std::string_view number_token(std::string_view raw);
// Whether a number token is an integer literal (no fraction, no exponent).
bool is_integer_token(std::string_view token);
// Whether `token` is a number as JSON spells one: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_number_token(std::string_view token);
// Whether a well-formed number token no double holds is too large (rather than too small, which
// reads as zero).
bool overflows(std::string_view token);

// `value` as the messages show a value: as Python prints it in JSON form, cut to kShownChars.
// Reads the value through; the walk should not go on after it.
std::string shown(od::value value);
// The same for a document's root, which may be a scalar.
std::string shown(od::document& document);
// A string already read, shown.
std::string shown_text(std::string_view text);

// What a reader expects of a document nested deeper than `max_depth` levels.
inline std::string nesting_limit(std::size_t max_depth) {
  return "at most " + std::to_string(max_depth) + " levels of nested arrays and objects";
}

// The fault a strict reader reports first in `json`, with paths under `root`; nullopt when the
// document is well-formed JSON nested at most `max_depth` levels. Rewinds and walks the whole
// document.
std::optional<ReadFault> document_fault(od::parser& parser, simdjson::padded_string_view json,
                                        std::string_view root, std::size_t max_depth);

}  // namespace oq::json_walk
