#include "gap_id_list.h"

#include "panic.h"

namespace oq {

GapIdList::GapIdList(const std::vector<std::string>& closes,
                     const std::vector<std::string>& bounds) {
  std::size_t bytes = 0;
  for (const auto* list : {&closes, &bounds}) {
    for (const std::string& id : *list) bytes += kLength + id.size();
  }
  if (bytes > UINT32_MAX) panic("a token's gap ids exceed 4 GiB");
  encoded_.reserve(bytes);
  for (const auto* list : {&closes, &bounds}) {
    for (const std::string& id : *list) {
      const auto length = static_cast<std::uint32_t>(id.size());
      encoded_.append(reinterpret_cast<const char*>(&length), kLength);
      encoded_ += id;
    }
    if (list == &closes) closes_bytes_ = static_cast<std::uint32_t>(encoded_.size());
  }
  closes_ = static_cast<std::uint32_t>(closes.size());
  bounds_ = static_cast<std::uint32_t>(bounds.size());
}

}  // namespace oq
