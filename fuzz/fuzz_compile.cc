// Contexts decoded from arbitrary bytes, compiled and composed. Oracles: a compilation is
// deterministic at a fixed moment; after the search no step raises the level; rejected tokens
// seen below the blocker threshold end at or below Refused; a composition of in-class, unexpired
// inputs never compiles above the lower of their own levels; a long line of compositions is
// released without exhausting the stack.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "oq/compiler.h"
#include "oq/compose.h"
#include "oq/default_chain.h"

namespace {

using namespace oq;

constexpr std::int64_t kNow = 1'700'000'000;

UtcTime at(std::int64_t seconds) { return *from_unix_seconds(static_cast<double>(seconds)); }

// Reads the fuzzer's bytes one at a time; zeros once they run out.
struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

std::string gap_id(Reader& in, int spread) { return "g" + std::to_string(in.next() % spread); }

GapRequirement requirement(Reader& in, int depth) {
  const int kind = in.next() % 4;
  if (kind < 3 || depth == 0) {
    return GapRequirement::single(gap_id(in, 9),
                                  in.next() % 2 ? GapKind::Closed : GapKind::Bounded);
  }
  std::vector<GapRequirement::Arm> arms;
  const int count = in.next() % 3;
  for (int i = 0; i < count; ++i) {
    arms.push_back(std::make_shared<const GapRequirement>(requirement(in, depth - 1)));
  }
  return GapRequirement::any_of(std::move(arms));
}

std::shared_ptr<const ProofContext> decode(Reader& in) {
  const auto levels = default_chain()->levels();
  ProofContextFields f;
  f.claim_id = "claim";
  f.candidate_id = "cand";
  f.context_id = "ctx";
  f.context_fingerprint = "ctx";
  f.allowed_use = in.next() % 16 ? "use" : "";
  const std::string own = provenance_hash(f.claim_id, f.candidate_id, f.context_id, f.allowed_use);
  for (int i = in.next() % 9; i > 0; --i) {
    const int status = in.next() % 3;
    f.gaps.emplace_back(gap_id(in, 8), "t",
                        status == 0   ? GapStatus::open()
                        : status == 1 ? GapStatus::bounded(in.next())
                                      : GapStatus::closed());
  }
  for (int i = in.next() % 5; i > 0; --i) {
    const int level = in.next() % 13;
    std::vector<GapRequirement> required;
    for (int j = in.next() % 4; j > 0; --j) required.push_back(requirement(in, 3));
    f.profiles.push_back(std::make_shared<const Profile>(
        level < 12 ? levels[level] : Permission::named("XYZ"), std::move(required)));
  }
  for (int i = in.next() % 7; i > 0; --i) {
    std::vector<std::string> closes, bounds;
    for (int j = in.next() % 3; j > 0; --j) closes.push_back(gap_id(in, 9));
    for (int j = in.next() % 3; j > 0; --j) bounds.push_back(gap_id(in, 9));
    const int expiry = in.next() % 3;
    const std::optional<UtcTime> expires =
        expiry == 0 ? std::nullopt : std::optional(at(expiry == 1 ? kNow - 5 : kNow + 5));
    f.tokens.push_back(share(
        ProofToken("t" + std::to_string(in.next() % 5), "type", "1", closes, bounds,
                   in.next() % 4 ? own : std::string(64, 'a'), "issuer", nlohmann::json(), at(0),
                   expires, in.next() % 4 == 0, static_cast<TokenStatus>(in.next() % 5))));
  }
  if (in.next() % 2) f.disallowed_uses = {"x"};
  if (in.next() % 8 == 0) f.membership = Membership::of(Membership::Kind::OutOfClassExact);
  f.authority_ceiling = levels[in.next() % 12];
  if (in.next() % 8 == 0) f.expiry = Expiry::at(at(kNow - 1));
  return std::make_shared<const ProofContext>(std::move(f));
}

struct Seen {
  Phase phase;
  std::string after;
  std::string note;
  std::vector<std::string> ids;
  friend bool operator==(const Seen&, const Seen&) = default;
};

std::vector<Seen> seen(const CompiledJudgment& judgment) {
  std::vector<Seen> out;
  for (const auto& step : judgment.derivation.steps) {
    out.push_back({step.phase, std::string(step.permission_after.name()), step_note(judgment, step),
                   step_token_ids(judgment, step)});
  }
  return out;
}

// The compiled level of `context`, checked against the oracles; absent when it does not compile
// or finishes before the search.
std::optional<std::uint8_t> checked_level(const std::shared_ptr<const ProofContext>& context,
                                          const FixedClock& clock) {
  const PermissionChain& chain = *default_chain();
  const auto first = compile_context(context, chain, clock);
  const auto second = compile_context(context, chain, clock);
  FUZZ_CHECK(first.has_value() == second.has_value());
  if (!first) {
    FUZZ_CHECK(first.error().text() == second.error().text());
    return std::nullopt;
  }
  FUZZ_CHECK(first->permission == second->permission && seen(*first) == seen(*second));
  const auto& steps = first->derivation.steps;
  FUZZ_CHECK(!steps.empty() && steps.back().permission_after == first->permission);
  if (steps.front().phase != Phase::DescendingSearch) return std::nullopt;
  for (std::size_t i = 1; i < steps.size(); ++i) {
    FUZZ_CHECK(*chain.rank(steps[i].permission_after) <=
               *chain.rank(steps[i - 1].permission_after));
  }
  const auto threshold = *chain.rank(chain.role(ChainRole::BlockerThreshold));
  for (const auto& step : steps) {
    if (step.phase == Phase::StructuralBlockers && step.detail != StepDetail::DisallowedUses) {
      FUZZ_CHECK(*chain.rank(steps.front().permission_after) < threshold);
      FUZZ_CHECK(*chain.rank(first->permission) <= *chain.rank(chain.role(ChainRole::Refused)));
    }
  }
  return *chain.rank(first->permission);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const FixedClock clock(at(kNow));
  Reader in{data, size};
  const auto g1 = decode(in);
  const auto g2 = decode(in);
  const auto p1 = checked_level(g1, clock);
  const auto p2 = checked_level(g2, clock);
  const auto composed = compose_contexts(g1, g2, *default_chain(), clock);
  if (!composed) return 0;
  const auto level = compile_context(*composed, *default_chain(), clock);
  if (level && p1 && p2) {
    FUZZ_CHECK(*default_chain()->rank(level->permission) <= std::min(*p1, *p2));
  }
  // A line of compositions, each folding an input into the one before, then dropped at once:
  // releasing it must not recurse once per composition.
  std::shared_ptr<const ProofContext> line = *composed;
  for (int fold = in.next() * 4; fold > 0; --fold) {
    auto next = compose_contexts(line, fold % 2 ? g1 : g2, *default_chain(), clock);
    if (!next) break;
    line = std::move(*next);
  }
  return 0;
}
