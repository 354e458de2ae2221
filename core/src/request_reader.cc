#include "oq/request_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <span>
#include <unordered_set>

#include "json_text.h"
#include "json_walk.h"
#include "oq/default_chain.h"
#include "oq/details.h"
#include "oq/gap.h"
#include "oq/token.h"
#include "oq/utc_time.h"

namespace oq {

namespace {

namespace od = simdjson::ondemand;
using json_walk::Path;
using json_walk::shown;
using json_walk::shown_text;

constexpr std::string_view kTime = "Unix seconds or RFC 3339 text with a UTC offset";
constexpr std::string_view kNotRepresentable =
    "a time the engine can represent (years -262143 to 262142)";

// An object's fields: their names in the order messages list them, the first `required` of
// them required.
struct Fields {
  std::span<const std::string_view> names;
  std::size_t required;
};

constexpr std::array<std::string_view, 16> kRequestNames = {"claim_id",
                                                            "candidate_id",
                                                            "context_id",
                                                            "allowed_use",
                                                            "membership",
                                                            "authority_ceiling",
                                                            "expiry",
                                                            "gaps",
                                                            "profiles",
                                                            "tokens",
                                                            "disallowed_uses",
                                                            "scope",
                                                            "context_fingerprint",
                                                            "chain",
                                                            "runtime",
                                                            "$schema"};
// "description" is the seventeenth: the table is split only to keep each line readable.
constexpr std::array<std::string_view, 17> kRequestFields = [] {
  std::array<std::string_view, 17> all{};
  for (std::size_t i = 0; i < kRequestNames.size(); ++i) all[i] = kRequestNames[i];
  all[16] = "description";
  return all;
}();
enum RequestField : std::uint8_t {
  kClaim,
  kCandidate,
  kContextId,
  kUse,
  kMembership,
  kCeiling,
  kExpiry,
  kGaps,
  kProfiles,
  kTokens,
  kDisallowed,
  kScope,
  kFingerprint,
  kChain,
  kRuntime,
  kSchema,
  kDescription
};
constexpr std::array<std::string_view, 4> kChainFields = {"levels", "roles", "$schema",
                                                          "description"};
constexpr std::array<std::string_view, 4> kGapFields = {"gap_id", "gap_type", "status",
                                                        "bound_value"};
constexpr std::array<std::string_view, 2> kSingleFields = {"gap_id", "minimum_status"};
constexpr std::array<std::string_view, 1> kAnyOfFields = {"any_of"};
constexpr std::array<std::string_view, 2> kProfileFields = {"permission", "required_gaps"};
constexpr std::array<std::string_view, 12> kTokenFields = {
    "token_id",    "token_type",  "schema_version",  "status",
    "closes_gaps", "bounds_gaps", "provenance_hash", "issued_at",
    "issuer",      "expires_at",  "details",         "is_negative_control"};
constexpr std::array<std::string_view, 4> kScopeFields = {"allowed_candidates", "allowed_paths",
                                                          "allowed_tools", "allowed_resources"};
constexpr std::array<std::string_view, 4> kRuntimeFields = {
    "now", "context_fingerprint", "negative_control_states", "strict_mode"};
constexpr std::array<std::string_view, 1> kOtherFields = {"other"};
constexpr std::array<std::string_view, 1> kAtFields = {"at"};
const std::array<std::string_view, kRoleCount> kRoleFields = [] {
  std::array<std::string_view, kRoleCount> names{};
  for (std::size_t i = 0; i < kRoleCount; ++i) names[i] = role_name(kAllRoles[i]);
  return names;
}();

std::string joined(std::span<const std::string_view> names, std::string_view separator) {
  std::string out;
  for (const auto name : names) out.append(out.empty() ? "" : separator).append(name);
  return out;
}

// A profile whose level is named but not yet resolved: the chain may come later in the document.
struct PendingProfile {
  std::string level;
  std::vector<GapRequirement> requirements;
};

// Reads one document in document order. Every step returns false once a fault is kept; a fault
// of the JSON itself (or a duplicated key) only marks the document suspect, and the whole
// document is checked before anything is reported.
class Reader {
 public:
  explicit Reader(std::string_view root) : root_(root) {}

  bool request(od::document& document, const PermissionChain* given, ReadRequest& out);
  bool chain_document(od::document& document, std::shared_ptr<const PermissionChain>& out);
  bool time_document(od::document& document, double& out);

  std::optional<ReadFault> fault;

 private:
  // ----- faults -----
  bool malformed() { return false; }  // the JSON check names what is wrong
  bool expected(const Path& at, std::string_view what, std::string got) {
    fault = ReadFault{ReadFault::Kind::Format, at.text(),
                      "expected " + std::string(what) + (got.empty() ? "" : ", got " + got)};
    return false;
  }
  bool expected(const Path& at, std::string_view what, od::value value) {
    return expected(at, what, shown(value));
  }
  bool refused(const Path& at, std::string message) {
    fault = ReadFault{ReadFault::Kind::Engine, at.text(), std::move(message)};
    return false;
  }

