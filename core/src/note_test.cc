#include "oq/note.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace oq::note {
namespace {

// The published example of the signed-note format's reference implementation: a key pair, a
// text and its signature. Ed25519 signs deterministically, so signing the text again gives the
// same note byte for byte.
constexpr std::string_view kVerifier =
    "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW";
constexpr std::string_view kSigner =
    "PRIVATE+KEY+PeterNeumann+c74f20a3+AYEKFALVFGyNhPJEMzD1QIDr+Y7hfZx09iUvxdXHKDFz";
constexpr std::string_view kText =
    "If you think cryptography is the answer to your problem,\n"
    "then you don't know what your problem is.\n";
constexpr std::string_view kNote =
    "If you think cryptography is the answer to your problem,\n"
    "then you don't know what your problem is.\n"
    "\n"
    "\xE2\x80\x94 PeterNeumann "
    "x08go/ZJkuBS9UG/"
    "SffcvIAQxVBtiFupLLr8pAcElZInNIuGUgYN1FFYC2pZSNXgKvqfqdngotpRZb6KE6RyyBwJnAM=\n";

std::vector<VerifierKey> peter() { return {*read_verifier_key(kVerifier)}; }

TEST(Note, ThePublishedExampleReadsSignsAndOpensByteForByte) {
  const auto signer = read_signing_key(kSigner);
  ASSERT_TRUE(signer) << signer.error();
  EXPECT_EQ(write_key(*signer), kSigner);
  EXPECT_EQ(write_key(signer->verifier()), kVerifier);
  EXPECT_EQ(signer->id, 0xc74f20a3u);
  const auto note = sign(kText, *signer);
  ASSERT_TRUE(note) << note.error();
  EXPECT_EQ(*note, kNote);
  const auto opened = open(kNote, peter());
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_EQ(opened->text, kText);
}

TEST(Note, AnyChangedByteOrAnotherKeyIsRefused) {
  const auto keys = peter();
  const std::string note(kNote);
  for (std::size_t i = 0; i < note.size(); ++i) {
    std::string changed = note;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_FALSE(open(changed, keys)) << "byte " << i;
  }
  // The same key under another name, or another key under the same name and id, signed nothing.
  VerifierKey renamed = keys[0];
  renamed.name = "PeterNeumann2";
  EXPECT_FALSE(open(kNote, std::vector{renamed}));
  VerifierKey other = keys[0];
  other.public_key[0] ^= 1;
  EXPECT_FALSE(open(kNote, std::vector{other}));
  VerifierKey reidentified = keys[0];
  reidentified.id ^= 1;
  EXPECT_FALSE(open(kNote, std::vector{reidentified}));
  // Without its signature line, or its blank line, a note is no note.
  EXPECT_FALSE(open(std::string(kText) + "\n", keys));
  EXPECT_FALSE(open(kText, keys));
  EXPECT_FALSE(open("", keys));
  // A signature by an unknown key is passed over; one by a known key must still be there.
  const auto stranger = generate_key("stranger");
  ASSERT_TRUE(stranger);
  const auto cosigned = sign(kText, *stranger);
  ASSERT_TRUE(cosigned);
  EXPECT_FALSE(open(*cosigned, keys));
  const std::string both = note + cosigned->substr(kText.size() + 1);
  const auto opened = open(both, std::vector{keys[0], stranger->verifier()});
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_EQ(opened->signer, 0u);
}

TEST(Note, KeysAreReadStrictly) {
  const std::string good(kVerifier);
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_FALSE(read_verifier_key(good.substr(0, cut))) << cut;
  }
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::string changed = good;
    ++changed[i];
    EXPECT_FALSE(read_verifier_key(changed)) << i;
  }
  EXPECT_FALSE(read_signing_key(kVerifier));
  EXPECT_FALSE(read_verifier_key(kSigner));
  for (const std::string_view name : {"", "a b", "a+b", "a\nb",
                                      "a\xC2\xA0"
                                      "b"}) {
    EXPECT_FALSE(valid_key_name(name)) << name;
    EXPECT_FALSE(generate_key(name));
  }
  const auto made = generate_key("example.com/decisions");
  ASSERT_TRUE(made);
  const auto again = read_signing_key(write_key(*made));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->public_key, made->public_key);
  EXPECT_EQ(read_verifier_key(write_key(made->verifier()))->id, made->id);
}

TEST(Note, Base64HasOneSpellingForEachByteString) {
  std::vector<std::uint8_t> bytes;
  for (int n = 0; n < 40; ++n) {
    const std::string text = base64(bytes);
    ASSERT_EQ(from_base64(text), bytes) << text;
    bytes.push_back(static_cast<std::uint8_t>(n * 37 + 11));
  }
  for (const std::string_view bad :
       {"A", "AB=", "A===", "AB?=", "AB=A", "AR==", "AAB=", "====", "AA==AA=="}) {
    EXPECT_FALSE(from_base64(bad)) << bad;
  }
}

TEST(Checkpoint, ThePublishedExampleReadsAndWritesBack) {
  const std::string_view text =
      "example.com/behind-the-sofa\n20852163\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n";
  const auto checkpoint = read_checkpoint(text);
  ASSERT_TRUE(checkpoint) << checkpoint.error();
  EXPECT_EQ(checkpoint->origin, "example.com/behind-the-sofa");
  EXPECT_EQ(checkpoint->size, 20852163u);
  EXPECT_EQ(checkpoint_text(*checkpoint), text);
  EXPECT_TRUE(read_checkpoint(std::string(text) + "an extension\n"));
  for (const std::string_view bad :
       {"o\n1\n", "o\n01\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n",
        "o\n-1\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n",
        "o\n18446744073709551616\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n",
        "o\n1\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2=\n",
        "\n1\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n",
        "o\n1\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n\n",
        "o\n1\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I="}) {
    EXPECT_FALSE(read_checkpoint(bad)) << bad;
  }
}

}  // namespace
}  // namespace oq::note
