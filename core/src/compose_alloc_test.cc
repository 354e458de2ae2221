// Compositions that run out of memory part way. This program replaces the global allocation
// functions, so that each allocation of a composition in turn can be made to fail once; it is
// kept apart from the other tests, which allocate as usual.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "oq/compose.h"
#include "test_support.h"

namespace {

// Counted down by each allocation on this thread; the one that takes it to zero fails.
thread_local long failing_allocation = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (failing_allocation > 0 && --failing_allocation == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace oq {
namespace {

// Few profiles and many (their groups are found two ways), two levels each, some requirements
// shared and some not, and a token per side.
Request side(int which, int profiles) {
  Request r;
  for (int i = 0; i < profiles; ++i) {
    r.profile(i % 2 ? "ALR" : "AEX",
              {need("g" + std::to_string(i % 7), which ? GapKind::Closed : GapKind::Bounded),
               need("h" + std::to_string(i + 30 * which))});
  }
  r.token({"t" + std::to_string(which)});
  return r;
}

std::string shown(const ProofContext& context) {
  std::string out;
  for (const auto& profile : context.profiles()) {
    out += std::string(profile->permission().name()) + ":";
    for (const auto& requirement : profile->required_gaps()) {
      out += requirement.gap_id() + "/" + std::string(gap_kind_name(requirement.minimum_status()));
      out += ",";
    }
    out += ";";
  }
  for (const auto* token : context.tokens()) out += std::string(token->token_id()) + ",";
  return out;
}

// Whichever allocation fails, the composition reports it and keeps nothing of its inputs: once
// they are dropped their records are gone, and the next composition comes out whole.
TEST(ComposeOutOfMemory, KeepsNothingOfItsInputsAndLeavesTheNextWhole) {
  const FixedClock clock(at(kNow));
  const auto& chain = *default_chain();
  for (const int profiles : {6, 30}) {
    const auto reference =
        compose_contexts(side(0, profiles).build(), side(1, profiles).build(), chain, clock);
    ASSERT_TRUE(reference);
    const std::string expected = shown(**reference);
    bool failed = true;
    for (long n = 1; failed; ++n) {
      std::vector<std::weak_ptr<const void>> records;
      {
        const auto a = side(0, profiles).build();
        const auto b = side(1, profiles).build();
        for (const auto& input : {a, b}) {
          for (const auto& profile : input->profiles()) records.emplace_back(profile);
          records.emplace_back(input->tokens().share(0));
        }
        failing_allocation = n;
        try {
          const auto composed = compose_contexts(a, b, chain, clock);
          failed = false;
        } catch (const std::bad_alloc&) {
        }
        failing_allocation = 0;
      }
      for (const auto& record : records) {
        EXPECT_TRUE(record.expired()) << profiles << " profiles, allocation " << n;
      }
      const auto again =
          compose_contexts(side(0, profiles).build(), side(1, profiles).build(), chain, clock);
      ASSERT_TRUE(again);
      EXPECT_EQ(shown(**again), expected) << profiles << " profiles, allocation " << n;
    }
  }
}

}  // namespace
}  // namespace oq
