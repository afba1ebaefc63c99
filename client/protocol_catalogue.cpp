#include "client/protocol_catalogue.h"

#include "common/text_format.h"

namespace connchk::client {

bool usesRawSocket(int index) {
  const ProtocolType* type = protocolTypeAt(index);
  return type && sentRaw(*type);
}

ProtocolLookup lookUpProtocolType(const std::string& name) {
  const std::string folded = asciiLower(name);
  for (const ProtocolType& type : ProtocolTypes) {
    if (name == type.text || folded == asciiLower(type.text) || folded == type.shortName) return {type.listIndex, {}};
  }
  if (folded == "terminal") return {TerminalUdpIndex, {}};
  if (const auto number = parseDigits(name, 3)) {
    if (protocolTypeAt(static_cast<int>(*number))) return {static_cast<int>(*number), {}};
    const auto numbered = typesNumbered(*number);
    if (numbered.size() == 2) {
      return {std::nullopt, format("%u is the number of both %s (%s) and %s: name one of them", *number,
                                   numbered[0]->shortName, numbered[0]->text, numbered[1]->shortName)};
    }
    if (numbered.size() == 1) return {numbered[0]->listIndex, {}};
  }
  return {std::nullopt, "unknown protocol type '" + name + "' (see --list-protocols)"};
}

std::optional<int> findProtocolType(const std::string& name) { return lookUpProtocolType(name).index; }

}  // namespace connchk::client
