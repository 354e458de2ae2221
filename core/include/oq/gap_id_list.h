#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace oq {

// The gap ids a token closes and bounds, kept in one string: each id as its length (7 bits a
// byte, low bits first, the top bit set on all but the last byte) followed by its bytes, the
// closing ids first. A token that names one short id therefore keeps it inside its own record,
// and reading what a token names costs no further trip to memory. Immutable.
class GapIdList {
 public:
  // The ids of one kind, in the order given.
  class Range {
   public:
    class iterator {
     public:
      using value_type = std::string_view;
      using difference_type = std::ptrdiff_t;
      using iterator_category = std::forward_iterator_tag;

      iterator() = default;
      explicit iterator(const char* at) : at_(at) {}
      std::string_view operator*() const {
        const auto [length, header] = read_header(at_);
        return {at_ + header, length};
      }
      iterator& operator++() {
        const auto [length, header] = read_header(at_);
        at_ += header + length;
        return *this;
      }
      iterator operator++(int) {
        iterator before = *this;
        ++*this;
        return before;
      }
      friend bool operator==(iterator a, iterator b) { return a.at_ == b.at_; }

     private:
      const char* at_ = nullptr;
    };

    Range(std::string_view bytes, std::size_t count) : bytes_(bytes), count_(count) {}
    iterator begin() const { return iterator(bytes_.data()); }
    iterator end() const { return iterator(bytes_.data() + bytes_.size()); }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::vector<std::string> to_vector() const { return {begin(), end()}; }

    // The same ids in the same order: the encoding is one-to-one, so the bytes tell.
    friend bool operator==(const Range& a, const Range& b) { return a.bytes_ == b.bytes_; }

   private:
    std::string_view bytes_;
    std::size_t count_;
  };

  GapIdList(const std::vector<std::string>& closes, const std::vector<std::string>& bounds);

  Range closes() const { return {std::string_view(encoded_).substr(0, closes_bytes_), closes_}; }
  Range bounds() const { return {std::string_view(encoded_).substr(closes_bytes_), bounds_}; }
  // Where the encoded ids lie: inside the record for a short list, elsewhere for a long one.
  const char* data() const { return encoded_.data(); }

 private:
  // An id's length and the bytes its encoding takes, read from the header at `at`.
  struct Header {
    std::size_t length;
    std::size_t bytes;
  };
  static Header read_header(const char* at) {
    std::size_t length = 0;
    for (std::size_t i = 0, shift = 0;; ++i, shift += 7) {
      const auto byte = static_cast<unsigned char>(at[i]);
      length |= static_cast<std::size_t>(byte & 0x7f) << shift;
      if (byte < 0x80) return {length, i + 1};
    }
  }

  std::string encoded_;
  std::size_t closes_bytes_ = 0;
  std::size_t closes_ = 0;
  std::size_t bounds_ = 0;
};

}  // namespace oq
