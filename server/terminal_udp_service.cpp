// The terminal exchange service: requests of layout B on UDP port 855, each answered from a socket
// of its own on port 855 + N (N = the terminal number the request carries), which then waits up to
// five seconds for the confirmation from the request's address and port and answers it once more.
// Exchanges run side by side in one event loop, so port 855 is read at once whatever an exchange
// waits for; at most 64 are in progress, at most 4 per source address, and the oldest gives way
// to a new request beyond that unless its confirmation may be on its way. Ports that another
// program holds or held in the last minutes are never bound.
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <list>
#include <memory>
#include <vector>

#include "server/event_loop.h"
#include "server/foreign_ports.h"
#include "server/request_rules.h"
#include "server/services.h"

namespace connchk::server {
namespace {

constexpr const char* Label = messages::TerminalLabel;
using Clock = std::chrono::steady_clock;

constexpr std::size_t MostExchanges = 64;
// Exchanges of one source address at once: a host (or a flood from one) cannot hold more ports.
constexpr std::size_t MostExchangesPerSource = 4;
// An exchange younger than this still waits for a confirmation on its way (a client answers
// within its round trip): a newcomer takes no such exchange's place, and is refused instead.
constexpr std::chrono::milliseconds ConfirmationOnItsWay(1000);
constexpr std::chrono::milliseconds ConfirmationWait(ReceiveTimeout);
// Requests taken from port 855 in one go before the exchanges' sockets are looked at again.
constexpr int RequestsPerRound = 64;

// Room for one datagram, as large as any (a request cut short would be answered short); its pages
// are taken only as far as a datagram fills them.
struct Buffer {
  std::unique_ptr<std::uint8_t[]> bytes = std::make_unique_for_overwrite<std::uint8_t[]>(MaxDatagramSize);
  std::uint8_t* data() const { return bytes.get(); }
  std::uint8_t* begin() const { return bytes.get(); }
  static constexpr std::size_t size() { return MaxDatagramSize; }
};

struct Exchange {
  platform::Socket socket;  // bound to the exchange's port until the exchange ends
  platform::Address client;
  std::optional<platform::Address> local;  // where the request came to, which the answers leave from
  std::string dotted;  // its text for the log lines
  TerminalRequest request{};
  std::size_t answerLength = 0;
  Clock::time_point started;   // when the first answer went
  Clock::time_point deadline;
  Buffer buffer{};  // the first answer, then the confirmation (followed by the rest of that answer)
};

class TerminalExchanges {
 public:
  TerminalExchanges(ServiceRun& run, platform::Socket listening) : run_(run), listening_(std::move(listening)) {}
  ~TerminalExchanges() {
    run_.server().counters.terminalExchangesInProgress -= static_cast<std::int64_t>(exchanges_.size());
  }

  int serve();

 private:
  friend class server::ServiceEventLoop;
  int waitLimitMs() const { return waitLimitMs(Clock::now()); }
  void listeningReady(Clock::time_point) { takeRequests(); }
  void socketReady(int fd, Clock::time_point);
  // The round's work took time of its own: the deadlines are looked at with the time now.
  void roundEnded(Clock::time_point) { endTimedOut(Clock::now()); }

  void takeRequests();
  void takeRequest(std::size_t length, const platform::Address& client);
  bool makeRoomFor(const TerminalRequest& request, const platform::Address& client, Clock::time_point now);
  // The oldest of `candidates` that no confirmation may be on its way to, or end().
  template <class Which>
  std::list<Exchange>::iterator oldestToGiveWay(Clock::time_point now, Which candidates);
  void start(const TerminalRequest& request, std::size_t length, const platform::Address& client);
  void takeConfirmation(std::list<Exchange>::iterator x);
  void endTimedOut(Clock::time_point now);
  void end(std::list<Exchange>::iterator x);
  void awaitNext();
  std::vector<int> exchangeSockets() const;
  int waitLimitMs(Clock::time_point now) const;

