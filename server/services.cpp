#include "server/services.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace connchk::server {

void ReportReceivedPacket(ServerContext& server, const std::string& dottedAddress, const std::string& tail) {
  server.log.log(messages::receivedPacketLine(dottedAddress, tail));
}

void ServiceRun::say(const std::string& line) {
  if (!gathering_) {
    server_.log.log(line);
    return;
  }
  LogLine converted;
  write(converted.utf8(line));
}

void ServiceRun::write(const LogLine& line) {
  if (gathering_) {
    gathered_.add(line);
  } else {
    server_.log.log(line);
  }
}

void ServiceRun::startFailed(const std::string& line) {
  say(line);
  counters_.setFailure(line);
}

namespace {
// A raw service's socket is IPv4 (its IPv6 socket is opened beside it); UDP and TCP serve both
// families through one socket.
platform::Result<platform::DualStackSocket> openServing(const ServiceRun::Opening& opening) {
  if (opening.type != SOCK_RAW) return platform::openDualStackSocket(opening.type);
  auto raw = platform::openSocket(platform::Family::IPv4, opening.type, opening.protocol);
  if (!raw) return std::move(raw).error();
  return platform::DualStackSocket{std::move(*raw), platform::Family::IPv4};
}
}  // namespace

// (On this platform there is no sockets library to start, so that step cannot fail.)
platform::Socket ServiceRun::open(const Opening& opening) {
  auto serving = openServing(opening);
  if (!serving) {
    startFailed(messages::socketOpenFailed(serving.code()));
    return {};
  }
  platform::Socket socket = std::move(serving->socket);
  const platform::Family opened = serving->family;
  say(opening.startLine);
  if (opening.type == SOCK_DGRAM) platform::askForArrivalMarks(socket.fd(), opened);
  // Answers leave from the address their request came to.
  if (opening.type != SOCK_STREAM) platform::askForArrivalAddress(socket.fd(), opened);
  // Without it a restart waits for the last run's connections to leave TIME_WAIT; the bind says so.
  if (opening.listenBacklog > 0) (void)platform::setReuseAddress(socket.fd());
  if (opening.type != SOCK_STREAM) platform::raiseSendBuffer(socket.fd(), AnswerBufferBytes);
  if (const platform::Status bound = platform::bindTo(socket.fd(), platform::Address::any(opened, opening.port)); !bound) {
    startFailed(messages::bindFailed(bound.code()));
    return {};
  }
  if (opening.listenBacklog > 0) {
    if (const platform::Status listening = platform::listenOn(socket.fd(), opening.listenBacklog); !listening) {
      startFailed(messages::listenFailed(listening.code()));
      return {};
    }
  }
  return socket;
}

namespace {
// A bit for each socket of `fds` that is open.
unsigned openSockets(std::span<const int> fds) {
  unsigned open = 0;
  for (std::size_t i = 0; i < fds.size(); ++i) open |= fds[i] >= 0 ? 1u << i : 0;
  return open;
}
}  // namespace

bool ServiceRun::receiveBatch(std::span<const int> fds, platform::ReceivedBatch& batch, std::size_t& which) {
  mayHold_ &= openSockets(fds);
  while (!stop_.signalled()) {
    // Once no socket may hold more, they are looked at again for a short while where that pays
    // (see LookBeforeSleep); then the wait comes first: it says which have something (at once when
    // more came meanwhile), and spares receives that would find nothing.
    if (mayHold_ == 0) {
      if (look_.lookAgain(LookBeforeSleep::Clock::now())) {
        mayHold_ = openSockets(fds);
      } else if (!waitForDatagrams(fds)) {
        break;
      }
    }
    for (std::size_t turn = 0; turn < fds.size(); ++turn) {
      const std::size_t i = (nextSocket_ + turn) % fds.size();
      const unsigned bit = 1u << i;
      if (fds[i] < 0 || (mayHold_ & bit) == 0) continue;
      const auto got = batch.receive(fds[i]);
      if (got) {
        look_.arrived(LookBeforeSleep::Clock::now());
        which = i;
        nextSocket_ = i + 1;
        if (*got < batch.capacity()) mayHold_ &= ~bit;  // a batch not full took all there was
        return true;
      }
      // A failed receive is said, and the socket looked at again at once.
      if (!got.timedOut()) {
        receiveFailed(got.code());
      } else {
        mayHold_ &= ~bit;
      }
    }
  }
  return false;
}

bool ServiceRun::waitForDatagrams(std::span<const int> fds) {
  const unsigned all = openSockets(fds);
  if (!waitSet_) {
    waitSet_.emplace();
    constexpr std::uint64_t StopTag = ~std::uint64_t{0};
    bool registered = waitSet_->valid() && (stop_.fd() < 0 || waitSet_->add(stop_.fd(), EPOLLIN, StopTag));
    for (std::size_t i = 0; registered && i < fds.size(); ++i) {
      registered = fds[i] < 0 || waitSet_->add(fds[i], EPOLLIN, i);
    }
    if (!registered) waitSet_.reset();
  }
  if (!waitSet_) {
    mayHold_ = all;
    return platform::waitReadable(fds, stop_) != platform::WaitResult::Stopped;
  }
  epoll_event ready[MostDatagramSockets + 1];
  const int n = waitSet_->wait(ready, MostDatagramSockets + 1, waitLimit(-1));
  for (int k = 0; k < n; ++k) {
    if (ready[k].data.u64 < fds.size()) mayHold_ |= 1u << ready[k].data.u64;
  }
  // A wait that ended with nothing (a failure, a signal, a slice of the stop's look) counts as
  // ready: the receives that follow find out, and report what is wrong.
  if (n == 0) mayHold_ = all;
  mayHold_ &= all;
  return !stop_.signalled();
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
  if (!writing_) {
    gate_.leftOut(RequestOutcome::Erroneous);
    return;
  }
  lines::receiveFailed(line_, error);
  sayForRequest(line_);
}

