#include "oq/note.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <memory>

#include "oq/digest.h"
#include "utf8.h"

namespace oq::note {

namespace {

constexpr std::uint8_t kEd25519 = 0x01;
constexpr std::string_view kPrivatePrefix = "PRIVATE+KEY+";
// The em dash that starts a signature line, in UTF-8.
constexpr std::string_view kDash = "\xE2\x80\x94 ";
// More signatures than any log or its witnesses put on one note.
constexpr std::size_t kMostSignatures = 100;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
  const auto at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::optional<PublicKey> public_key_of(const std::array<std::uint8_t, 32>& seed) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  PublicKey out{};
  std::size_t length = out.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length) != 1 ||
      length != out.size()) {
    return std::nullopt;
  }
  return out;
}

bool verify_signature(const PublicKey& public_key, std::string_view text,
                      std::span<const std::uint8_t> signature) {
  Pkey key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
}

std::string id_hex(std::uint32_t id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i, id >>= 4) out[static_cast<std::size_t>(i)] = kDigits[id & 0xF];
  return out;
}

std::optional<std::uint32_t> read_id(std::string_view text) {
  std::uint32_t id = 0;
  if (text.size() != 8) return std::nullopt;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  std::from_chars(text.data(), text.data() + text.size(), id, 16);
  return id;
}

// "NAME+ID+KEYDATA", KEYDATA being base64(0x01 || 32 bytes); the 32 bytes and the id.
struct KeyParts {
  std::string name;
  std::uint32_t id = 0;
  std::array<std::uint8_t, 32> bytes{};
};

std::expected<KeyParts, Refusal> read_parts(std::string_view text, std::string_view what) {
  const auto first = text.find('+');
  const auto second = first == std::string_view::npos ? first : text.find('+', first + 1);
  if (second == std::string_view::npos) {
    return std::unexpected("not a " + std::string(what) + " (expected NAME+ID+KEY)");
  }
  KeyParts parts;
  parts.name = text.substr(0, first);
  if (!valid_key_name(parts.name)) {
    return std::unexpected("the " + std::string(what) + "'s name is not a key name");
  }
  const auto id = read_id(text.substr(first + 1, second - first - 1));
  if (!id) return std::unexpected("the " + std::string(what) + "'s id is not 8 hex digits");
  parts.id = *id;
  const auto data = from_base64(text.substr(second + 1));
  if (!data || data->size() != 33 || (*data)[0] != kEd25519) {
    return std::unexpected("the " + std::string(what) + " is not an Ed25519 key");
  }
  std::copy(data->begin() + 1, data->end(), parts.bytes.begin());
  return parts;
}

bool is_space(char32_t ch) {
  return ch == 0x20 || ch == 0x85 || ch == 0xA0 || ch == 0x1680 || (ch >= 0x2000 && ch <= 0x200A) ||
         ch == 0x2028 || ch == 0x2029 || ch == 0x202F || ch == 0x205F || ch == 0x3000;
}

// A note as its format allows it: UTF-8, no control characters but the newline.
bool well_formed_text(std::string_view text) {
  if (!is_valid_utf8(text)) return false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n') return false;
  }
  return true;
}

}  // namespace

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 0x3F];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += kAlphabet[(v >> 18) & 0x3F];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> from_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t padding = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const int digit = j < 4 - padding ? base64_value(text[i + j]) : 0;
      if (digit < 0) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(digit);
    }
    // The bits past the last byte must be zero: every byte string has one spelling.
    if ((padding == 1 && (v & 0xFF) != 0) || (padding == 2 && (v & 0xFFFF) != 0)) {
      return std::nullopt;
    }
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

bool valid_key_name(std::string_view name) {
  if (name.empty() || !well_formed_text(name)) return false;
  for (std::size_t pos = 0; pos < name.size();) {
    const char32_t ch = next_scalar(name, pos);
    if (ch == '+' || ch == '\n' || is_space(ch)) return false;
  }
  return true;
}

