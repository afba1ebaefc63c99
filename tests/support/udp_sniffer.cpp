#include "tests/support/udp_sniffer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "tests/support/program.h"

namespace connchk::testing {
namespace {

std::uint16_t networkU16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

}  // namespace

UdpSniffer::UdpSniffer() {
  auto opened = platform::openSocket(platform::Family::IPv4, SOCK_RAW, IPPROTO_UDP);
  if (!opened) throw std::runtime_error("cannot open a raw UDP socket: errno " + std::to_string(opened.code()));
  socket_ = std::move(*opened);
  thread_ = std::thread([this] {
    std::uint8_t buf[65536];
    while (!stop_) {
      pollfd p{socket_.fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = recv(socket_.fd(), buf, sizeof buf, 0);
      if (n < 20) continue;
      const std::size_t header = static_cast<std::size_t>(buf[0] & 0x0F) * 4;
      if (static_cast<std::size_t>(n) < header + 8) continue;
      WireDatagram d;
      d.source = platform::Address::fromBytes(platform::Family::IPv4, buf + IpSourceOffset);
      d.destination = platform::Address::fromBytes(platform::Family::IPv4, buf + IpSourceOffset + 4);
      d.sourcePort = networkU16(buf + header);
      d.destinationPort = networkU16(buf + header + 2);
      d.payload.assign(buf + header + 8, buf + n);
      std::lock_guard<std::mutex> hold(mutex_);
      seen_.push_back(std::move(d));
    }
  });
}

UdpSniffer::~UdpSniffer() {
  stop_ = true;
  thread_.join();
}

std::vector<WireDatagram> UdpSniffer::seen() {
  std::lock_guard<std::mutex> hold(mutex_);
  return seen_;
}

bool UdpSniffer::waitFor(const std::function<bool(const WireDatagram&)>& wanted, std::size_t n,
                         std::chrono::milliseconds limit) {
  const auto enough = [&] {
    std::size_t count = 0;
    for (const auto& d : seen()) count += wanted(d) ? 1 : 0;
    return count >= n;
  };
  return eventually(enough, limit, std::chrono::milliseconds(5));
}

std::function<bool(const WireDatagram&)> toPort(std::uint16_t port) {
  return [port](const WireDatagram& d) { return d.destinationPort == port; };
}

std::function<bool(const WireDatagram&)> fromPort(std::uint16_t port) {
  return [port](const WireDatagram& d) { return d.sourcePort == port; };
}

}  // namespace connchk::testing
