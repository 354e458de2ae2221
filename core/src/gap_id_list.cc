#include "oq/gap_id_list.h"

namespace oq {

GapIdList::GapIdList(const std::vector<std::string>& closes, const std::vector<std::string>& bounds)
    : closes_(closes.size()), bounds_(bounds.size()) {
  std::size_t bytes = 0;
  for (const auto* list : {&closes, &bounds}) {
    for (const std::string& id : *list) {
      bytes += id.size() + 1;
      for (std::size_t rest = id.size() >> 7; rest != 0; rest >>= 7) ++bytes;
    }
  }
  encoded_.reserve(bytes);
  for (const auto* list : {&closes, &bounds}) {
    for (const std::string& id : *list) {
      for (std::size_t rest = id.size();; rest >>= 7) {
        encoded_ += static_cast<char>((rest & 0x7f) | (rest > 0x7f ? 0x80 : 0));
        if (rest <= 0x7f) break;
      }
      encoded_ += id;
    }
    if (list == &closes) closes_bytes_ = encoded_.size();
  }
}

}  // namespace oq
