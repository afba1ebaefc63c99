// The raw IP and ICMP responder for one IP protocol number. It receives every datagram of its
// protocol that reaches the host, header first, and answers those that carry the request marker
// where their layout puts it: 20 bytes (timestamp and reply marker) for layout C, a 28-byte echo
// message with the reply marker and a fresh checksum for ICMP.
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "common/platform/net.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/protocol_names.h"
#include "server/services.h"

namespace connchk::server {
namespace {

// "Старт сервера, протокол №P", with the protocol's name in brackets where the table has one.
std::string startLine(std::uint32_t protocol) {
  std::string line = format("Старт сервера, протокол №%u", protocol);
  if (const auto name = protocolName(protocol)) line += " (" + *name + ")";
  return line;
}

}  // namespace

int RawIpService(ServerContext& server, std::uint32_t protocol) {
  int error = 0;
  platform::Socket socket = platform::openSocket(SOCK_RAW, static_cast<int>(protocol), error);
  if (!socket.valid()) {
    server.log.log(format("Ошибка %i при открытии сокета", error));
    return -1;
  }
  server.log.log(startLine(protocol));
  if (!platform::bindTo(socket.fd(), platform::anyAddress(0), error)) {
    server.log.log(format("Ошибка bind %i", error));
    return -1;
  }

  std::array<std::uint8_t, ReceiveBufferSize> packet{};
  for (;;) {
    sockaddr_in sender{};
    const auto got = platform::receiveFrom(socket.fd(), packet.data(), packet.size(), sender);
    if (got.failed()) {
      server.log.log(format("Ошибка приема %i", got.error));
      continue;
    }
    if (got.n == 0) {
      server.log.log(ClientClosedLine);
      continue;
    }
    // The header is taken as 20 bytes; a datagram that ends before its marker field has none.
    const auto n = static_cast<std::size_t>(got.n);
    const std::uint8_t ipProtocol = n > IpProtocolOffset ? packet[IpProtocolOffset] : 0;
    if (!hasMarker(packet.data(), n, rawMarkerOffset(ipProtocol), RequestMarker)) continue;
    server.statistics.record(sender.sin_addr.s_addr, static_cast<unsigned long>(n));

    // The answer goes to the source named in the received header, on the same protocol.
    sockaddr_in destination = sender;
    destination.sin_family = AF_INET;
    std::memcpy(&destination.sin_addr.s_addr, packet.data() + IpSourceOffset, 4);
    const std::size_t answerLength = buildRawAnswer(packet.data());
    const auto sent = platform::sendTo(socket.fd(), packet.data(), answerLength, destination);

    ReportReceivedPacket(server, platform::dotted(destination),
                         format(", протокол №%u, %lu байт данных", protocol, static_cast<unsigned long>(n)));
    if (sent.failed()) {
      server.log.log(format("Возникла ошибка %i при передаче данных", sent.error));
      continue;
    }
    server.log.log(format("Отослано %i байт данных", static_cast<int>(sent.n)));
    server.log.log(WaitingLine);
  }
}

}  // namespace connchk::server
