// The raw IP and ICMP responder for one IP protocol number. It receives every datagram of its
// protocol that reaches the host, header first, and answers those that carry the request marker
// where their layout puts it: 20 bytes (timestamp and reply marker) for layout C, a 28-byte echo
// message with the reply marker and a fresh checksum for ICMP.
#include <sys/socket.h>

#include <array>

#include "server/request_rules.h"
#include "server/services.h"

namespace connchk::server {

int RawIpService(ServiceRun& run, std::uint32_t protocol) {
  platform::Socket socket =
      run.open({.type = SOCK_RAW, .protocol = static_cast<int>(protocol), .startLine = messages::rawStartLine(protocol), .port = 0});
  if (!socket.valid()) return -1;
  run.serving();

  std::array<std::uint8_t, ReceiveBufferSize> packet{};
  sockaddr_in sender{};
  std::size_t length = 0;
  while (run.receiveDatagram(socket.fd(), packet, sender, length)) {
    if (length == 0) {
      run.say(messages::ClientClosed);
      continue;
    }
    // Datagrams of the protocol that are not requests of ours are passed over without a line.
    const auto answer = makeRawAnswer(packet.data(), length);
    if (!answer) continue;
    run.accepted(sender, length);
    // The answer goes to the source named in the received header, on the same protocol, and
    // leaves before its request is reported.
    sockaddr_in destination = sender;
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = answer->destinationNetworkOrder;
    const auto sent = platform::sendTo(socket.fd(), packet.data(), answer->length, destination);
    run.receivedPacket(platform::dotted(destination), messages::numberedPacketTail(protocol, length));
    run.answerSent(sent);
  }
  return 0;
}

}  // namespace connchk::server
