#include "common/protocol_types.h"

namespace connchk {

std::vector<const ProtocolDescriptor*> typesNumbered(std::uint32_t number) {
  std::vector<const ProtocolDescriptor*> found;
  for (const ProtocolDescriptor& type : ProtocolTypes) {
    if (type.number == number) found.push_back(&type);
  }
  return found;
}

}  // namespace connchk