  // ----- shapes -----
  static bool type_of(od::value value, od::json_type& type) { return !value.type().get(type); }
  template <class Read>
  bool members(od::value value, const Path& at, const Fields& fields, Read&& read);
  template <class Read>
  bool members(od::object object, const Path& at, const Fields& fields, Read&& read);
  template <class Read>
  bool items(od::value value, const Path& at, Read&& read);
  bool text(od::value value, const Path& at, std::string_view& out);
  bool text(od::value value, const Path& at, std::string& out);
  bool texts(od::value value, const Path& at, std::vector<std::string>& out);
  bool number(od::value value, const Path& at, double& out, std::string_view& token);
  bool flag(od::value value, const Path& at, bool& out);
  bool time(od::value value, const Path& at, double& out);
  // Whether `value` is null. A value that only starts like null is malformed: the reader
  // is then broken, and the JSON check says why.
  bool is_null(od::value value) {
    od::json_type type{};
    if (!type_of(value, type) || type != od::json_type::null) return false;
    bool null = false;
    if (value.is_null().get(null) || !null) broken_ = true;
    return true;
  }

  // ----- records -----
  bool chain(od::value value, const Path& at, std::shared_ptr<const PermissionChain>& out);
  template <class Object>
  bool chain_fields(Object object, const Path& at, std::shared_ptr<const PermissionChain>& out);
  bool membership(od::value value, const Path& at, Membership& out);
  bool expiry(od::value value, const Path& at, Expiry& out);
  bool gap(od::value value, const Path& at, std::vector<GapRecord>& out);
  bool requirement(od::value value, const Path& at, std::size_t depth, GapRequirement& out);
  bool profile(od::value value, const Path& at, std::vector<PendingProfile>& out);
  bool token(od::value value, const Path& at, TokenList& out);
  bool details(od::value value, const Path& at, std::size_t depth, nlohmann::json& out);
  bool scope(od::value value, const Path& at, Scope& out);
  bool runtime(od::value value, const Path& at, RequestRuntime& out);
  bool level(const PermissionChain& chain, const std::string& name, const Path& at,
             Permission& out);

  // The text of a string value or key; see json_walk::string_at.
  bool string_of(od::value value, std::string_view& out) {
    od::raw_json_string raw;
    return !value.get_raw_json_string().get(raw) && string_at(raw.raw(), out);
  }
  bool key_of(od::field& field, std::string_view& out) { return string_at(field.key().raw(), out); }
  bool string_at(const char* after_quote, std::string_view& out) {
    std::string unescaped;
    if (!json_walk::string_at(after_quote, end_, unescaped, out)) return false;
    if (out.data() == unescaped.data()) out = scratch_.emplace_back(std::move(unescaped));
    return true;
  }

  std::string_view root_;
  const char* end_ = nullptr;
  // A fault of the JSON itself was seen where the read went on; nothing read is kept.
  bool broken_ = false;
  bool refuse_inline_chain_ = false;
  // Strings written with escapes, unescaped; views into them live as long as the reader.
  std::deque<std::string> scratch_;

 public:
  void read_from(simdjson::padded_string_view input) { end_ = input.data() + input.size(); }
  bool broken() const { return broken_; }
  void refuse_inline_chain(bool refuse) { refuse_inline_chain_ = refuse; }
};

template <class Read>
bool Reader::members(od::value value, const Path& at, const Fields& fields, Read&& read) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type != od::json_type::object) return expected(at, "an object", value);
  od::object object;
  if (value.get_object().get(object)) return malformed();
  return members(object, at, fields, std::forward<Read>(read));
}

template <class Read>
bool Reader::members(od::object object, const Path& at, const Fields& fields, Read&& read) {
  std::uint32_t seen = 0;
  for (auto member : object) {
    od::field field;
    if (std::move(member).get(field)) return malformed();
    // Names are matched on the key's raw bytes first; only a key written with escapes, or an
    // unknown one, is unescaped.
    const od::raw_json_string raw = field.key();
    std::size_t index = 0;
    while (index < fields.names.size() && !raw.unsafe_is_equal(fields.names[index])) ++index;
    std::string_view key;
    if (index == fields.names.size()) {
      if (!key_of(field, key)) return malformed();
      while (index > 0 && fields.names[index - 1] != key) --index;
      index = index == 0 ? fields.names.size() : index - 1;
    }
    if (index == fields.names.size()) {
      fault = ReadFault{ReadFault::Kind::Format, at.key(key).text(),
                        "unknown field; expected one of " + joined(fields.names, ", ")};
      return false;
    }
    if (seen & (1u << index)) return malformed();  // a duplicated key
    seen |= 1u << index;
    if (!read(index, field.value(), at.field(fields.names[index]))) return false;
  }
  for (std::size_t i = 0; i < fields.required; ++i) {
    if (!(seen & (1u << i))) {
      fault = ReadFault{ReadFault::Kind::Format, at.field(fields.names[i]).text(),
                        "missing required field"};
      return false;
    }
  }
  return true;
}

