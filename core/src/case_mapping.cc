#include "case_mapping.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <new>
#include <vector>

#include "oq/panic.h"

namespace oq {

namespace {

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

void check(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) panic(std::string("Unicode case mapping failed: ") + u_errorName(status));
}

}  // namespace

std::string to_upper(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    return ascii_upper(text);
  }
  UErrorCode status = U_ZERO_ERROR;
  int32_t wide_length = 0;
  u_strFromUTF8(nullptr, 0, &wide_length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status);
  std::vector<UChar> wide(static_cast<std::size_t>(wide_length) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8(wide.data(), static_cast<int32_t>(wide.size()), nullptr, text.data(),
                static_cast<int32_t>(text.size()), &status);
  check(status);

  // The root locale: no language-specific tailoring.
  std::vector<UChar> upper(wide.size() * 3 + 1);
  status = U_ZERO_ERROR;
  int32_t upper_length = u_strToUpper(upper.data(), static_cast<int32_t>(upper.size()), wide.data(),
                                      wide_length, "", &status);
  check(status);

  std::string out;
  int32_t out_length = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &out_length, upper.data(), upper_length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) check(status);
  out.resize(static_cast<std::size_t>(out_length));
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), out_length, nullptr, upper.data(), upper_length, &status);
  if (status != U_STRING_NOT_TERMINATED_WARNING) check(status);
  return out;
}

}  // namespace oq
