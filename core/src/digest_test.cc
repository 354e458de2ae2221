#include "oq/digest.h"

#include <gtest/gtest.h>

namespace oq {
namespace {

TEST(Sha256, KnownVector) {
  EXPECT_EQ(to_hex(sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(DigestFromHex, AcceptsEitherCaseAndRejectsEverythingElse) {
  const std::string hex = to_hex(sha256("x"));
  std::string upper = hex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(digest_from_hex(upper), sha256("x"));
  EXPECT_EQ(digest_from_hex(hex), sha256("x"));
  EXPECT_FALSE(digest_from_hex(hex.substr(2)));
  EXPECT_FALSE(digest_from_hex(hex + "00"));
  EXPECT_FALSE(digest_from_hex(hex.substr(1)));
  EXPECT_FALSE(digest_from_hex("g" + hex.substr(1)));
}

TEST(SipHash13, ZeroKeyVectors) {
  // Reference values of SipHash-1-3 under the zero key.
  EXPECT_EQ(static_cast<std::int64_t>(siphash13(std::string("AAA\xFF", 4))), 3099773850204345921);
}

}  // namespace
}  // namespace oq
