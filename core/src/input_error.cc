#include "oq/input_error.h"

#include "oq/quote.h"

namespace oq {

std::string UnknownGapStatus::text() const { return "Unknown gap status: " + status; }

std::string UnknownRequiredStatus::text() const { return "Unknown required_status: " + status; }

std::string UnknownTokenStatus::text() const { return "Unknown token status: " + status; }

std::string InvalidDetails::text() const { return "Invalid JSON for details: " + description; }

std::string UnknownPermission::text() const { return "Unknown permission: " + quote_string(name); }

std::string InvalidChainHashHex::text() const {
  return "invalid ChainHash hex: " + quote_string(hex);
}

std::string InputError::text() const {
  return std::visit([](const auto& error) { return error.text(); }, kind_);
}

}  // namespace oq
