#include "oq/default_chain.h"

#include <string>

#include "case_mapping.h"
#include "oq/panic.h"
#include "oq/quote.h"
#include "utf8.h"

namespace oq {

namespace {

constexpr std::string_view kNames[] = {"OOC", "EXP", "REF", "UNS", "ETA", "ESC",
                                       "ROL", "DIA", "REV", "AEX", "ALR", "AAA"};

std::shared_ptr<const PermissionChain> build_default_chain() {
  PermissionChain::RoleBindings roles;
  roles[static_cast<int>(ChainRole::Bottom)] = 0;
  roles[static_cast<int>(ChainRole::ExpiryFloor)] = 1;
  roles[static_cast<int>(ChainRole::Refused)] = 2;
  roles[static_cast<int>(ChainRole::Unsatisfied)] = 3;
  roles[static_cast<int>(ChainRole::DisallowedUsesCeiling)] = 6;
  roles[static_cast<int>(ChainRole::BlockerThreshold)] = 7;
  roles[static_cast<int>(ChainRole::Top)] = 11;
  auto chain = PermissionChain::create(kNames, roles);
  if (!chain) panic("default chain must validate: " + chain.error().text());
  return std::make_shared<const PermissionChain>(std::move(*chain));
}

Permission level(std::string_view name) {
  if (auto found = default_chain()->parse(name)) return *found;
  panic("default chain missing level " + quote_string(name));
}

}  // namespace

const std::shared_ptr<const PermissionChain>& default_chain() {
  static const auto* chain = new std::shared_ptr<const PermissionChain>(build_default_chain());
  return *chain;
}

const DefaultLevels& default_levels() {
  static const auto* levels = new DefaultLevels{
      level("OOC"), level("EXP"), level("REF"), level("UNS"), level("ETA"), level("ESC"),
      level("ROL"), level("DIA"), level("REV"), level("AEX"), level("ALR"), level("AAA"),
  };
  return *levels;
}

std::expected<Permission, InputError> default_level_from_str(std::string_view text) {
  // Upper-casing never merges characters, and no default level has more than three, each at most
  // four bytes long: longer texts need no case mapping.
  // Text from Python is always well-formed; other callers' malformed text names no level.
  if (text.size() <= 3 * 4 && is_valid_utf8(text)) {
    if (auto level = default_chain()->parse(to_upper(text))) return *level;
  }
  return std::unexpected(UnknownPermission{std::string(text)});
}

}  // namespace oq
