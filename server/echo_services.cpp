// The UDP and TCP echo services on port 87: a request carries the request marker, its answer is the
// very same bytes with the reply marker written over it, sent back to where it came from.
// The UDP service judges every datagram by itself. The TCP service serves every connection at
// once from one event loop: it judges a request by its first 20 bytes and answers the rest as it
// comes (see RequestStream), sends
// what a slow peer cannot take at once as it makes room, and ends connections that stay quiet,
// whose answers stop moving, or whose peer has vanished.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/event_loop.h"
#include "server/request_rules.h"
#include "server/services.h"

namespace connchk::server {
namespace {

using messages::TcpEchoLabel;
using messages::UdpEchoLabel;

using Clock = std::chrono::steady_clock;

// The TCP service's bounds.
constexpr int ListenBacklog = 256;
constexpr std::size_t MostConnections = 512;
// Connections of one source address at once, well below the total: one host holding many
// connections locks no other host out.
constexpr std::size_t MostConnectionsPerSource = 16;
constexpr std::chrono::seconds IdleLimit(60);       // nothing received
constexpr std::chrono::seconds SendStuckLimit(5);   // an answer that does not move
// Answers a peer has not taken yet, held by the kernel per connection: many answers, yet bounded
// memory for all connections together.
constexpr int SendBufferBytes = 64 * 1024;
// TCP keepalive: a peer gone without a word is found within 10 + 3 * 3 seconds.
constexpr int KeepIdleS = 10;
constexpr int KeepIntervalS = 3;
constexpr int KeepProbes = 3;
// After a failed accept (no descriptor left, say) the service waits before it tries again, so that
// a lasting failure does not become a busy loop of log lines.
constexpr std::chrono::milliseconds AcceptRetryPause(100);
// Connections taken in one go before the open ones are served again.
constexpr int AcceptsPerRound = 64;
// How often the deadlines are looked at while there is one.
constexpr std::chrono::milliseconds Tick(100);

struct Connection {
  platform::Socket socket;
  platform::Address peer;
  std::string dotted;  // its text for the log lines
  platform::ArrivalMarks synMarks;  // TTL and TOS of the connection's SYN, where the system kept it
  RequestStream requests;
  Clock::time_point lastHeard;  // bytes received, or the connection's start
  // Answer bytes the peer has not taken yet; reading waits until it has.
  std::vector<std::uint8_t> unsent;
  std::size_t unsentFrom = 0;
  std::size_t answerSent = 0;  // bytes of the open request's answer sent so far
  int sendError = 0;           // the open request's failed send
  Clock::time_point lastProgress;

  bool sending() const { return unsentFrom < unsent.size(); }
};

class TcpEcho {
 public:
  TcpEcho(ServiceRun& run, platform::Socket listening) : run_(run), listening_(std::move(listening)) {}
  ~TcpEcho() { run_.server().counters.tcpConnectionsOpen -= static_cast<std::int64_t>(connections_.size()); }

  int serve();

 private:
  friend class server::ServiceEventLoop;
  int waitLimitMs() const;
  void listeningReady(Clock::time_point now) { acceptWaiting(now); }
  void socketReady(int fd, Clock::time_point now);
  void roundEnded(Clock::time_point now);

  void acceptWaiting(Clock::time_point now);
  void take(platform::Socket socket, const platform::Address& peer, Clock::time_point now);
  void readFrom(Connection& c, Clock::time_point now);
  void answer(Connection& c, Clock::time_point now);
  void answerAccountQuery(Connection& c, const std::vector<std::uint8_t>& query, Clock::time_point now);
  bool peerTookAll(const Connection& c) const;
  void sendRest(Connection& c, Clock::time_point now);
  void lookAtDeadlines(Clock::time_point now);
  void end(Connection& c, const std::string& line = {});
  void watch(Connection& c);