template <class Read>
bool Reader::items(od::value value, const Path& at, Read&& read) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type != od::json_type::array) return expected(at, "an array", value);
  od::array array;
  if (value.get_array().get(array)) return malformed();
  std::size_t i = 0;
  for (auto item : array) {
    od::value element;
    if (std::move(item).get(element)) return malformed();
    if (!read(element, at.index(i++))) return false;
  }
  return true;
}

bool Reader::text(od::value value, const Path& at, std::string_view& out) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type != od::json_type::string) return expected(at, "a string", value);
  return string_of(value, out);  // a lone surrogate escape fails here
}

bool Reader::text(od::value value, const Path& at, std::string& out) {
  std::string_view view;
  if (!text(value, at, view)) return false;
  out.assign(view);
  return true;
}

bool Reader::texts(od::value value, const Path& at, std::vector<std::string>& out) {
  return items(value, at, [&](od::value item, const Path& item_at) {
    std::string_view view;
    if (!text(item, item_at, view)) return false;
    out.emplace_back(view);
    return true;
  });
}

// A JSON number as a double. An integer literal no double holds is refused here; a fraction or
// exponent no double holds is the JSON check's to report.
bool Reader::number(od::value value, const Path& at, double& out, std::string_view& token) {
  token = json_walk::number_token(value.raw_json_token());
  if (!json_walk::is_number_token(token)) return malformed();
  const bool integer = json_walk::is_integer_token(token);
  const bool read = !value.get_double().get(out) && std::isfinite(out);
  if (read) {
    if (integer && out == 0) out = 0.0;  // the integer -0 is 0, as a number of the caller's
    return true;
  }
  if (!integer) return malformed();
  return expected(at, "a number within the range of a double",
                  json_text::clipped(json_text::integer_repr(token)));
}

bool Reader::flag(od::value value, const Path& at, bool& out) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type != od::json_type::boolean) return expected(at, "true or false", value);
  return !value.get_bool().get(out);
}

bool Reader::time(od::value value, const Path& at, double& out) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type == od::json_type::string) {
    std::string_view text;
    if (!string_of(value, text)) return malformed();
    const auto seconds = parse_rfc3339(text);
    if (!seconds) return expected(at, kTime, shown_text(text));
    out = *seconds;
    return true;
  }
  if (type != od::json_type::number) return expected(at, kTime, value);
  std::string_view token;
  if (!number(value, at, out, token)) return false;
  if (!from_unix_seconds(out)) {
    return expected(
        at, kNotRepresentable,
        json_text::clipped(json_walk::is_integer_token(token) ? json_text::integer_repr(token)
                                                              : json_text::float_repr(out)));
  }
  return true;
}

bool Reader::chain(od::value value, const Path& at, std::shared_ptr<const PermissionChain>& out) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type != od::json_type::object) return expected(at, "an object", value);
  od::object object;
  if (value.get_object().get(object)) return malformed();
  return chain_fields(object, at, out);
}

template <class Object>
bool Reader::chain_fields(Object object, const Path& at,
                          std::shared_ptr<const PermissionChain>& out) {
  std::vector<std::string> levels;
  PermissionChain::RoleBindings roles{};
  const auto role = [&](std::size_t index, od::value value, const Path& role_at) {
    od::json_type type{};
    if (!type_of(value, type)) return malformed();
    if (type != od::json_type::number) {
      return expected(role_at, "a level index (an integer from 0)", value);
    }
    const std::string_view token = json_walk::number_token(value.raw_json_token());
    if (!json_walk::is_number_token(token)) return malformed();
    std::uint64_t rank = 0;
    if (json_walk::is_integer_token(token)) {
      const std::string_view digits = token == "-0" ? "0" : token;
      const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), rank);
      if (error == std::errc() && end == digits.data() + digits.size()) {
        roles[index] = rank;
        return true;
      }
      return expected(role_at, "a level index (an integer from 0)",
                      json_text::clipped(json_text::integer_repr(token)));
    }
    double number = 0;
    if (value.get_double().get(number)) return malformed();
    if (number >= 0 && number < 0x1p64 && number == std::floor(number)) {
      roles[index] = static_cast<std::uint64_t>(number);
      return true;
    }
    return expected(role_at, "a level index (an integer from 0)", json_text::float_repr(number));
  };
  const bool read = members(object, at, Fields{kChainFields, 2},
                            [&](std::size_t field, od::value value, const Path& field_at) {
                              if (field == 0) return texts(value, field_at, levels);
                              if (field == 1)
                                return members(value, field_at, Fields{kRoleFields, 0}, role);
                              std::string_view annotation;
                              return is_null(value) || text(value, field_at, annotation);
                            });
  if (!read) return false;
  std::vector<std::string_view> names(levels.begin(), levels.end());
  auto chain = PermissionChain::create(names, roles);
  if (!chain) return refused(at, chain.error().text());
  out = std::make_shared<const PermissionChain>(std::move(*chain));
  return true;
}

