#include "oq/text_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace oq {
namespace {

// The published SipHash-2-4 vectors for key 00..0f and messages 00, 00 01, ...: the rounds,
// the word order and the length byte are those of the reference.
TEST(TextHash, SipHashMatchesTheReference) {
  const std::array<std::uint64_t, 2> key{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};
  std::string message;
  for (int i = 0; i < 15; ++i) message += static_cast<char>(i);
  const auto sip = [&](std::string_view m) { return siphash<2, 4>(key, m); };
  EXPECT_EQ(sip(""), 0x726fdb47dd0e0e31ull);
  EXPECT_EQ(sip(message.substr(0, 8)), 0x93f5f5799a932462ull);
  EXPECT_EQ(sip(message), 0xa129ca6149be45e5ull);
}

TEST(TextHash, DependsOnEveryByteAndTheLength) {
  EXPECT_EQ(text_hash("gap-1"), text_hash(std::string("gap-1")));
  EXPECT_NE(text_hash("gap-1"), text_hash("gap-2"));
  EXPECT_NE(text_hash(""), text_hash(std::string_view("\0", 1)));
  EXPECT_NE(text_hash("12345678"), text_hash("123456789"));
}

}  // namespace
}  // namespace oq
