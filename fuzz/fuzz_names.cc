// Level names, chains and chain hashes from arbitrary bytes: construction either succeeds with
// its invariants or fails with an error; nothing else happens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "oq/chain.h"
#include "oq/default_chain.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The text as a default-chain level name, and as a chain hash.
  if (const auto level = oq::default_level_from_str(text)) {
    FUZZ_CHECK(oq::default_chain()->contains(level->name()));
  }
  if (const auto hash = oq::ChainHash::from_hex(text)) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    FUZZ_CHECK(hash->to_hex() == lower);
  }

  // The first seven bytes bind the roles, the rest are level names split at newlines.
  if (size < 7) return 0;
  oq::PermissionChain::RoleBindings roles;
  for (std::size_t i = 0; i < oq::kRoleCount; ++i) roles[i] = data[i] % 16;
  std::vector<std::string_view> names;
  std::string_view rest = text.substr(7);
  while (!rest.empty() && names.size() < 300) {
    const auto end = rest.find('\n');
    names.push_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  const auto chain = oq::PermissionChain::create(names, roles);
  if (!chain) {
    FUZZ_CHECK(!chain.error().text().empty());
    return 0;
  }
  const auto levels = chain->levels();
  FUZZ_CHECK(levels.size() == names.size());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    FUZZ_CHECK(chain->rank(levels[i]) == i);
    FUZZ_CHECK(chain->meet(levels[i], levels.back()) == levels[i]);
    FUZZ_CHECK(chain->meet(levels.back(), levels[i]) == levels[i]);
  }
  FUZZ_CHECK(oq::ChainHash::of(levels, {chain->role_index(oq::ChainRole::Bottom),
                                        chain->role_index(oq::ChainRole::ExpiryFloor),
                                        chain->role_index(oq::ChainRole::Refused),
                                        chain->role_index(oq::ChainRole::Unsatisfied),
                                        chain->role_index(oq::ChainRole::DisallowedUsesCeiling),
                                        chain->role_index(oq::ChainRole::BlockerThreshold),
                                        chain->role_index(oq::ChainRole::Top)}) == chain->hash());
  return 0;
}