bool Reader::membership(od::value value, const Path& at, Membership& out) {
  using Kind = Membership::Kind;
  static constexpr std::array kKinds = {Kind::InClass, Kind::OutOfClassExact,
                                        Kind::OutOfClassAuthorizedDeterministicWrite,
                                        Kind::OutOfClassNoConsequentialUse};
  static const std::string kExpected = [] {
    std::string names;
    for (const Kind kind : kKinds)
      names += "\"" + std::string(membership_kind_name(kind)) + "\" or ";
    return names + "{\"other\": reason}";
  }();
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type == od::json_type::string) {
    std::string_view name;
    if (!string_of(value, name)) return malformed();
    for (const Kind kind : kKinds) {
      if (membership_kind_name(kind) == name) {
        out = Membership::of(kind);
        return true;
      }
    }
    return expected(at, kExpected, shown_text(name));
  }
  if (type != od::json_type::object) return expected(at, kExpected, value);
  std::string reason;
  const bool read = members(value, at, Fields{kOtherFields, 1},
                            [&](std::size_t, od::value other, const Path& other_at) {
                              return text(other, other_at, reason);
                            });
  if (read) out = Membership::other(std::move(reason));
  return read;
}

bool Reader::expiry(od::value value, const Path& at, Expiry& out) {
  constexpr std::string_view kExpected = "\"never\" or {\"at\": time}";
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type == od::json_type::string) {
    std::string_view text;
    if (!string_of(value, text)) return malformed();
    if (text != "never") return expected(at, kExpected, shown_text(text));
    out = Expiry::never();
    return true;
  }
  if (type != od::json_type::object) return expected(at, kExpected, value);
  double deadline = 0;
  const bool read = members(value, at, Fields{kAtFields, 1},
                            [&](std::size_t, od::value at_value, const Path& deadline_at) {
                              return time(at_value, deadline_at, deadline);
                            });
  if (read) out = Expiry::at(from_unix_seconds_or_now(deadline));
  return read;
}

bool Reader::gap(od::value value, const Path& at, std::vector<GapRecord>& out) {
  std::string gap_id, gap_type;
  std::string_view status = "open";
  std::optional<double> bound;
  const bool read = members(value, at, Fields{kGapFields, 2},
                            [&](std::size_t field, od::value v, const Path& field_at) {
                              switch (field) {
                                case 0:
                                  return text(v, field_at, gap_id);
                                case 1:
                                  return text(v, field_at, gap_type);
                                case 2:
                                  return is_null(v) || text(v, field_at, status);
                                default: {
                                  if (is_null(v)) return true;
                                  od::json_type type{};
                                  if (!type_of(v, type)) return malformed();
                                  if (type != od::json_type::number)
                                    return expected(field_at, "a number", v);
                                  std::string_view token;
                                  double number = 0;
                                  if (!this->number(v, field_at, number, token)) return false;
                                  bound = number;
                                  return true;
                                }
                              }
                            });
  if (!read) return false;
  const auto kind = parse_gap_kind(status);
  if (!kind) return refused(at, kind.error().text());
  GapStatus gap_status = GapStatus::open();
  if (*kind == GapKind::Closed) gap_status = GapStatus::closed();
  if (*kind == GapKind::Bounded) gap_status = GapStatus::bounded(bound.value_or(0.0));
  out.emplace_back(std::move(gap_id), std::move(gap_type), gap_status);
  return true;
}

bool Reader::requirement(od::value value, const Path& at, std::size_t depth, GapRequirement& out) {
  if (depth >= kMaxRequestDepth) return malformed();
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  if (type != od::json_type::object) return expected(at, "an object", value);
  od::object object;
  if (value.get_object().get(object)) return malformed();
  // Which form the object has is known only once its keys are all seen.
  std::string gap_id, minimum;
  // The first key outside each form: a single requirement's, and an any_of's.
  std::optional<std::string> unknown, not_any_of;
  std::optional<std::vector<GapRequirement::Arm>> arms;
  std::uint32_t seen = 0;
  for (auto member : object) {
    od::field field;
    std::string_view key;
    if (std::move(member).get(field) || !key_of(field, key)) return malformed();
    const std::uint32_t bit = key == "gap_id"           ? 1
                              : key == "minimum_status" ? 2
                              : key == "any_of"         ? 4
                                                        : 0;
    if (bit != 4 && !not_any_of) not_any_of = std::string(key);
    if (bit == 0) {
      if (!unknown) unknown = std::string(key);
      continue;
    }
    if (seen & bit) return malformed();  // a duplicated key
    seen |= bit;
    if (bit == 4) {
      arms.emplace();
      const Path arms_at = at.field("any_of");
      const bool read = items(field.value(), arms_at, [&](od::value arm, const Path& arm_at) {
        GapRequirement inner = GapRequirement::single("", GapKind::Open);
        if (!requirement(arm, arm_at, depth + 2, inner)) return false;
        arms->push_back(std::make_shared<const GapRequirement>(std::move(inner)));
        return true;
      });
      if (!read) return false;
      continue;
    }
    if (!text(field.value(), at.field(key), bit == 1 ? gap_id : minimum)) return false;
  }
  const Fields fields = arms ? Fields{kAnyOfFields, 1} : Fields{kSingleFields, 2};
  if (arms) unknown = not_any_of;
  if (unknown) {
    fault = ReadFault{ReadFault::Kind::Format, at.key(*unknown).text(),
                      "unknown field; expected one of " + joined(fields.names, ", ")};
    return false;
  }
  if (arms) {
    out = GapRequirement::any_of(std::move(*arms));
    return true;
  }
  for (std::uint32_t i = 0; i < 2; ++i) {
    if (!(seen & (1u << i))) {
      fault = ReadFault{ReadFault::Kind::Format, at.field(kSingleFields[i]).text(),
                        "missing required field"};
      return false;
    }
  }
  const auto kind = parse_required_status(minimum);
  if (!kind) return refused(at, kind.error().text());
  out = GapRequirement::single(std::move(gap_id), *kind);
  return true;
}