  ServiceRun& run_;
  platform::Socket listening_;
  ServiceEventLoop loop_{run_, 64};
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  std::unordered_map<std::string, std::size_t> perSource_;  // open connections by source address
  std::vector<std::uint8_t> readBuffer_ = std::vector<std::uint8_t>(64 * 1024);
  bool acceptPaused_ = false;
  Clock::time_point acceptAgainAt;
  Clock::time_point lastLook;
};

int TcpEcho::serve() {
  const platform::Status set = platform::setNonBlocking(listening_.fd());
  if (const int error = set ? loop_.watchListening(listening_.fd()) : set.code(); error != 0) {
    run_.startFailed(messages::listenFailed(error));
    return -1;
  }
  loop_.serve(*this);
  return 0;
}

void TcpEcho::socketReady(int fd, Clock::time_point now) {
  // A connection ended earlier in this round is no longer there.
  const auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  Connection& c = *found->second;
  if (c.sending()) {
    sendRest(c, now);
  } else {
    readFrom(c, now);
  }
}

void TcpEcho::roundEnded(Clock::time_point now) {
  if (now - lastLook >= Tick) lookAtDeadlines(now);
}

int TcpEcho::waitLimitMs() const {
  if (connections_.empty() && !acceptPaused_) return -1;
  return static_cast<int>(Tick.count());
}

void TcpEcho::acceptWaiting(Clock::time_point now) {
  for (int taken = 0; taken < AcceptsPerRound; ++taken) {
    platform::Address peer;
    platform::Result<platform::Socket> accepted = platform::acceptFrom(listening_.fd(), peer, platform::Wait::Now);
    if (accepted) {
      take(std::move(*accepted), peer, now);
      continue;
    }
    if (accepted.timedOut()) return;
    // No connection to serve: say why, and try again after a pause.
    run_.receiveFailed(accepted.code());
    loop_.pauseListening(listening_.fd());
    acceptPaused_ = true;
    acceptAgainAt = now + AcceptRetryPause;
    return;
  }
}

void TcpEcho::take(platform::Socket socket, const platform::Address& peer, Clock::time_point now) {
  const std::string dotted = peer.text();
  if (connections_.size() >= MostConnections) {
    run_.beginRequest();
    run_.dropped(messages::connectionRefused(dotted, static_cast<int>(connections_.size())));
    return;
  }
  const std::size_t fromSource = perSource_[dotted];
  if (fromSource >= MostConnectionsPerSource) {
    run_.beginRequest();
    run_.dropped(messages::connectionRefusedForSource(dotted, static_cast<int>(fromSource)));
    return;
  }
  // Neither fails on a connection just accepted; without them a vanished peer is only found later.
  (void)platform::setKeepAlive(socket.fd(), KeepIdleS, KeepIntervalS, KeepProbes);
  (void)platform::setSendBuffer(socket.fd(), SendBufferBytes);
  auto c = std::make_unique<Connection>();
  c->socket = std::move(socket);
  c->peer = peer;
  c->dotted = dotted;
  c->lastHeard = now;
  c->synMarks = platform::synMarks(c->socket.fd());
  const int fd = c->socket.fd();
  if (!loop_.add(fd, EPOLLIN)) {
    run_.receiveFailed(errno);
    return;
  }
  connections_.emplace(fd, std::move(c));
  ++perSource_[dotted];
  ++run_.server().counters.tcpConnectionsOpen;
}

void TcpEcho::readFrom(Connection& c, Clock::time_point now) {
  const auto got = platform::receive(c.socket.fd(), readBuffer_.data(), readBuffer_.size(), platform::Wait::Now);
  if (got.timedOut()) return;
  if (!got || *got == 0) {
    // What came before the end is answered or judged first.
    c.requests.closed();
    answer(c, now);
    if (!got) {
      run_.receiveFailed(got.code());
    } else {
      run_.beginRequest();
      run_.sayForRequest(messages::ClientClosed);
    }
    end(c);
    return;
  }
  c.lastHeard = now;
  c.requests.take(readBuffer_.data(), *got, peerTookAll(c));
  answer(c, now);
}

// Whether the peer has every answer byte: none waits here or in the kernel's send queue.
bool TcpEcho::peerTookAll(const Connection& c) const {
  int queued = 0;
  return !c.sending() && ioctl(c.socket.fd(), SIOCOUTQ, &queued) == 0 && queued == 0;
}

// Sends the answer bytes the stream has due, and writes the lines of the requests that ended:
// one received line with the request's whole size, then what became of its answer.
void TcpEcho::answer(Connection& c, Clock::time_point now) {
  for (const auto& ended : c.requests.takeEnded()) {
    run_.beginRequest();
    const std::string tail = messages::packetTail(TcpEchoLabel, ended.length);
    if (!ended.query.empty()) {
      answerAccountQuery(c, ended.query, now);
      continue;
    }
    if (ended.erroneous) {
      run_.erroneous(c.dotted, tail);
      continue;
    }
    run_.accepted(c.peer, ended.length, Arrived{ended.identity, AccountService::TcpEcho, 6, c.synMarks});
    run_.receivedPacket(c.dotted, tail);
    if (c.sendError != 0) {
      run_.sendFailed(c.sendError);
    } else {
      run_.answerSent(c.answerSent);
    }
    c.answerSent = 0;
    c.sendError = 0;
  }
  std::vector<std::uint8_t>& due = c.requests.toSend();
  if (due.empty()) return;
  if (c.sendError != 0) {
    due.clear();  // the connection cannot carry this answer any more
    return;
  }
  const auto sent = platform::sendBytes(c.socket.fd(), due.data(), due.size(), platform::Wait::Now);
  if (!sent && !sent.timedOut()) {
    c.sendError = sent.code();
    due.clear();
    return;
  }
  const std::size_t went = sent ? *sent : 0;
  c.answerSent += went;
  if (went < due.size()) {
    // The peer cannot take it all now: the rest goes as it makes room.
    c.unsent.assign(due.begin() + static_cast<long>(went), due.end());
    c.unsentFrom = 0;
    c.lastProgress = now;
    watch(c);
  }
  due.clear();
}

// An account query is answered at once, in one send where the peer has room (an answer is at most
// a few kilobytes and the peer has taken every earlier answer before it asks).
void TcpEcho::answerAccountQuery(Connection& c, const std::vector<std::uint8_t>& query, Clock::time_point now) {
  std::vector<std::uint8_t> account;
  if (!run_.accountQuery(query.data(), query.size(), c.peer, TcpEchoLabel, nullptr, account) || account.empty()) return;
  const auto sent = platform::sendBytes(c.socket.fd(), account.data(), account.size(), platform::Wait::Now);
  const std::size_t went = sent ? *sent : 0;
  if (went == account.size() || (!sent && !sent.timedOut())) {
    run_.answerSent(sent, ServiceRun::Answer::ToAccountQuery);
    return;
  }
  run_.answerSent(account.size(), ServiceRun::Answer::ToAccountQuery);
  c.unsent.assign(account.begin() + static_cast<long>(went), account.end());
  c.unsentFrom = 0;
  c.answerSent = 0;
  c.lastProgress = now;
  watch(c);
}

void TcpEcho::sendRest(Connection& c, Clock::time_point now) {
  const auto sent = platform::sendBytes(c.socket.fd(), c.unsent.data() + c.unsentFrom, c.unsent.size() - c.unsentFrom,
                                        platform::Wait::Now);
  if (sent.timedOut()) return;
  if (!sent) {
    c.sendError = sent.code();
  } else {
    c.unsentFrom += *sent;
    c.answerSent += *sent;
    c.lastProgress = now;
    if (c.sending()) return;
  }
  c.unsent.clear();
  c.unsentFrom = 0;
  watch(c);
}

// Reading while nothing is left to send, writing otherwise.
void TcpEcho::watch(Connection& c) {
  loop_.modify(c.socket.fd(), c.sending() ? EPOLLOUT : EPOLLIN);
}

void TcpEcho::lookAtDeadlines(Clock::time_point now) {
  lastLook = now;
  if (acceptPaused_ && now >= acceptAgainAt) {
    acceptPaused_ = false;
    loop_.resumeListening(listening_.fd());
  }
  std::vector<Connection*> stuck, idle;
  for (auto& [fd, c] : connections_) {
    if (c->sending()) {
      if (now - c->lastProgress >= SendStuckLimit) stuck.push_back(c.get());
    } else if (c->requests.open() || c->requests.holding()) {
      c->requests.quiet(std::chrono::duration_cast<std::chrono::milliseconds>(now - c->lastHeard), peerTookAll(*c));
      answer(*c, now);
    } else if (now - c->lastHeard >= IdleLimit) {
      idle.push_back(c.get());
    }
  }
  for (Connection* c : stuck) {
    ++run_.counters().sendErrors;
    end(*c, messages::connectionSendStuck(c->dotted, static_cast<int>(SendStuckLimit.count())));
  }
  for (Connection* c : idle) {
    ++run_.counters().dropped;
    end(*c, messages::connectionIdle(c->dotted, static_cast<int>(IdleLimit.count())));
  }
}

void TcpEcho::end(Connection& c, const std::string& line) {
  if (!line.empty()) run_.say(line);
  const int fd = c.socket.fd();
  if (const auto source = perSource_.find(c.dotted); source != perSource_.end() && --source->second == 0) {
    perSource_.erase(source);
  }
  loop_.remove(fd);
  connections_.erase(fd);
  --run_.server().counters.tcpConnectionsOpen;
}

}  // namespace

namespace {

// The UDP echo takes what waits on its socket in one go, sends all the answers in one go, then
// writes the lines.
class UdpEcho {
 public:
  UdpEcho(ServiceRun& run, int fd) : run_(run), fd_(fd) {}

