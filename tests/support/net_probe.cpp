// A small program that runs one platform call where a test cannot run it in-process: in a
// namespace with its own hosts file (ip netns exec), or as a user without rights (setpriv).
//   net_probe resolve [-4|-6] NAME   prints the address, or the error line and exits 1
//   net_probe echo ADDRESS           prints the socket kind ("raw" or "datagram"), then
//                                    "reply from A identifier N" for the kernel's echo reply
//                                    (exit 0), the error line (exit 1) or "no reply" (exit 2)
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>

#include "common/platform/icmp_socket.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"

using namespace connchk;
using namespace connchk::platform;

namespace {

constexpr std::uint16_t ProbeIdentifier = 0x1234;

int resolveName(FamilyChoice choice, const std::string& name) {
  const auto address = resolve(name, choice);
  std::printf("%s\n", address ? address->text().c_str() : address.error().text.c_str());
  return address ? 0 : 1;
}

int echo(const Address& target) {
  auto echo = openIcmpEchoSocket(target.family());
  const Status ready = echo ? bindEchoIdentifier(*echo, ProbeIdentifier) : statusOf(echo);
  if (!ready) {
    std::printf("%s\n", ready.error().text.c_str());
    return 1;
  }
  const bool datagram = echo->kind == EchoSocketKind::Datagram;
  std::printf("%s\n", datagram ? "datagram" : "raw");
  const std::uint16_t identifier = datagram ? echoIdentifier(*echo).value_or(0) : ProbeIdentifier;
  const bool six = target.family() == Family::IPv6;

  std::array<std::uint8_t, ReceiveBufferSize> packet{};
  if (six) {
    buildIcmpv6EchoRequest(packet.data(), ProbeIdentifier, SendTimestamp());
  } else {
    buildIcmpEchoRequest(packet.data(), ProbeIdentifier, SendTimestamp());
  }
  const int fd = echo->socket.fd();
  if (!setReceiveTimeout(fd, 500)) {
    std::printf("no receive time-out\n");
    return 1;
  }
  if (!sendTo(fd, packet.data(), layout_d::Length, target)) {
    std::printf("send failed\n");
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  const std::uint8_t replyType = six ? layout_d6::EchoReply : layout_d::EchoReply;
  while (std::chrono::steady_clock::now() < deadline) {
    Address from;
    const auto got = receiveFrom(fd, packet.data(), packet.size(), from);
    if (!got || *got < echo->headerBytes()) continue;
    const auto fields = readIcmpEcho(packet.data() + echo->headerBytes(), *got - echo->headerBytes(), RequestMarker);
    if (fields && fields->type == replyType && fields->identifier == identifier) {
      std::printf("reply from %s identifier %u\n", from.text().c_str(), fields->identifier);
      return 0;
    }
  }
  std::printf("no reply\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "resolve" && argc == 3) return resolveName(FamilyChoice::Any, argv[2]);
  if (command == "resolve" && argc == 4 && std::string(argv[2]) == "-4") return resolveName(FamilyChoice::IPv4, argv[3]);
  if (command == "resolve" && argc == 4 && std::string(argv[2]) == "-6") return resolveName(FamilyChoice::IPv6, argv[3]);
  if (command == "echo" && argc == 3) {
    if (const auto target = Address::parse(argv[2])) return echo(*target);
  }
  std::fprintf(stderr, "usage: net_probe resolve [-4|-6] NAME | net_probe echo ADDRESS\n");
  return 64;
}