bool Reader::profile(od::value value, const Path& at, std::vector<PendingProfile>& out) {
  PendingProfile profile;
  // The profile object sits under $.profiles[i]; its requirements two levels further down.
  constexpr std::size_t kRequirementDepth = 4;
  const bool read =
      members(value, at, Fields{kProfileFields, 2},
              [&](std::size_t field, od::value v, const Path& field_at) {
                if (field == 0) return text(v, field_at, profile.level);
                return items(v, field_at, [&](od::value item, const Path& item_at) {
                  GapRequirement requirement = GapRequirement::single("", GapKind::Open);
                  if (!this->requirement(item, item_at, kRequirementDepth, requirement))
                    return false;
                  profile.requirements.push_back(std::move(requirement));
                  return true;
                });
              });
  if (read) out.push_back(std::move(profile));
  return read;
}

// Details go to the engine as the value read, never as text to parse again. The engine's own
// rules for details apply: at most kMaxDetailsDepth levels, numbers as its parser would hold them.
// A value past those rules is named by its own path.
bool Reader::details(od::value value, const Path& at, std::size_t depth, nlohmann::json& out) {
  od::json_type type{};
  if (!type_of(value, type)) return malformed();
  switch (type) {
    case od::json_type::object:
    case od::json_type::array: {
      if (depth + 1 > kMaxDetailsDepth) {
        fault = ReadFault{ReadFault::Kind::Format, at.text(),
                          "expected details " + json_walk::nesting_limit(kMaxDetailsDepth)};
        return false;
      }
      if (type == od::json_type::array) {
        out = nlohmann::json::array();
        od::array array;
        if (value.get_array().get(array)) return malformed();
        std::size_t i = 0;
        for (auto item : array) {
          od::value element;
          if (std::move(item).get(element)) return malformed();
          if (!details(element, at.index(i++), depth + 1, out.emplace_back())) return false;
        }
        return true;
      }
      out = nlohmann::json::object();
      od::object object;
      if (value.get_object().get(object)) return malformed();
      for (auto member : object) {
        od::field field;
        std::string_view key;
        if (std::move(member).get(field) || !key_of(field, key)) return malformed();
        auto [slot, inserted] = out.emplace(std::string(key), nullptr);
        if (!inserted) return malformed();  // a duplicated key
        if (!details(field.value(), at.key(key), depth + 1, slot.value())) return false;
      }
      return true;
    }
    case od::json_type::string: {
      std::string_view text;
      if (!string_of(value, text)) return malformed();
      out = std::string(text);
      return true;
    }
    case od::json_type::number: {
      const std::string_view token = json_walk::number_token(value.raw_json_token());
      if (!json_walk::is_number_token(token)) return malformed();
      const char* end = token.data() + token.size();
      if (json_walk::is_integer_token(token)) {
        std::int64_t signed_value = 0;
        if (const auto r = std::from_chars(token.data(), end, signed_value);
            r.ec == std::errc() && r.ptr == end) {
          out = signed_value;
          return true;
        }
        std::uint64_t unsigned_value = 0;
        if (const auto r = std::from_chars(token.data(), end, unsigned_value);
            r.ec == std::errc() && r.ptr == end) {
          out = unsigned_value;
          return true;
        }
      }
      double number = 0;
      if (value.get_double().get(number) || !std::isfinite(number)) {
        if (!json_walk::is_integer_token(token)) return malformed();
        // An integer too large for any number details hold.
        fault = ReadFault{ReadFault::Kind::Format, at.text(),
                          "expected a number details can hold, got an integer of " +
                              std::to_string(token.size() - (token.front() == '-' ? 1 : 0)) +
                              " digits"};
        return false;
      }
      out = number;
      return true;
    }
    case od::json_type::boolean: {
      bool flag = false;
      if (value.get_bool().get(flag)) return malformed();
      out = flag;
      return true;
    }
    case od::json_type::null:
      out = nullptr;
      return is_null(value);
  }
  return malformed();
}