  void serve() {
    while (run_.receiveBatch(fd_, batch_)) {
      for (std::size_t i = 0; i < batch_.size(); ++i) judge(batch_[i]);
      finish();
    }
  }

 private:
  void judge(platform::ReceivedBatch::Datagram& d) {
    if (d.error != 0) {
      outcomes_.push_back(DatagramOutcome::receiveFailed(d.error));
      return;
    }
    if (d.length == 0) {
      outcomes_.push_back(DatagramOutcome::empty());
      return;
    }
    if (hasMarker(d.bytes, d.length, layout_e::Marker, AccountQueryMarker)) {
      // A query is rare: what came before it is finished first, and it is answered alone.
      finish();
      answerQuery(d);
      return;
    }
    const auto tail = lines::labelled(lines::udpEchoLabel(), d.length);
    const auto markerAt = echoMarkerOffset(EchoKind::Udp, d.bytes, d.length);
    if (!makeEchoAnswer(EchoKind::Udp, d.bytes, d.length)) {
      outcomes_.push_back(DatagramOutcome::erroneous(d.from, tail));
      return;
    }
    // A request with its marker at 0 carries no send time of its own: the account does not keep it.
    Taken taken{d.from, d.length, std::nullopt};
    if (markerAt == layout_a::Marker) {
      taken.arrived = Arrived{readU64(d.bytes, layout_a::Timestamp), AccountService::UdpEcho, 17, d.marks};
    }
    taken_.push_back(taken);
    outcomes_.push_back(DatagramOutcome::answered(d.from, tail, answers_.add(d.bytes, d.length, d.from, d.to)));
  }

