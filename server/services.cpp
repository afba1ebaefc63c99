#include "server/services.h"

#include <thread>

namespace connchk::server {

std::string receivedPacketLine(const std::string& dottedAddress, const std::string& tail) {
  return "Принят пакет от " + dottedAddress + " (unresolved)" + tail;
}

void ReportReceivedPacket(ServerContext& server, const std::string& dottedAddress, const std::string& tail) {
  server.log.log(receivedPacketLine(dottedAddress, tail));
}

void startServices(ServerContext& server) {
  for (const std::uint32_t protocol : RawServiceProtocols) {
    std::thread([&server, protocol] { RawIpService(server, protocol); }).detach();
  }
  std::thread([&server] { EchoUdpService(server); }).detach();
  std::thread([&server] { EchoTcpService(server); }).detach();
  std::thread([&server] { TerminalUdpService(server); }).detach();
}

}  // namespace connchk::server
