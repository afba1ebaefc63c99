// The raw IP and ICMP responder for one IP protocol number, on both families. Its IPv4 socket
// receives every datagram of the protocol that reaches the host, header first, and answers those
// that carry the request marker where their layout puts it: 20 bytes (timestamp and reply marker)
// for layout C, a 28-byte echo message with the reply marker and a fresh checksum for ICMP. Its
// IPv6 socket (ICMPv6 for protocol 1) gets the payload alone and answers it by the same rules.
#include <sys/socket.h>

#include <array>
#include <vector>
#include <cerrno>

#include "common/platform/icmp_socket.h"
#include "server/request_rules.h"
#include "server/services.h"

namespace connchk::server {
namespace {

// The IPv6 protocol that stands for `protocol`: ICMPv6 for ICMP, the number itself otherwise.
std::uint8_t ipv6Protocol(std::uint32_t protocol) {
  return protocol == IcmpProtocol ? Icmpv6Protocol : static_cast<std::uint8_t>(protocol);
}

// The IPv6 socket beside the IPv4 one. A host without IPv6 has none and says nothing of it; any
// other failure is said, and the responder goes on with IPv4 alone.
platform::Socket openIpv6Socket(ServiceRun& run, std::uint32_t protocol) {
  int error = 0;
  const std::uint8_t number = ipv6Protocol(protocol);
  platform::Socket socket = platform::openSocket(platform::Family::IPv6, SOCK_RAW, number, error);
  if (socket.valid() && number == Icmpv6Protocol && !platform::passOnlyEchoRequests(socket.fd(), error)) {
    socket.close();
  }
  if (!socket.valid() && error != EAFNOSUPPORT) run.say(messages::ipv6SocketFailed(error));
  if (socket.valid()) platform::askForArrivalMarks(socket.fd(), platform::Family::IPv6);
  if (socket.valid()) platform::raiseSendBuffer(socket.fd(), AnswerBufferBytes);
  return socket;
}

class RawResponder {
 public:
  RawResponder(ServiceRun& run, std::uint32_t protocol) : run_(run), protocol_(protocol) {}

  void answerIpv4(int fd, std::size_t length) {
    // Datagrams of the protocol that are not requests of ours are passed over without a line.
    const auto answer = makeRawAnswer(packet_.data(), length);
    if (!answer) return;
    run_.beginRequest();
    // The answer goes to the source named in the received header, on the same protocol, and
    // leaves before its request is reported.
    const auto destination = platform::Address::fromBytes(platform::Family::IPv4, answer->source.data());
    run_.accepted(destination, length,
                  Arrived{answer->identity, AccountService::Raw, answer->protocol, {answer->ttl, answer->tos}});
    const auto sent = platform::sendTo(fd, packet_.data(), answer->length, destination, platform::Wait::Now);
    run_.receivedPacket(destination.text(), messages::numberedPacketTail(protocol_, length));
    run_.answerSent(sent);
  }

  void answerIpv6(int fd, const platform::Address& sender, std::size_t length) {
    // The send time stands where the layout puts it, before the answer is built over it.
    const std::size_t stampAt = protocol_ == IcmpProtocol ? layout_d::Timestamp : layout_a::Timestamp;
    const std::uint64_t identity = length >= stampAt + TimestampSize ? readU64(packet_.data(), stampAt) : 0;
    const auto answerLength = makeRawIpv6Answer(ipv6Protocol(protocol_), packet_.data(), length);
    if (!answerLength) return;
    run_.beginRequest();
    const std::size_t counted = length + Ipv6HeaderSize;
    run_.accepted(sender, counted, Arrived{identity, AccountService::Raw, ipv6Protocol(protocol_), run_.marks()});
    const auto sent = platform::sendTo(fd, packet_.data(), *answerLength, sender.withPort(0), platform::Wait::Now);
    run_.receivedPacket(sender.text(), messages::numberedPacketTail(protocol_, counted));
    run_.answerSent(sent);
  }

  std::vector<std::uint8_t>& packet() { return packet_; }

 private:
  ServiceRun& run_;
  std::uint32_t protocol_;
  std::vector<std::uint8_t> packet_ = std::vector<std::uint8_t>(MaxDatagramSize);
};

}  // namespace

int RawIpService(ServiceRun& run, std::uint32_t protocol) {
  platform::Socket ipv4 =
      run.open({.type = SOCK_RAW, .protocol = static_cast<int>(protocol), .startLine = messages::rawStartLine(protocol), .port = 0});
  if (!ipv4.valid()) return -1;
  platform::Socket ipv6 = openIpv6Socket(run, protocol);
  run.serving();

  RawResponder responder(run, protocol);
  const int sockets[] = {ipv4.fd(), ipv6.fd()};
  platform::Address sender;
  std::size_t length = 0;
  std::size_t which = 0;
  while (run.receiveDatagram(sockets, responder.packet(), sender, length, which)) {
    if (which == 1) {
      responder.answerIpv6(ipv6.fd(), sender, length);  // an empty payload is no request either
    } else if (length == 0) {
      run.beginRequest();
      run.emptyRequest();
    } else {
      responder.answerIpv4(ipv4.fd(), length);
    }
  }
  return 0;
}

}  // namespace connchk::server
