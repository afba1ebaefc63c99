#include "server/protocol_names.h"

#include "common/protocol_types.h"

namespace connchk::server {

std::optional<std::string> protocolName(std::uint32_t number) {
  for (const ProtocolDescriptor* type : typesNumbered(number)) {
    if (sentRaw(*type)) return std::string(type->text);
  }
  return std::nullopt;
}

}  // namespace connchk::server
