// The raw IP and ICMP responder for one IP protocol number, on both families. Its IPv4 socket
// receives every datagram of the protocol that reaches the host, header first, and answers those
// that carry the request marker where their layout puts it: 20 bytes (timestamp and reply marker)
// for layout C, a 28-byte echo message with the reply marker and a fresh checksum for ICMP. Its
// IPv6 socket (ICMPv6 for protocol 1) gets the payload alone and answers it by the same rules.
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <memory>
#include <vector>

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
  const std::uint8_t number = ipv6Protocol(protocol);
  auto socket = platform::openSocket(platform::Family::IPv6, SOCK_RAW, number);
  platform::Status ready = platform::statusOf(socket);
  if (ready && number == Icmpv6Protocol) ready = platform::passOnlyEchoRequests(socket->fd());
  if (!ready) {
    if (ready.code() != EAFNOSUPPORT) run.say(messages::ipv6SocketFailed(ready.code()));
    return {};
  }
  platform::askForArrivalMarks(socket->fd(), platform::Family::IPv6);
  platform::askForArrivalAddress(socket->fd(), platform::Family::IPv6);
  platform::raiseSendBuffer(socket->fd(), AnswerBufferBytes);
  return std::move(*socket);
}

// Takes what waits on one of its sockets in one go, sends all the answers in one go, then writes
// the lines.
class RawResponder {
 public:
  RawResponder(ServiceRun& run, std::uint32_t protocol, const int (&sockets)[2])
      : run_(run), protocol_(protocol), sockets_{sockets[0], sockets[1]} {}

  void serve() {
    std::size_t which = 0;
    while (run_.receiveBatch(sockets_, batch_, which)) {
      for (std::size_t i = 0; i < batch_.size(); ++i) {
        platform::ReceivedBatch::Datagram& d = batch_[i];
        if (d.error != 0) {
          outcomes_.push_back(DatagramOutcome::receiveFailed(d.error));
        } else if (which == 1) {
          judgeIpv6(d);  // an empty payload is no request either
        } else if (d.length == 0) {
          outcomes_.push_back(DatagramOutcome::empty());
        } else {
          judgeIpv4(d);
        }
      }
      answers_.send(sockets_[which]);
      run_.writeLines(outcomes_, answers_);
      answers_.clear();
      outcomes_.clear();
    }
  }

 private:
  void judgeIpv4(platform::ReceivedBatch::Datagram& d) {
    // Datagrams of the protocol that are not requests of ours are passed over without a line.
    const auto answer = makeRawAnswer(d.bytes, d.length);
    if (!answer) return;
    // The answer goes to the source named in the received header, on the same protocol, and
    // leaves before its request is reported.
    const auto destination = platform::Address::fromBytes(platform::Family::IPv4, answer->source.data());
    run_.accepted(destination, d.length,
                  Arrived{answer->identity, AccountService::Raw, answer->protocol, {answer->ttl, answer->tos}});
    outcomes_.push_back(
        DatagramOutcome::answered(destination, lines::numbered(protocol_, d.length), answers_.add(d.bytes, answer->length, destination, d.to)));
  }

  void judgeIpv6(platform::ReceivedBatch::Datagram& d) {
    // The send time stands where the layout puts it, before the answer is built over it.
    const std::size_t stampAt = protocol_ == IcmpProtocol ? layout_d::Timestamp : layout_a::Timestamp;
    const std::uint64_t identity = d.length >= stampAt + TimestampSize ? readU64(d.bytes, stampAt) : 0;
    const auto answerLength = makeRawIpv6Answer(ipv6Protocol(protocol_), d.bytes, d.length);
    if (!answerLength) return;
    const std::size_t counted = d.length + Ipv6HeaderSize;
    run_.accepted(d.from, counted, Arrived{identity, AccountService::Raw, ipv6Protocol(protocol_), d.marks});
    outcomes_.push_back(
        DatagramOutcome::answered(d.from, lines::numbered(protocol_, counted), answers_.add(d.bytes, *answerLength, d.from.withPort(0), d.to)));
  }

  ServiceRun& run_;
  std::uint32_t protocol_;
  int sockets_[2];
  platform::ReceivedBatch batch_{MaxDatagramSize};
  platform::SendBatch answers_;
  std::vector<DatagramOutcome> outcomes_;
};

}  // namespace

int RawIpService(ServiceRun& run, std::uint32_t protocol) {
  platform::Socket ipv4 =
      run.open({.type = SOCK_RAW, .protocol = static_cast<int>(protocol), .startLine = messages::rawStartLine(protocol), .port = 0});
  if (!ipv4.valid()) return -1;
  platform::Socket ipv6 = openIpv6Socket(run, protocol);
  run.serving();

  const int sockets[] = {ipv4.fd(), ipv6.fd()};
  // Large (the batch's buffers): on the heap, not the thread's stack.
  std::make_unique<RawResponder>(run, protocol, sockets)->serve();
  return 0;
}

}  // namespace connchk::server
