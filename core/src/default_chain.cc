#include "default_chain.h"

#include <string>

#include "panic.h"
#include "quote.h"

namespace oq {

namespace {

constexpr std::string_view kNames[] = {"OOC", "EXP", "REF", "UNS", "ETA", "ESC",
                                       "ROL", "DIA", "REV", "AEX", "ALR", "AAA"};

std::shared_ptr<const PermissionChain> build_default_chain() {
  std::vector<Permission> levels;
  levels.reserve(std::size(kNames));
  for (const std::string_view name : kNames) levels.push_back(Permission::named(name));
  PermissionChain::RoleBindings roles;
  roles[static_cast<int>(ChainRole::Bottom)] = 0;
  roles[static_cast<int>(ChainRole::ExpiryFloor)] = 1;
  roles[static_cast<int>(ChainRole::Refused)] = 2;
  roles[static_cast<int>(ChainRole::Unsatisfied)] = 3;
  roles[static_cast<int>(ChainRole::DisallowedUsesCeiling)] = 6;
  roles[static_cast<int>(ChainRole::BlockerThreshold)] = 7;
  roles[static_cast<int>(ChainRole::Top)] = 11;
  auto chain = PermissionChain::create(std::move(levels), roles);
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

}  // namespace oq
