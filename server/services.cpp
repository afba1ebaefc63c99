#include "server/services.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace connchk::server {

void ReportReceivedPacket(ServerContext& server, const std::string& dottedAddress, const std::string& tail) {
  server.log.log(messages::receivedPacketLine(dottedAddress, tail));
}

void ServiceRun::startFailed(const std::string& line) {
  say(line);
  counters_.setFailure(line);
}

// (On this platform there is no sockets library to start, so that step cannot fail.)
platform::Socket ServiceRun::open(const Opening& opening) {
  int error = 0;
  platform::Family opened = platform::Family::IPv4;
  platform::Socket socket = opening.type == SOCK_RAW
                                ? platform::openSocket(opened, opening.type, opening.protocol, error)
                                : platform::openDualStackSocket(opening.type, opened, error);
  if (!socket.valid()) {
    startFailed(messages::socketOpenFailed(error));
    return socket;
  }
  say(opening.startLine);
  if (opening.listenBacklog > 0) platform::setReuseAddress(socket.fd(), error);
  if (opening.type != SOCK_STREAM) platform::raiseSendBuffer(socket.fd(), AnswerBufferBytes);
  if (!platform::bindTo(socket.fd(), platform::Address::any(opened, opening.port), error)) {
    startFailed(messages::bindFailed(error));
    socket.close();
    return socket;
  }
  if (opening.listenBacklog > 0 && !platform::listenOn(socket.fd(), opening.listenBacklog, error)) {
    startFailed(messages::listenFailed(error));
    socket.close();
  }
  return socket;
}

bool ServiceRun::receiveDatagram(std::span<const int> fds, std::span<std::uint8_t> buffer, platform::Address& from,
                                 std::size_t& length, std::size_t& which) {
  while (!stop_.signalled()) {
    bool nothingThere = true;
    for (std::size_t turn = 0; turn < fds.size(); ++turn) {
      const std::size_t i = (nextSocket_ + turn) % fds.size();
      if (fds[i] < 0) continue;
      const auto got = platform::receiveFrom(fds[i], buffer.data(), buffer.size(), from, platform::Wait::Now);
      if (!got.failed()) {
        length = static_cast<std::size_t>(got.n);
        which = i;
        nextSocket_ = i + 1;
        return true;
      }
      if (!platform::isTimeout(got.error)) {
        receiveFailed(got.error);
        nothingThere = false;
      }
    }
    if (nothingThere && platform::waitReadable(fds, stop_) == platform::WaitResult::Stopped) break;
  }
  return false;
}

int ServiceRun::watch(platform::Poller& events, int fd, std::uint64_t tag, std::uint64_t stopTag) const {
  if (!events.valid()) return events.error();
  if (!events.add(fd, EPOLLIN, tag)) return errno;
  if (stop_.fd() >= 0 && !events.add(stop_.fd(), EPOLLIN, stopTag)) return errno;
  return 0;
}

int ServiceRun::waitLimit(int ms) const {
  constexpr int StopLookMs = 100;
  if (stop_.fd() >= 0) return ms;
  return ms < 0 ? StopLookMs : std::min(ms, StopLookMs);
}

void ServiceRun::receiveFailed(int error) {
  ++counters_.receiveErrors;
  beginRequest();
  if (!writing_) gate_.leftOut(RequestOutcome::Erroneous);
  sayForRequest(messages::receiveFailed(error));
}

void ServiceRun::emptyRequest() {
  if (!writing_) gate_.leftOut(RequestOutcome::Erroneous);
  sayForRequest(messages::ClientClosed);
}

void ServiceRun::erroneous(const std::string& dottedAddress, const std::string& tail) {
  ++counters_.erroneous;
  if (!writing_) gate_.leftOut(RequestOutcome::Erroneous);
  receivedPacket(dottedAddress, tail);
  sayForRequest(messages::ErroneousRequest);
}

void ServiceRun::accepted(const platform::Address& sender, std::size_t length) {
  server_.statistics.record(sender, static_cast<unsigned long>(length));
}

void ServiceRun::receivedPacket(const std::string& dottedAddress, const std::string& tail) {
  if (writing_) ReportReceivedPacket(server_, dottedAddress, tail);
}

void ServiceRun::answerSent(const platform::IoResult& sent) {
  if (sent.failed()) {
    sendFailed(sent.error);
    return;
  }
  answered(messages::bytesSent(sent.n));
  sayForRequest(messages::WaitingForRequest);
}

void ServiceRun::answered(const std::string& sentLine) {
  ++counters_.answered;
  if (!writing_) gate_.leftOut(RequestOutcome::Answered);
  sayForRequest(sentLine);
}

void ServiceRun::dropped(const std::string& line) {
  ++counters_.dropped;
  sayForRequest(line);
}

void ServiceRun::sendFailed(int error) {
  ++counters_.sendErrors;
  if (!writing_) gate_.leftOut(RequestOutcome::Unanswered);
  sayForRequest(messages::sendFailed(error));
}

}  // namespace connchk::server
