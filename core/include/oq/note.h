#pragma once

// Signed notes and the checkpoints of a log written as one: text signed by Ed25519 keys, each
// signature a line "— NAME base64(key id || signature)" after a blank line, the key id being the
// first four bytes of SHA-256(NAME || 0x0A || 0x01 || public key). A checkpoint's text is the
// log's origin, its tree size and its root hash in base64, one to a line.
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "oq/merkle.h"

namespace oq::note {

using PublicKey = std::array<std::uint8_t, 32>;

// A key that checks signatures: written "NAME+ID+base64(0x01 || public key)", ID in 8 hex digits.
struct VerifierKey {
  std::string name;
  std::uint32_t id = 0;
  PublicKey public_key{};
};

// A key that signs: written "PRIVATE+KEY+NAME+ID+base64(0x01 || seed)".
struct SigningKey {
  std::string name;
  std::uint32_t id = 0;
  std::array<std::uint8_t, 32> seed{};
  PublicKey public_key{};

  VerifierKey verifier() const { return {name, id, public_key}; }
};

// What a note or key could not be read as, or why it is refused, in one line.
using Refusal = std::string;

// Standard base64 with padding, and its strict reading (no other characters, no stray bits).
std::string base64(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> from_base64(std::string_view text);

// Whether `name` may name a key: not empty, no spaces, no '+', no control characters.
bool valid_key_name(std::string_view name);
std::uint32_t key_id(std::string_view name, const PublicKey& public_key);

// A new key named `name`, from the system's random source.
std::expected<SigningKey, Refusal> generate_key(std::string_view name);
std::expected<SigningKey, Refusal> read_signing_key(std::string_view text);
std::expected<VerifierKey, Refusal> read_verifier_key(std::string_view text);
std::string write_key(const SigningKey& key);
std::string write_key(const VerifierKey& key);

// The note of `text` (which must end in a newline) signed by `key`.
std::expected<std::string, Refusal> sign(std::string_view text, const SigningKey& key);

// A note whose signatures were checked: its text, and which of the known keys signed it.
struct Opened {
  std::string_view text;
  std::size_t signer = 0;
};

// Reads `note` and checks it against `known`: it must be well formed, every signature by a
// known key (same name and id) must verify, and at least one must be there. Signatures by
// other keys are passed over.
std::expected<Opened, Refusal> open(std::string_view note, std::span<const VerifierKey> known);

// A log's state as a checkpoint states it.
struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  merkle::Hash root{};
};

std::string checkpoint_text(const Checkpoint& checkpoint);
// Reads a checkpoint's text; lines after the root (extensions) are allowed and not kept.
std::expected<Checkpoint, Refusal> read_checkpoint(std::string_view text);

}  // namespace oq::note