bool Reader::token(od::value value, const Path& at, TokenList& out) {
  RawProofToken raw;
  nlohmann::json details_value;
  const bool read = members(value, at, Fields{kTokenFields, 9},
                            [&](std::size_t field, od::value v, const Path& field_at) {
                              switch (field) {
                                case 0:
                                  return text(v, field_at, raw.token_id);
                                case 1:
                                  return text(v, field_at, raw.token_type);
                                case 2:
                                  return text(v, field_at, raw.schema_version);
                                case 3:
                                  return text(v, field_at, raw.status);
                                case 4:
                                  return texts(v, field_at, raw.closes_gaps);
                                case 5:
                                  return texts(v, field_at, raw.bounds_gaps);
                                case 6:
                                  return text(v, field_at, raw.provenance_hash);
                                case 7:
                                  return time(v, field_at, raw.issued_at);
                                case 8:
                                  return text(v, field_at, raw.issuer);
                                case 9: {
                                  if (is_null(v)) return true;
                                  double expires = 0;
                                  if (!time(v, field_at, expires)) return false;
                                  raw.expires_at = expires;
                                  return true;
                                }
                                case 10: {
                                  return is_null(v) || details(v, field_at, 0, details_value);
                                }
                                default:
                                  return is_null(v) || flag(v, field_at, raw.is_negative_control);
                              }
                            });
  if (!read) return false;
  auto token = ProofToken::create(std::move(raw), std::move(details_value));
  if (!token) return refused(at, token.error().text());
  out.push_back(share(std::move(*token)));
  return true;
}

bool Reader::scope(od::value value, const Path& at, Scope& out) {
  std::array<std::vector<std::string>, 4> lists;
  const bool read = members(value, at, Fields{kScopeFields, 0},
                            [&](std::size_t field, od::value v, const Path& field_at) {
                              return is_null(v) || texts(v, field_at, lists[field]);
                            });
  if (read) {
    out = Scope(std::move(lists[0]), std::move(lists[1]), std::move(lists[2]), std::move(lists[3]));
  }
  return read;
}

bool Reader::runtime(od::value value, const Path& at, RequestRuntime& out) {
  static constexpr std::array kStatuses = {
      NegativeControlStatus::Live, NegativeControlStatus::Stale, NegativeControlStatus::Failed,
      NegativeControlStatus::Missing};
  static const std::string kExpectedStatus = [] {
    std::string names;
    for (const auto status : kStatuses) {
      names += (names.empty() ? "\"" : " or \"") +
               std::string(negative_control_status_name(status)) + "\"";
    }
    return names;
  }();
  const auto states = [&](od::value v, const Path& states_at) {
    od::json_type type{};
    if (!type_of(v, type)) return malformed();
    if (type != od::json_type::object) {
      return expected(states_at, "an object mapping token ids to statuses", v);
    }
    od::object object;
    if (v.get_object().get(object)) return malformed();
    auto& read = out.negative_control_states.emplace();
    std::unordered_set<std::string_view> ids;
    for (auto member : object) {
      od::field field;
      std::string_view id;
      if (std::move(member).get(field) || !key_of(field, id)) return malformed();
      if (!ids.insert(id).second) return malformed();  // a duplicated key
      od::value status_value = field.value();
      od::json_type status_type{};
      std::string_view name;
      if (!type_of(status_value, status_type)) return malformed();
      if (status_type == od::json_type::string) {
        if (!string_of(status_value, name)) return malformed();
        for (const auto status : kStatuses) {
          if (negative_control_status_name(status) == name) {
            read.emplace_back(std::string(id), status);
            break;
          }
        }
        if (!read.empty() && read.back().first == id) continue;
        return expected(states_at.key(id), kExpectedStatus, shown_text(name));
      }
      return expected(states_at.key(id), kExpectedStatus, status_value);
    }
    return true;
  };
  return members(value, at, Fields{kRuntimeFields, 0},
                 [&](std::size_t field, od::value v, const Path& field_at) {
                   if (is_null(v)) return true;
                   switch (field) {
                     case 0:
                       return time(v, field_at, out.now.emplace());
                     case 1:
                       return text(v, field_at, out.context_fingerprint.emplace());
                     case 2:
                       return states(v, field_at);
                     default:
                       return flag(v, field_at, out.strict_mode);
                   }
                 });
}

bool Reader::level(const PermissionChain& chain, const std::string& name, const Path& at,
                   Permission& out) {
  if (const auto level = chain.parse(name)) {
    out = *level;
    return true;
  }
  std::string names;
  for (const Permission each : chain.levels())
    names.append(names.empty() ? "" : ", ").append(each.name());
  return expected(at, "a level of the chain (" + names + ")", shown_text(name));
}

