#include "oq/text_hash.h"

#include <bit>
#include <cstring>
#include <random>

namespace oq {

namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

// The 8 bytes at `bytes` as a little-endian number.
std::uint64_t little_endian_word(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// The last `count` (fewer than 8) bytes at `bytes` as a little-endian number.
std::uint64_t little_endian_tail(const char* bytes, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = count; i-- > 0;) {
    word = (word << 8) | static_cast<unsigned char>(bytes[i]);
  }
  return word;
}

std::array<std::uint64_t, 2> random_key() {
  std::random_device source;
  std::array<std::uint64_t, 2> key{};
  for (std::uint64_t& half : key) {
    half = (static_cast<std::uint64_t>(source()) << 32) | source();
  }
  return key;
}

}  // namespace

template <int C, int D>
std::uint64_t siphash(const std::array<std::uint64_t, 2>& key, std::string_view bytes) {
  SipState s{key[0] ^ 0x736f6d6570736575ull, key[1] ^ 0x646f72616e646f6dull,
             key[0] ^ 0x6c7967656e657261ull, key[1] ^ 0x7465646279746573ull};
  const std::size_t whole = bytes.size() / 8 * 8;
  for (std::size_t at = 0; at < whole; at += 8) {
    const std::uint64_t m = little_endian_word(bytes.data() + at);
    s.v3 ^= m;
    for (int i = 0; i < C; ++i) s.round();
    s.v0 ^= m;
  }
  const std::uint64_t last = (static_cast<std::uint64_t>(bytes.size()) << 56) |
                             little_endian_tail(bytes.data() + whole, bytes.size() - whole);
  s.v3 ^= last;
  for (int i = 0; i < C; ++i) s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t siphash<1, 3>(const std::array<std::uint64_t, 2>&, std::string_view);
template std::uint64_t siphash<2, 4>(const std::array<std::uint64_t, 2>&, std::string_view);

std::size_t text_hash(std::string_view text) {
  static const std::array<std::uint64_t, 2> key = random_key();
  return static_cast<std::size_t>(siphash<1, 3>(key, text));
}

}  // namespace oq