  ServiceRun& run_;
  platform::Socket listening_;
  ServiceEventLoop loop_{run_, MostExchanges + 2};
  std::list<Exchange> exchanges_;  // oldest first, and so in the order of their deadlines
  ForeignPorts foreign_;
  Buffer request_{};
  platform::ArrivalMarks marks_;  // of the request in request_
  std::optional<platform::Address> arrivedAt_;  // the local address it came to
  bool servedRequest_ = false;  // the waiting line follows every event once one was served
};

int TerminalExchanges::serve() {
  if (const int error = loop_.watchListening(listening_.fd()); error != 0) {
    run_.startFailed(messages::socketOpenFailed(error));
    return -1;
  }
  loop_.serve(*this);
  return 0;
}

void TerminalExchanges::socketReady(int fd, Clock::time_point) {
  // An exchange ended earlier in this round is no longer there.
  const auto x = std::find_if(exchanges_.begin(), exchanges_.end(), [fd](const Exchange& e) { return e.socket.fd() == fd; });
  if (x != exchanges_.end()) takeConfirmation(x);
}

int TerminalExchanges::waitLimitMs(Clock::time_point now) const {
  if (exchanges_.empty()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(exchanges_.front().deadline - now);
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

void TerminalExchanges::awaitNext() {
  if (servedRequest_) run_.sayForRequest(messages::WaitingForRequest);
}

void TerminalExchanges::takeRequests() {
  for (int taken = 0; taken < RequestsPerRound; ++taken) {
    platform::Address client;
    const auto got =
        platform::receiveFrom(listening_.fd(), request_.data(), request_.size(), client, platform::Wait::Now, marks_, &arrivedAt_);
    if (got.timedOut()) return;
    if (!got) {
      run_.receiveFailed(got.code());
      awaitNext();
    } else if (*got == 0) {
      run_.beginRequest();
      run_.emptyRequest();
      awaitNext();
    } else {
      takeRequest(*got, client);
    }
  }
}

// Without its marker, or with a terminal number outside the served range (by default the client's
// 1 to 999; 0 would be port 855 itself, numbers past 64680 wrap to the ports below it), a request
// is erroneous and binds nothing: a remote peer cannot make the server hold any port it likes.
void TerminalExchanges::takeRequest(std::size_t length, const platform::Address& client) {
  run_.beginRequest();
  const auto request = readTerminalRequest(request_.data(), length);
  if (!request || !run_.server().settings.terminals.contains(request->terminal)) {
    run_.erroneous(client.text(), messages::packetTail(Label, length));
    awaitNext();
    return;
  }
  run_.accepted(client, length, Arrived{readU64(request_.data(), layout_b::Timestamp), AccountService::Terminal, 17, marks_});
  servedRequest_ = true;
  if (!foreign_.mayBind(request->port, exchangeSockets())) {
    run_.receivedPacket(client.text(), messages::packetTail(Label, length));
    run_.sayForRequest(messages::terminalPortForeign(request->terminal));
    awaitNext();
    return;
  }
  if (!makeRoomFor(*request, client, Clock::now())) {
    run_.receivedPacket(client.text(), messages::packetTail(Label, length));
    run_.dropped(messages::exchangeRefused(request->terminal));
    awaitNext();
    return;
  }
  start(*request, length, client);
}

std::vector<int> TerminalExchanges::exchangeSockets() const {
  std::vector<int> fds{listening_.fd()};
  for (const Exchange& x : exchanges_) fds.push_back(x.socket.fd());
  return fds;
}

template <class Which>
std::list<Exchange>::iterator TerminalExchanges::oldestToGiveWay(Clock::time_point now, Which candidates) {
  for (auto x = exchanges_.begin(); x != exchanges_.end(); ++x) {
    if (candidates(*x) && now - x->started >= ConfirmationOnItsWay) return x;
  }
  return exchanges_.end();
}

// A request takes over from an exchange that holds its port or serves its client (a client sends
// its next request only once it has given up on the last one). Beyond that a source address has
// at most a few exchanges and the service at most MostExchanges: the oldest of the source's, or of
// all, gives way, unless a confirmation may still be on its way to it; then the request is
// refused. So neither one host nor a flood from many can take the place of an exchange whose
// client is about to confirm. False when the request is refused.
bool TerminalExchanges::makeRoomFor(const TerminalRequest& request, const platform::Address& client,
                                    Clock::time_point now) {
  for (auto x = exchanges_.begin(); x != exchanges_.end();) {
    const auto next = std::next(x);
    if (x->request.port == request.port || x->client == client) {
      run_.dropped(messages::exchangeAbandoned(x->request.terminal));
      end(x);
    }
    x = next;
  }
  const auto sameSource = [&client](const Exchange& x) { return platform::sameHost(x.client, client); };
  if (static_cast<std::size_t>(std::count_if(exchanges_.begin(), exchanges_.end(), sameSource)) >= MostExchangesPerSource) {
    const auto x = oldestToGiveWay(now, sameSource);
    if (x == exchanges_.end()) return false;
    run_.dropped(messages::exchangeAbandoned(x->request.terminal));
    end(x);
  }
  if (exchanges_.size() >= MostExchanges) {
    const auto x = oldestToGiveWay(now, [](const Exchange&) { return true; });
    if (x == exchanges_.end()) return false;
    run_.dropped(messages::exchangeAbandoned(x->request.terminal));
    end(x);
  }
  return true;
}

void TerminalExchanges::start(const TerminalRequest& request, std::size_t length, const platform::Address& client) {
  Exchange x;
  x.client = client;
  x.local = arrivedAt_;
  x.dotted = client.text();
  x.request = request;
  // A socket that cannot be opened or bound (its port taken, say) loses this exchange only.
  const auto lose = [&](const std::string& line) {
    run_.receivedPacket(x.dotted, messages::packetTail(Label, length));
    run_.sayForRequest(line);
    awaitNext();
  };
  // Of the same kind as port 855's socket, so that it answers a client of either family.
  auto opened = platform::openDualStackSocket(SOCK_DGRAM);
  if (!opened) return lose(messages::socketOpenFailed(opened.code()));
  x.socket = std::move(opened->socket);
  if (const platform::Status bound = platform::bindTo(x.socket.fd(), platform::Address::any(opened->family, request.port));
      !bound) {
    if (bound.code() == EADDRINUSE) foreign_.taken(request.port);
    return lose(messages::bindFailed(bound.code()));
  }
  // The first answer: the request with the reply marker, from the exchange's own port.
  std::copy_n(request_.begin(), length, x.buffer.begin());
  putMarker(x.buffer.data(), layout_b::Marker, ReplyMarker);
  const auto answer = platform::sendFrom(x.socket.fd(), x.buffer.data(), length, client, x.local, platform::Wait::Now);
  if (!answer) {
    run_.receivedPacket(x.dotted, messages::packetTail(Label, length));
    run_.sendFailed(answer.code());
    awaitNext();
    return;
  }
  x.answerLength = *answer;
  x.started = Clock::now();
  x.deadline = x.started + ConfirmationWait;
  if (!loop_.add(x.socket.fd(), EPOLLIN)) {
    run_.receiveFailed(errno);
    awaitNext();
    return;
  }
  exchanges_.push_back(std::move(x));
  ++run_.server().counters.terminalExchangesInProgress;
}

// Only the request's own address and port confirm; anything else reaching the exchange's port is
// an erroneous request and the wait goes on.
void TerminalExchanges::takeConfirmation(std::list<Exchange>::iterator x) {
  Buffer datagram;
  platform::Address from;
  const auto got = platform::receiveFrom(x->socket.fd(), datagram.data(), datagram.size(), from, platform::Wait::Now);
  if (got.timedOut()) return;
  if (!got) {
    run_.receiveFailed(got.code());
    end(x);
    awaitNext();
    return;
  }
  run_.beginRequest();
  const auto length = *got;
  if (from != x->client) {
    run_.erroneous(from.text(), messages::packetTail(Label, length));
    return;
  }
  std::copy_n(datagram.begin(), length, x->buffer.begin());
  if (!isConfirmation(x->buffer.data(), length)) {
    run_.erroneous(x->dotted, messages::unconfirmedPacketTail(Label, length));
  } else {
    // As long as the first answer: a shorter confirmation is followed by the rest of that answer.
    const auto final =
        platform::sendFrom(x->socket.fd(), x->buffer.data(), x->answerLength, x->client, x->local, platform::Wait::Now);
    run_.receivedPacket(x->dotted, messages::packetTail(Label, length));
    if (!final) {
      run_.sendFailed(final.code());
    } else {
      run_.answered(messages::bytesSentToTerminal(*final, x->request.terminal));
    }
  }
  end(x);
  awaitNext();
}

// No confirmation within the wait: the exchange ends with the receive's time-out and without a
// final answer, since nothing came back that could be answered.
void TerminalExchanges::endTimedOut(Clock::time_point now) {
  while (!exchanges_.empty() && exchanges_.front().deadline <= now) {
    run_.receiveFailed(EAGAIN);
    end(exchanges_.begin());
    awaitNext();
  }
}

void TerminalExchanges::end(std::list<Exchange>::iterator x) {
  loop_.remove(x->socket.fd());
  exchanges_.erase(x);
  --run_.server().counters.terminalExchangesInProgress;
}

}  // namespace

int TerminalUdpService(ServiceRun& run) {
  platform::Socket listening =
      run.open({.type = SOCK_DGRAM, .startLine = messages::startLine(Label), .port = TerminalPort});
  if (!listening.valid()) return -1;
  return TerminalExchanges(run, std::move(listening)).serve();
}

}  // namespace connchk::server
