// The names the server gives protocol numbers in its start lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace connchk::server {

// The name of the raw responder for protocol `number` ("ВЕЛТ-IP" for 53), or nothing where no
// raw responder answers that number.
std::optional<std::string> protocolName(std::uint32_t number);

}  // namespace connchk::server
