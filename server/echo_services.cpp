// The UDP and TCP echo services on port 87: a request carries the request marker, its answer is the
// very same bytes with the reply marker written over it, sent back to where it came from. Every
// receive is judged by itself; nothing about peers or earlier requests is kept.
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <optional>
#include <thread>

#include "common/platform/net.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/services.h"

namespace connchk::server {
namespace {

struct EchoFlavour {
  int socketType;
  const char* startupLine;
  const char* protocolLabel;  // as the received-packet line names it
};

constexpr EchoFlavour UdpEcho{SOCK_DGRAM, "Старт сервера, протокол IP-Клиент", "IP-Клиент"};
constexpr EchoFlavour TcpEcho{SOCK_STREAM, "Старт сервера, протокол TCP", "TCP"};

// How long the TCP service waits after a failed accept, so that a lasting failure (no descriptors
// left, say) does not turn into a busy loop of log lines.
constexpr std::chrono::milliseconds AcceptRetryPause(100);

using ReceiveBuffer = std::array<std::uint8_t, ReceiveBufferSize>;

// Start-up shared by both services: open the socket, log the start line, bind port 87 on every
// local address. The start line comes before the bind, so it stands even when the bind fails.
// (On this platform there is no sockets library to start, so that step cannot fail.)
platform::Socket openEchoSocket(ServerContext& server, const EchoFlavour& flavour) {
  int error = 0;
  platform::Socket socket = platform::openSocket(flavour.socketType, 0, error);
  if (!socket.valid()) {
    server.log.log(format("Ошибка %i при открытии сокета", error));
    return socket;
  }
  server.log.log(flavour.startupLine);
  if (!platform::bindTo(socket.fd(), platform::anyAddress(EchoPort), error)) {
    server.log.log(format("Ошибка bind %i", error));
    socket.close();
  }
  return socket;
}

void reportPacket(ServerContext& server, const EchoFlavour& flavour, const sockaddr_in& sender, std::size_t length) {
  ReportReceivedPacket(server, platform::dotted(sender),
                       format(", протокол %s, %lu байт данных", flavour.protocolLabel,
                              static_cast<unsigned long>(length)));
}

void logReceiveFailure(ServerContext& server, int error) { server.log.log(format("Ошибка приема %i", error)); }

void logErroneousRequest(ServerContext& server, const EchoFlavour& flavour, const sockaddr_in& sender,
                         std::size_t length) {
  reportPacket(server, flavour, sender, length);
  server.log.log(ErroneousRequestLine);
}

// The lines after the received-packet line of an answered request.
void logSendOutcome(ServerContext& server, const platform::IoResult& sent) {
  if (sent.failed()) {
    server.log.log(format("Возникла ошибка %i при передаче данных", sent.error));
    return;
  }
  server.log.log(format("Отослано %i байт данных", static_cast<int>(sent.n)));
  server.log.log(WaitingLine);
}

// The UDP service takes the marker at offset 8, or failing that at offset 0. Only bytes of this
// receive count: a datagram too short for the whole marker field does not carry it.
std::optional<std::size_t> udpMarkerOffset(const ReceiveBuffer& buffer, std::size_t length) {
  if (hasMarker(buffer.data(), length, layout_a::Marker, RequestMarker)) return layout_a::Marker;
  if (hasMarker(buffer.data(), length, 0, RequestMarker)) return 0;
  return std::nullopt;
}

}  // namespace

int EchoUdpService(ServerContext& server) {
  const EchoFlavour& flavour = UdpEcho;
  platform::Socket socket = openEchoSocket(server, flavour);
  if (!socket.valid()) return -1;

  ReceiveBuffer buffer{};
  for (;;) {
    sockaddr_in sender{};
    const auto got = platform::receiveFrom(socket.fd(), buffer.data(), buffer.size(), sender);
    if (got.failed()) {
      logReceiveFailure(server, got.error);
      continue;
    }
    if (got.n == 0) {
      server.log.log(ClientClosedLine);
      continue;
    }
    const auto length = static_cast<std::size_t>(got.n);
    const auto markerAt = udpMarkerOffset(buffer, length);
    if (!markerAt) {
      logErroneousRequest(server, flavour, sender, length);
      continue;
    }
    server.statistics.record(sender.sin_addr.s_addr, length);
    putMarker(buffer.data(), *markerAt, ReplyMarker);
    const auto sent = platform::sendTo(socket.fd(), buffer.data(), length, sender);
    reportPacket(server, flavour, sender, length);
    logSendOutcome(server, sent);
  }
}

int EchoTcpService(ServerContext& server) {
  const EchoFlavour& flavour = TcpEcho;
  platform::Socket listening = openEchoSocket(server, flavour);
  if (!listening.valid()) return -1;
  int error = 0;
  if (!platform::listenOn(listening.fd(), 1, error)) {
    server.log.log(format("Ошибка listen %i", error));
    return -1;
  }

  ReceiveBuffer buffer{};
  for (;;) {
    sockaddr_in peer{};
    platform::Socket connection = platform::acceptFrom(listening.fd(), peer, error);
    if (!connection.valid()) {
      // No connection to serve: say why, then accept again.
      logReceiveFailure(server, error);
      std::this_thread::sleep_for(AcceptRetryPause);
      continue;
    }
    // One connection at a time, until its peer closes or a receive fails; others wait in the
    // listen queue meanwhile.
    for (;;) {
      const auto got = platform::receive(connection.fd(), buffer.data(), buffer.size());
      if (got.failed()) {
        logReceiveFailure(server, got.error);
        break;
      }
      if (got.n == 0) {
        server.log.log(ClientClosedLine);
        break;
      }
      const auto length = static_cast<std::size_t>(got.n);
      if (!hasMarker(buffer.data(), length, layout_a::Marker, RequestMarker)) {
        logErroneousRequest(server, flavour, peer, length);
        continue;
      }
      server.statistics.record(peer.sin_addr.s_addr, length);
      putMarker(buffer.data(), layout_a::Marker, ReplyMarker);
      const auto sent = platform::sendBytes(connection.fd(), buffer.data(), length);
      reportPacket(server, flavour, peer, length);
      logSendOutcome(server, sent);
    }
  }
}

}  // namespace connchk::server
