#include "oq/decision_record.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "json_text.h"
#include "oq/canonical_json.h"
#include "oq/utc_time.h"

namespace oq {

namespace {

// Writes a record's members in order, compactly; the indentation is added afterwards, once.
class Writer {
 public:
  Writer& key(std::string_view name) {
    separate();
    json_text::append_quoted(out_, name);
    out_ += ':';
    fresh_ = true;
    return *this;
  }
  Writer& text(std::string_view value) {
    separate();
    json_text::append_quoted(out_, value);
    return *this;
  }
  Writer& raw(std::string_view json) {
    separate();
    out_ += json;
    return *this;
  }
  // The document `json` in canonical form; false when it is not one that form writes.
  bool canonical(JsonBytes json) {
    separate();
    return append_canonical(out_, json);
  }
  Writer& number(double value) { return raw(json_text::float_repr(value)); }
  Writer& integer(std::uint64_t value) { return raw(std::to_string(value)); }
  Writer& flag(bool value) { return raw(value ? "true" : "false"); }
  Writer& null() { return raw("null"); }
  Writer& open(char bracket) {
    separate();
    out_ += bracket;
    fresh_ = true;
    return *this;
  }
  Writer& close(char bracket) {
    out_ += bracket;
    fresh_ = false;
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  // A comma before every member or element but the first of its container.
  void separate() {
    if (!fresh_) out_ += ',';
    fresh_ = false;
  }
  std::string out_;
  bool fresh_ = true;
};

// Members are written in the canonical form's order: keys ascending.

// The roles in the order of their names.
constexpr std::array<ChainRole, kRoleCount> kRolesByName = {
    ChainRole::BlockerThreshold, ChainRole::Bottom,  ChainRole::DisallowedUsesCeiling,
    ChainRole::ExpiryFloor,      ChainRole::Refused, ChainRole::Top,
    ChainRole::Unsatisfied,
};

void chain_members(Writer& w, const PermissionChain& chain) {
  w.key("chain").open('{').key("levels").open('[');
  for (const Permission level : chain.levels()) w.text(level.name());
  w.close(']').key("roles").open('{');
  for (const ChainRole role : kRolesByName) w.key(role_name(role)).integer(chain.role_index(role));
  w.close('}').close('}');
}

void derivation_members(Writer& w, const CompiledJudgment& judgment) {
  w.key("derivation").open('[');
  for (const DerivationStep& step : judgment.derivation.steps) {
    w.open('{')
        .key("note")
        .text(step_note(judgment, step))
        .key("permission_after")
        .text(step.permission_after.name())
        .key("phase")
        .text(phase_name(step.phase))
        .key("token_ids")
        .open('[');
    for (const std::string& id : step_token_ids(judgment, step)) w.text(id);
    w.close(']').close('}');
  }
  w.close(']');
}

void live_members(Writer& w, const RecordLive& live) {
  std::vector<const std::pair<std::string, std::string>*> states;
  states.reserve(live.negative_control_states.size());
  for (const auto& state : live.negative_control_states) states.push_back(&state);
  std::sort(states.begin(), states.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  w.key("live")
      .open('{')
      .key("context_fingerprint")
      .text(live.context_fingerprint)
      .key("negative_control_states")
      .open('{');
  for (const auto* state : states) w.key(state->first).text(state->second);
  w.close('}')
      .key("now")
      .number(live.now)
      .key("now_utc")
      .text(utc_text(live.now))
      .key("permission")
      .text(live.permission)
      .key("reason");
  if (live.reason) {
    w.text(*live.reason);
  } else {
    w.null();
  }
  w.key("strict_mode").flag(live.strict_mode).close('}');
}

}  // namespace

std::string utc_text(double seconds) {
  // Python's datetime holds the years 1 to 9999: -62135596800 to 253402300800 exclusive.
  if (std::isfinite(seconds) && seconds >= -62135596800.0 && seconds < 253402300800.0) {
    if (const auto moment = from_unix_seconds(seconds)) return format_rfc3339(*moment);
  }
  return json_text::float_repr(seconds) + " (Unix seconds)";
}

std::optional<std::string> render_record(const RecordParts& parts) {
  const CompiledJudgment& judgment = *parts.judgment;
  const double compiled_at = unix_seconds(judgment.derivation.compiled_at);
  Writer w;
  w.open('{');
  chain_members(w, *parts.chain);
  w.key("chain_hash")
      .text(judgment.chain_hash.to_hex())
      .key("compiled_at")
      .number(compiled_at)
      .key("compiled_at_utc")
      .text(utc_text(compiled_at))
      .key("composed")
      .flag(parts.composed);
  derivation_members(w, judgment);
  w.key("format").text(parts.format).key("inputs").open('[');
  for (const RecordInput& input : parts.inputs) {
    w.open('{').key("request");
    if (!w.canonical(input.request)) return std::nullopt;
    w.key("source").text(input.source).close('}');
  }
  w.close(']');
  if (parts.live) live_members(w, *parts.live);
  w.key("permission")
      .text(judgment.permission.name())
      .key("provenance_hash")
      .text(provenance_hash(judgment))
      .key("tool")
      .text(parts.tool)
      .close('}');
  return w.take();
}

std::string reformat_json(std::string_view json, unsigned indent) {
  std::string out;
  out.reserve(json.size() + json.size() / 4);
  append_reformatted(out, json, indent);
  return out;
}

void append_reformatted(std::string& out, std::string_view json, unsigned indent) {
  std::size_t depth = 0;
  const auto line = [&] {
    out += '\n';
    out.append(depth * indent, ' ');
  };
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  if (indent == 0) {
    // Only whitespace goes: what lies between two runs of it is copied whole.
    std::size_t run = 0;
    for (std::size_t i = 0; i < json.size(); ++i) {
      if (json[i] == '"') {
        i = json_text::string_end(json, i);
      } else if (is_space(json[i])) {
        out.append(json.substr(run, i - run));
        run = i + 1;
      }
    }
    if (run < json.size()) out.append(json.substr(run));
    return;
  }
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    switch (c) {
      case '"': {
        const std::size_t end = json_text::string_end(json, i);
        out.append(json.substr(i, end - i + 1));
        i = end;
        break;
      }
      case '{':
      case '[': {
        std::size_t next = i + 1;
        while (next < json.size() && is_space(json[next])) ++next;
        out += c;
        if (next < json.size() && (json[next] == '}' || json[next] == ']')) {
          out += json[next];
          i = next;
          break;
        }
        ++depth;
        line();
        break;
      }
      case '}':
      case ']':
        --depth;
        line();
        out += c;
        break;
      case ',':
        out += ',';
        line();
        break;
      case ':':
        out += ": ";
        break;
      default:
        if (!is_space(c)) out += c;
    }
  }
}

}  // namespace oq