void ServiceRun::emptyRequest() {
  if (!writing_) gate_.leftOut(RequestOutcome::Erroneous);
  sayForRequest(line_.clear() << lines::clientClosed());
}

void ServiceRun::erroneous(const std::string& dottedAddress, const std::string& tail) {
  ++counters_.erroneous;
  if (!writing_) gate_.leftOut(RequestOutcome::Erroneous);
  receivedPacket(dottedAddress, tail);
  sayForRequest(line_.clear() << lines::erroneousRequest());
}

void ServiceRun::erroneous(const platform::Address& sender, const lines::PacketTail& tail) {
  ++counters_.erroneous;
  if (!writing_) gate_.leftOut(RequestOutcome::Erroneous);
  receivedPacket(sender, tail);
  sayForRequest(line_.clear() << lines::erroneousRequest());
}

void ServiceRun::receivedPacket(const platform::Address& sender, const lines::PacketTail& tail) {
  if (!writing_) return;
  lines::receivedPacket(line_, senderText(sender), tail);
  write(line_);
}

void ServiceRun::writeLines(const std::vector<DatagramOutcome>& outcomes, const platform::SendBatch& answers) {
  using Kind = DatagramOutcome::Kind;
  // The batch's lines go to the log together: one lock, one wake-up of its writer at most.
  gathering_ = true;
  for (const DatagramOutcome& o : outcomes) {
    if (o.kind == Kind::ReceiveFailed) {
      receiveFailed(o.error);
      continue;
    }
    beginRequest();
    switch (o.kind) {
      case Kind::Empty: emptyRequest(); break;
      case Kind::Erroneous: erroneous(o.peer, o.tail); break;
      case Kind::Answered:
        receivedPacket(o.peer, o.tail);
        answerSent(answers.result(o.answer));
        break;
      case Kind::ReceiveFailed: break;
    }
  }
  gathering_ = false;
  server_.log.log(gathered_);
  gathered_.clear();
}

// A flood comes from one or a few senders: the text of the last one is kept.
std::string_view ServiceRun::senderText(const platform::Address& sender) {
  if (lastSenderText_.empty() || !platform::sameHost(sender, lastSender_)) {
    lastSender_ = sender;
    lastSenderText_ = sender.text();
  }
  return lastSenderText_;
}

void ServiceRun::accepted(const platform::Address& sender, std::size_t length) {
  server_.statistics.record(sender, static_cast<unsigned long>(length));
}

void ServiceRun::accepted(const platform::Address& sender, std::size_t length, const Arrived& arrived) {
  accepted(sender, length);
  server_.accounts.record(arrived, sender, length);
}

bool ServiceRun::accountQuery(const std::uint8_t* bytes, std::size_t length, const platform::Address& from,
                              const char* label, QueryRateLimit* limit, std::vector<std::uint8_t>& answer) {
  answer.clear();
  if (!hasMarker(bytes, length, layout_e::Marker, AccountQueryMarker)) return false;
  const std::string dotted = from.text();
  const auto query = readAccountQuery(bytes, length);
  if (!query) {
    erroneous(dotted, messages::packetTail(label, length));
    return true;
  }
  // A flood (of forged sources, say) gets one refusal line a second, not one per query.
  const auto refuse = [&](const std::string& line) {
    ++counters_.dropped;
    if (writing_ && limit->mayTellRefusal()) say(line);
  };
  if (limit && !limit->allow(from)) {
    refuse(messages::accountQueryTooOften(dotted));
    return true;
  }
  if (limit && length < accountAnswerLength(query->identities.size())) {
    refuse(messages::accountQueryTooShort(dotted));
    return true;
  }
  const auto told = server_.accounts.lookUp(query->identities, from);
  const int arrived = static_cast<int>(std::count_if(told.begin(), told.end(), [](const auto& a) { return a.arrived; }));
  sayForRequest(messages::accountQueryLine(dotted, label, static_cast<int>(told.size()), arrived));
  answer = writeAccountAnswer(query->queryTime, told);
  return true;
}

void ServiceRun::receivedPacket(const std::string& dottedAddress, const std::string& tail) {
  if (writing_) ReportReceivedPacket(server_, dottedAddress, tail);
}

void ServiceRun::answerSent(const platform::Result<std::size_t>& sent, Answer what) {
  if (!sent) {
    sendFailed(sent.code());
    return;
  }
  ++(what == Answer::ToRequest ? counters_.answered : counters_.accountQueriesAnswered);
  if (!writing_) {
    gate_.leftOut(RequestOutcome::Answered);
    return;
  }
  lines::bytesSent(line_, *sent);
  sayForRequest(line_);
  sayForRequest(line_.clear() << lines::waitingForRequest());
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
  if (!writing_) {
    gate_.leftOut(RequestOutcome::Unanswered);
    return;
  }
  lines::sendFailed(line_, error);
  sayForRequest(line_);
}

}  // namespace connchk::server