  void answerQuery(const platform::ReceivedBatch::Datagram& d) {
    run_.beginRequest();
    if (run_.accountQuery(d.bytes, d.length, d.from, UdpEchoLabel, &limit_, account_) && !account_.empty()) {
      run_.answerSent(platform::sendTo(fd_, account_.data(), account_.size(), d.from, platform::Wait::Now),
                      ServiceRun::Answer::ToAccountQuery);
    }
  }

  void finish() {
    answers_.send(fd_);
    // The senders' list and the account are kept once the answers are on their way: the clients
    // need not wait for that bookkeeping.
    for (const Taken& t : taken_) {
      if (t.arrived) {
        run_.accepted(t.from, t.length, *t.arrived);
      } else {
        run_.accepted(t.from, t.length);
      }
    }
    taken_.clear();
    run_.writeLines(outcomes_, answers_);
    answers_.clear();
    outcomes_.clear();
  }

  // A request answered in the batch, for the bookkeeping after its answer went.
  struct Taken {
    platform::Address from;
    std::size_t length;
    std::optional<Arrived> arrived;
  };

  ServiceRun& run_;
  int fd_;
  std::vector<Taken> taken_;
  platform::ReceivedBatch batch_{MaxDatagramSize};
  platform::SendBatch answers_{platform::ReceivedBatch::DefaultCapacity, platform::SendBatch::Grouping::Udp};
  std::vector<DatagramOutcome> outcomes_;
  QueryRateLimit limit_;
  std::vector<std::uint8_t> account_;
};

}  // namespace

int EchoUdpService(ServiceRun& run) {
  platform::Socket socket = run.open({.type = SOCK_DGRAM, .startLine = messages::startLine(UdpEchoLabel), .port = EchoPort});
  if (!socket.valid()) return -1;
  run.serving();
  // Large (the batch's buffers, the query limit's buckets): on the heap, not the thread's stack.
  std::make_unique<UdpEcho>(run, socket.fd())->serve();
  return 0;
}

int EchoTcpService(ServiceRun& run) {
  platform::Socket listening = run.open(
      {.type = SOCK_STREAM, .startLine = messages::startLine(TcpEchoLabel), .port = EchoPort, .listenBacklog = ListenBacklog});
  if (!listening.valid()) return -1;
  platform::keepSyns(listening.fd());
  return TcpEcho(run, std::move(listening)).serve();
}

}  // namespace connchk::server
