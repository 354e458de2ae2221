#include "oq/permission.h"

#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "oq/panic.h"
#include "oq/quote.h"
#include "oq/text_hash.h"
#include "utf8.h"

namespace oq {

std::string EmptyName::text() const { return "Empty"; }

std::string NameTooLong::text() const {
  return "TooLong { length: " + std::to_string(length) + ", max: " + std::to_string(max) + " }";
}

std::string CharsetViolation::text() const {
  return "CharsetViolation { offending_char: " + quote_char(offending_char) +
         ", position: " + std::to_string(position) + " }";
}

std::string LevelNameError::text() const {
  return std::visit([](const auto& reason) { return reason.text(); }, kind_);
}

namespace {

bool is_ascii_alnum_or_underscore(char32_t ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
         ch == '_';
}

}  // namespace

std::optional<LevelNameError> validate_level_name(std::string_view name) {
  if (name.empty()) return LevelNameError(EmptyName{});
  if (name.size() > kMaxLevelNameBytes) {
    return LevelNameError(NameTooLong{name.size(), kMaxLevelNameBytes});
  }
  std::uint64_t position = 0;
  for (std::size_t pos = 0; pos < name.size(); ++position) {
    const char32_t ch = next_scalar(name, pos);
    const bool allowed = is_ascii_alnum_or_underscore(ch) || (position > 0 && ch == '-');
    if (!allowed) return LevelNameError(CharsetViolation{ch, position});
  }
  return std::nullopt;
}

namespace {

class InternTable {
 public:
  // Every step that can fail runs before the table changes, and a failed insertion leaves a
  // hash set as it was, so an allocation failure leaves the table whole for the next call.
  std::string_view intern(std::string_view name) {
    std::lock_guard lock(mutex_);
    if (auto found = names_.find(name); found != names_.end()) return *found;
    if (storage_.size() == storage_.capacity()) storage_.reserve(2 * storage_.size() + 16);
    auto copy = std::make_unique<char[]>(name.size() + 1);
    name.copy(copy.get(), name.size());
    const std::string_view stored(copy.get(), name.size());
    names_.insert(stored);
    storage_.push_back(std::move(copy));  // cannot throw: the room was reserved
    return stored;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<std::string_view, TextHash> names_;  // keyed: names may come from callers
  std::vector<std::unique_ptr<char[]>> storage_;
};

InternTable& intern_table() {
  // Never destroyed: interned names must outlive every static that refers to them.
  static auto* table = new InternTable;
  return *table;
}

}  // namespace

std::string_view intern(std::string_view name) { return intern_table().intern(name); }

}  // namespace oq
