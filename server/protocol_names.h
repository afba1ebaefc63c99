// The names the server gives protocol numbers in its start lines.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace connchk::server {

struct ProtocolName {
  std::uint32_t number;
  const char* name;
};

std::span<const ProtocolName> ProtocolNameTable();

// The first pair with this number (17 gives "TELM-UDP"), or nothing.
std::optional<std::string> protocolName(std::uint32_t number);

}  // namespace connchk::server