bool Reader::request(od::document& document, const PermissionChain* given, ReadRequest& out) {
  const Path root(root_);
  od::json_type type{};
  if (document.type().get(type)) return malformed();
  if (type != od::json_type::object) return expected(root, "an object", shown(document));
  od::object object;
  if (document.get_object().get(object)) return malformed();
  ProofContextFields f;
  std::string ceiling;
  std::vector<PendingProfile> profiles;
  std::optional<std::string> fingerprint;
  const bool read = members(
      object, root, Fields{kRequestFields, 7}, [&](std::size_t field, od::value v, const Path& at) {
        // Optional fields that are null are absent.
        if (field >= kGaps && is_null(v)) return true;
        switch (static_cast<RequestField>(field)) {
          case kClaim:
            return text(v, at, f.claim_id);
          case kCandidate:
            return text(v, at, f.candidate_id);
          case kContextId:
            return text(v, at, f.context_id);
          case kUse:
            return text(v, at, f.allowed_use);
          case kMembership:
            return membership(v, at, f.membership);
          case kCeiling:
            return text(v, at, ceiling);
          case kExpiry:
            return expiry(v, at, f.expiry);
          case kGaps:
            return items(v, at, [&](od::value item, const Path& item_at) {
              return gap(item, item_at, f.gaps);
            });
          case kProfiles:
            return items(v, at, [&](od::value item, const Path& item_at) {
              return profile(item, item_at, profiles);
            });
          case kTokens:
            return items(v, at, [&](od::value item, const Path& item_at) {
              return token(item, item_at, f.tokens);
            });
          case kDisallowed:
            return texts(v, at, f.disallowed_uses);
          case kScope:
            return scope(v, at, f.scope);
          case kFingerprint:
            return text(v, at, fingerprint.emplace());
          case kChain:
            if (refuse_inline_chain_) {
              fault = ReadFault{ReadFault::Kind::Inline, at.text(),
                                "expected no chain of the request's own (publish the chain and "
                                "name it by its hash)"};
              return false;
            }
            return chain(v, at, out.chain);
          case kRuntime:
            return runtime(v, at, out.runtime.emplace());
          case kSchema:
          case kDescription: {
            std::string_view annotation;
            return text(v, at, annotation);
          }
        }
        return false;
      });
  if (!read) return false;
  const PermissionChain& levels = given ? *given : out.chain ? *out.chain : *default_chain();
  Permission ceiling_level;
  if (!level(levels, ceiling, root.field("authority_ceiling"), ceiling_level)) return false;
  f.authority_ceiling = ceiling_level;
  const Path profiles_at = root.field("profiles");
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    Permission permission;
    if (!level(levels, profiles[i].level, profiles_at.index(i).field("permission"), permission)) {
      return false;
    }
    f.profiles.push_back(
        std::make_shared<const Profile>(permission, std::move(profiles[i].requirements)));
  }
  f.context_fingerprint = fingerprint ? std::move(*fingerprint) : f.context_id;
  out.context = std::make_shared<const ProofContext>(std::move(f));
  return true;
}

bool Reader::chain_document(od::document& document, std::shared_ptr<const PermissionChain>& out) {
  const Path root(root_);
  od::json_type type{};
  if (document.type().get(type)) return malformed();
  if (type != od::json_type::object) return expected(root, "an object", shown(document));
  od::object object;
  if (document.get_object().get(object)) return malformed();
  return chain_fields(object, root, out);
}

bool Reader::time_document(od::document& document, double& out) {
  // The document is the time wrapped in a one-element array: a scalar root is not a value.
  od::array array;
  if (document.get_array().get(array)) return malformed();
  bool read = false;
  for (auto item : array) {
    od::value value;
    if (read || std::move(item).get(value) || !time(value, Path(root_), out)) return false;
    read = true;
  }
  return read;
}

// What reading keeps per thread and reuses: the parser, whose buffers grow to the largest
// document read, and a padded copy of the input for callers that leave no room after it. Both
// are given back after a large document, so that one big request does not pin its size for the
// thread's life.
class ThreadReading {
 public:
  od::parser& parser() { return parser_; }
  // The input, in place when the caller left room to read past its end, else copied.
  simdjson::padded_string_view padded(JsonBytes json) {
    // Read in place only past zeros: what lies after a document must not read as more of it.
    if (json.readable >= json.text.size() + kJsonPadding &&
        std::all_of(json.text.end(), json.text.end() + kJsonPadding,
                    [](char c) { return c == 0; })) {
      return simdjson::padded_string_view(json.text.data(), json.text.size(), json.readable);
    }
    copy_.resize(json.text.size() + kJsonPadding);
    std::memcpy(copy_.data(), json.text.data(), json.text.size());
    std::memset(copy_.data() + json.text.size(), 0, kJsonPadding);
    return simdjson::padded_string_view(copy_.data(), json.text.size(), copy_.size());
  }
  void done() {
    if (parser_.capacity() > kKept) parser_ = od::parser();
    if (copy_.capacity() > kKept) copy_ = {};
  }

 private:
  static constexpr std::size_t kKept = std::size_t{1} << 20;
  od::parser parser_;
  std::vector<char> copy_;
};

thread_local ThreadReading t_reading;

template <class T, class Read>
std::expected<T, ReadFault> read_document(JsonBytes json, std::string_view root, Read&& read,
                                          std::size_t max_depth = kMaxRequestDepth) {
  const simdjson::padded_string_view input = t_reading.padded(json);
  od::parser& parser = t_reading.parser();
  Reader reader(root);
  reader.read_from(input);
  od::document document;
  std::optional<T> result;
  if (!parser.iterate(input).get(document)) {
    result = read(reader, document);
    // Anything after the root value is not JSON.
    const char* after = nullptr;
    if (result && (reader.broken() || !document.current_location().get(after))) result.reset();
  }
  if (result) {
    t_reading.done();
    return std::move(*result);
  }
  auto fault = json_walk::document_fault(parser, input, root, max_depth);
  t_reading.done();
  if (fault) return std::unexpected(std::move(*fault));
  if (reader.fault) return std::unexpected(std::move(*reader.fault));
  return std::unexpected(
      ReadFault{ReadFault::Kind::Format, std::string(root), "expected valid JSON"});
}

}  // namespace

