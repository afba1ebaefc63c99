// The terminal exchange service: requests of layout B on UDP port 855, each answered from a fresh
// socket on port 855 + N (N = the terminal number the request carries), which then waits up to
// five seconds for the client's confirmation and answers it once more. One exchange at a time.
#include <sys/socket.h>

#include <array>

#include "common/platform/net.h"
#include "common/protocol.h"
#include "common/text_format.h"
#include "server/services.h"

namespace connchk::server {
namespace {

// The tail of the received-packet line, and the variant without the comma that reports a
// confirmation without the reply marker.
std::string packetTail(ssize_t length) { return format(", протокол TELM-UDP, %lu байт данных", static_cast<unsigned long>(length)); }
std::string unconfirmedTail(ssize_t length) { return format(" протокол TELM-UDP, %lu байт данных", static_cast<unsigned long>(length)); }

std::uint16_t terminalPortFor(std::uint32_t terminal) {
  return static_cast<std::uint16_t>((TerminalPort + terminal) & 0xFFFF);
}

}  // namespace

int TerminalUdpService(ServerContext& server) {
  auto say = [&server](const std::string& line) { server.log.log(line); };
  int error = 0;
  platform::Socket listening = platform::openSocket(SOCK_DGRAM, 0, error);
  if (!listening.valid()) {
    say(format("Ошибка %i при открытии сокета", error));
    return -1;
  }
  say("Старт сервера, протокол TELM-UDP");
  if (!platform::bindTo(listening.fd(), platform::anyAddress(TerminalPort), error)) {
    say(format("Ошибка bind %i", error));
    return -1;
  }

  // Stays bound after its exchange; closed when the next valid request arrives.
  platform::Socket terminalSocket;
  bool servedRequest = false;  // the waiting line opens every pass after the first valid request
  std::array<std::uint8_t, ReceiveBufferSize> buffer{};
  for (;;) {
    if (servedRequest) say(WaitingLine);
    sockaddr_in client{};
    const auto request = platform::receiveFrom(listening.fd(), buffer.data(), buffer.size(), client);
    if (request.failed()) {
      say(format("Ошибка приема %i", request.error));
      continue;
    }
    if (request.n == 0) {
      say(ClientClosedLine);
      continue;
    }
    const std::string requester = platform::dotted(client);
    if (!hasMarker(buffer.data(), static_cast<std::size_t>(request.n), layout_b::Marker, RequestMarker)) {
      ReportReceivedPacket(server, requester, packetTail(request.n));
      say(ErroneousRequestLine);
      continue;
    }

    const std::uint32_t terminal = readU32(buffer.data(), layout_b::Terminal);
    server.statistics.record(client.sin_addr.s_addr, static_cast<unsigned long>(request.n));
    servedRequest = true;
    terminalSocket.close();
    terminalSocket = platform::openSocket(SOCK_DGRAM, 0, error);
    if (!terminalSocket.valid()) {
      // Only this exchange is lost; the service goes on with the next request.
      ReportReceivedPacket(server, requester, packetTail(request.n));
      say(format("Ошибка %i при открытии сокета", error));
      continue;
    }
    platform::setReceiveTimeout(terminalSocket.fd(), ReceiveTimeout, error);
    if (!platform::bindTo(terminalSocket.fd(), platform::anyAddress(terminalPortFor(terminal)), error)) {
      // Terminal 0 asks for port 855 itself, or the port is taken: this exchange only is lost.
      terminalSocket.close();
      ReportReceivedPacket(server, requester, packetTail(request.n));
      say(format("Ошибка bind %i", error));
      continue;
    }

    putMarker(buffer.data(), layout_b::Marker, ReplyMarker);
    const auto answer = platform::sendTo(terminalSocket.fd(), buffer.data(),
                                         static_cast<std::size_t>(request.n), client);
    if (answer.failed()) {
      ReportReceivedPacket(server, requester, packetTail(request.n));
      say(format("Возникла ошибка %i при передаче данных", answer.error));
      continue;
    }

    sockaddr_in from{};
    const auto confirmation = platform::receiveFrom(terminalSocket.fd(), buffer.data(), buffer.size(), from);
    if (confirmation.failed()) {
      // No confirmation within the time-out (or a failed receive): the exchange ends here without
      // a final answer, since nothing came back that could be answered.
      say(format("Ошибка приема %i", confirmation.error));
      continue;
    }
    client = from;
    const std::string confirmer = platform::dotted(client);
    if (!hasMarker(buffer.data(), static_cast<std::size_t>(confirmation.n), layout_b::Marker, ReplyMarker)) {
      ReportReceivedPacket(server, confirmer, unconfirmedTail(confirmation.n));
      say(ErroneousRequestLine);
      continue;
    }
    // As long as the first answer: a shorter confirmation is followed by the rest of that answer.
    const auto final = platform::sendTo(terminalSocket.fd(), buffer.data(),
                                        static_cast<std::size_t>(answer.n), client);
    ReportReceivedPacket(server, confirmer, packetTail(confirmation.n));
    if (final.failed()) {
      say(format("Возникла ошибка %i при передаче данных", final.error));
    } else {
      say(format("Отослано %i байт данных, терминал №%lu", static_cast<int>(final.n),
                 static_cast<unsigned long>(terminal)));
    }
  }
}

}  // namespace connchk::server