std::uint32_t key_id(std::string_view name, const PublicKey& public_key) {
  std::string bytes(name);
  bytes += '\n';
  bytes += static_cast<char>(kEd25519);
  bytes.append(reinterpret_cast<const char*>(public_key.data()), public_key.size());
  const Sha256Digest digest = sha256(bytes);
  return (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
         (std::uint32_t{digest[2]} << 8) | std::uint32_t{digest[3]};
}

std::expected<SigningKey, Refusal> generate_key(std::string_view name) {
  if (!valid_key_name(name)) {
    return std::unexpected(
        "a key name must not be empty nor hold spaces, '+' or control characters");
  }
  SigningKey key;
  key.name = name;
  if (RAND_bytes(key.seed.data(), static_cast<int>(key.seed.size())) != 1) {
    return std::unexpected("the system's random source failed");
  }
  const auto public_key = public_key_of(key.seed);
  if (!public_key) return std::unexpected("the key could not be made");
  key.public_key = *public_key;
  key.id = key_id(key.name, key.public_key);
  return key;
}

std::expected<SigningKey, Refusal> read_signing_key(std::string_view text) {
  if (!text.starts_with(kPrivatePrefix)) {
    return std::unexpected("not a signing key (expected PRIVATE+KEY+NAME+ID+KEY)");
  }
  auto parts = read_parts(text.substr(kPrivatePrefix.size()), "signing key");
  if (!parts) return std::unexpected(parts.error());
  SigningKey key{parts->name, parts->id, parts->bytes, {}};
  const auto public_key = public_key_of(key.seed);
  if (!public_key) return std::unexpected("the signing key is not an Ed25519 key");
  key.public_key = *public_key;
  if (key_id(key.name, key.public_key) != key.id) {
    return std::unexpected("the signing key's id does not match its name and key");
  }
  return key;
}

std::expected<VerifierKey, Refusal> read_verifier_key(std::string_view text) {
  auto parts = read_parts(text, "verifier key");
  if (!parts) return std::unexpected(parts.error());
  VerifierKey key{parts->name, parts->id, parts->bytes};
  if (key_id(key.name, key.public_key) != key.id) {
    return std::unexpected("the verifier key's id does not match its name and key");
  }
  return key;
}

std::string write_key(const SigningKey& key) {
  std::array<std::uint8_t, 33> data{kEd25519};
  std::copy(key.seed.begin(), key.seed.end(), data.begin() + 1);
  return std::string(kPrivatePrefix) + key.name + "+" + id_hex(key.id) + "+" + base64(data);
}

std::string write_key(const VerifierKey& key) {
  std::array<std::uint8_t, 33> data{kEd25519};
  std::copy(key.public_key.begin(), key.public_key.end(), data.begin() + 1);
  return key.name + "+" + id_hex(key.id) + "+" + base64(data);
}

std::expected<std::string, Refusal> sign(std::string_view text, const SigningKey& key) {
  if (text.empty() || text.back() != '\n' || !well_formed_text(text)) {
    return std::unexpected(
        "a note's text must be UTF-8 without control characters, ending in "
        "a newline");
  }
  Pkey pkey(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, key.seed.data(), key.seed.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  std::array<std::uint8_t, 4 + 64> signature{};
  std::size_t length = 64;
  if (!pkey || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data() + 4, &length,
                     reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1 ||
      length != 64) {
    return std::unexpected("the note could not be signed");
  }
  for (int i = 0; i < 4; ++i) {
    signature[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(key.id >> (24 - 8 * i));
  }
  std::string out(text);
  out += '\n';
  out += kDash;
  out += key.name;
  out += ' ';
  out += base64(signature);
  out += '\n';
  return out;
}

std::expected<Opened, Refusal> open(std::string_view note, std::span<const VerifierKey> known) {
  if (!well_formed_text(note)) {
    return std::unexpected("not a signed note: it is not UTF-8 text without control characters");
  }
  // The text ends at the last blank line; the signature lines follow it.
  if (!note.ends_with('\n')) return std::unexpected("not a signed note: it has no signature");
  const auto blank = note.rfind("\n\n", note.size() - 2);
  if (blank == std::string_view::npos) {
    return std::unexpected("not a signed note: it has no signature");
  }
  const std::string_view text = note.substr(0, blank + 1);
  std::string_view lines = note.substr(blank + 2);
  if (lines.empty()) return std::unexpected("not a signed note: it has no signature");
  std::optional<std::size_t> signer;
  std::size_t count = 0;
  while (!lines.empty()) {
    const auto end = lines.find('\n');
    const std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end + 1);
    if (++count > kMostSignatures) return std::unexpected("the note has too many signatures");
    if (!line.starts_with(kDash)) {
      return std::unexpected("not a signed note: a signature line must start with an em dash");
    }
    const std::string_view rest = line.substr(kDash.size());
    const auto space = rest.find(' ');
    if (space == std::string_view::npos || !valid_key_name(rest.substr(0, space))) {
      return std::unexpected("not a signed note: a signature line has no key name");
    }
    const std::string_view name = rest.substr(0, space);
    const auto signature = from_base64(rest.substr(space + 1));
    if (!signature || signature->size() < 5) {
      return std::unexpected("not a signed note: a signature is not base64 of an id and bytes");
    }
    const std::uint32_t id = (std::uint32_t{(*signature)[0]} << 24) |
                             (std::uint32_t{(*signature)[1]} << 16) |
                             (std::uint32_t{(*signature)[2]} << 8) | (*signature)[3];
    for (std::size_t k = 0; k < known.size(); ++k) {
      if (known[k].name != name || known[k].id != id) continue;
      if (!verify_signature(known[k].public_key, text, std::span(*signature).subspan(4))) {
        return std::unexpected("the signature by " + std::string(name) + "+" + id_hex(id) +
                               " does not verify: the note is not the one it signed");
      }
      signer = signer.value_or(k);
    }
  }
  if (!signer) return std::unexpected("the note carries no signature by a key given to check it");
  return Opened{text, *signer};
}

std::string checkpoint_text(const Checkpoint& checkpoint) {
  return checkpoint.origin + "\n" + std::to_string(checkpoint.size) + "\n" +
         base64(checkpoint.root) + "\n";
}

std::expected<Checkpoint, Refusal> read_checkpoint(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) {
      return std::unexpected("not a checkpoint: its text must end in a newline");
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() < 3) {
    return std::unexpected("not a checkpoint: expected an origin, a tree size and a root hash");
  }
  for (const std::string_view line : lines) {
    if (line.empty()) return std::unexpected("not a checkpoint: it holds an empty line");
  }
  Checkpoint out;
  out.origin = lines[0];
  const std::string_view size = lines[1];
  const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), out.size);
  if (error != std::errc{} || end != size.data() + size.size() ||
      (size.size() > 1 && size[0] == '0') || size[0] == '+' || size[0] == '-') {
    return std::unexpected("not a checkpoint: its tree size is not a decimal number");
  }
  const auto root = from_base64(lines[2]);
  if (!root || root->size() != out.root.size()) {
    return std::unexpected("not a checkpoint: its root hash is not base64 of 32 bytes");
  }
  std::copy(root->begin(), root->end(), out.root.begin());
  return out;
}

}  // namespace oq::note