std::expected<ReadRequest, ReadFault> read_request(JsonBytes json, const PermissionChain* chain,
                                                   std::string_view root,
                                                   InlineChain inline_chain) {
  return read_document<ReadRequest>(json, root, [&](Reader& reader, od::document& document) {
    ReadRequest out;
    reader.refuse_inline_chain(inline_chain == InlineChain::Refuse);
    return reader.request(document, chain, out) ? std::optional(std::move(out)) : std::nullopt;
  });
}

std::expected<std::shared_ptr<const PermissionChain>, ReadFault> read_chain(JsonBytes json,
                                                                            std::string_view root) {
  return read_document<std::shared_ptr<const PermissionChain>>(
      json, root, [](Reader& reader, od::document& document) {
        std::shared_ptr<const PermissionChain> out;
        return reader.chain_document(document, out) ? std::optional(std::move(out)) : std::nullopt;
      });
}

std::expected<double, ReadFault> read_time(JsonBytes json, std::string_view root) {
  std::string wrapped;
  wrapped.reserve(json.text.size() + 2 + kJsonPadding);
  wrapped.append("[").append(json.text).append("]");
  const JsonBytes array{wrapped, wrapped.capacity()};
  auto read = read_document<double>(array, root, [](Reader& reader, od::document& document) {
    double out = 0;
    return reader.time_document(document, out) ? std::optional(out) : std::nullopt;
  });
  // The array is the reader's own: a fault inside it is the time's.
  const std::string element = std::string(root) + "[0]";
  if (!read && read.error().path.starts_with(element)) {
    read.error().path = std::string(root) + read.error().path.substr(element.size());
  }
  return read;
}

std::expected<std::vector<std::string_view>, ReadFault> read_members(
    JsonBytes json, std::span<const std::string_view> names, std::string_view root) {
  std::vector<std::string_view> found(names.size());
  std::vector<bool> seen(names.size(), false);
  std::optional<ReadFault> shape;
  const simdjson::padded_string_view input = t_reading.padded(json);
  od::parser& parser = t_reading.parser();
  od::document document;
  od::object object;
  bool read = !parser.iterate(input).get(document) && !document.get_object().get(object);
  // The members' texts are views into `input`: when it is the reader's own copy, they are
  // offsets into it, made views into `json` at the end.
  const char* base = input.data();
  if (read) {
    for (auto field : object) {
      od::field member;
      std::string_view key;
      std::string scratch;
      if (std::move(field).get(member) ||
          !json_walk::string_at(member.key().raw(), input.data() + input.size(), scratch, key)) {
        read = false;
        break;
      }
      const auto at = std::find(names.begin(), names.end(), key);
      if (at == names.end()) {
        if (!shape) {
          shape = ReadFault{ReadFault::Kind::Format, json_text::member_path(root, key),
                            "unknown field; expected one of " + joined(names, ", ")};
        }
        continue;
      }
      const auto i = static_cast<std::size_t>(at - names.begin());
      od::value value = member.value();
      od::json_type type{};
      std::string_view text;
      if (seen[i] || value.type().get(type)) {
        read = false;
        break;
      }
      if (type == od::json_type::object) {
        od::object inner;
        read = !value.get_object().get(inner) && !inner.raw_json().get(text);
      } else if (type == od::json_type::array) {
        od::array inner;
        read = !value.get_array().get(inner) && !inner.raw_json().get(text);
      } else {
        text = json_walk::number_token(value.raw_json_token());
      }
      if (!read) break;
      seen[i] = true;
      found[i] = text;
    }
    const char* after = nullptr;
    read = read && document.current_location().get(after) != simdjson::SUCCESS;
  }
  if (!read) {
    auto fault = json_walk::document_fault(parser, input, root, kMaxJsonDepth);
    t_reading.done();
    if (fault) return std::unexpected(std::move(*fault));
    return std::unexpected(
        ReadFault{ReadFault::Kind::Format, std::string(root), "expected an object"});
  }
  if (!shape) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (!seen[i]) {
        shape = ReadFault{ReadFault::Kind::Format, json_text::member_path(root, names[i]),
                          "missing required field"};
        break;
      }
    }
  }
  // A fault of the JSON itself is named before one of the shape. The members are checked when
  // they are read as requests.
  if (shape) {
    if (auto fault = json_walk::document_fault(parser, input, root, kMaxJsonDepth)) shape = fault;
  }
  t_reading.done();
  if (shape) return std::unexpected(std::move(*shape));
  for (std::string_view& text : found) {
    text = json.text.substr(static_cast<std::size_t>(text.data() - base), text.size());
  }
  return found;
}

std::optional<ReadFault> check_json(JsonBytes json, std::string_view root) {
  auto fault =
      json_walk::document_fault(t_reading.parser(), t_reading.padded(json), root, kMaxJsonDepth);
  t_reading.done();
  return fault;
}

}  // namespace oq
