#include "client/trace.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>

#include "client/answer_identity.h"
#include "client/protocol_catalogue.h"
#include "client/run_parameters.h"
#include "client/test_skeleton.h"
#include "client/tests.h"
#include "common/platform/icmp_socket.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

using platform::Address;
using platform::Family;
using platform::IcmpError;
using platform::Socket;

// ---- matching an error to its probe ----------------------------------------------------------

namespace {
constexpr std::uint8_t UdpProtocol = 17;
constexpr std::uint8_t TcpProtocol = 6;
constexpr std::size_t UdpHeaderBytes = 8;

// The send time at `offset` of the quoted transport bytes: nullopt when the quote stops short of it.
std::optional<std::uint64_t> quotedSendTime(const std::vector<std::uint8_t>& transport, std::size_t offset) {
  if (transport.size() < offset + TimestampSize) return std::nullopt;
  return readU64(transport.data(), offset);
}
}  // namespace

bool quotesProbe(const IcmpError& error, const ProbeIdentity& probe) {
  const platform::QuotedDatagram& quoted = error.quoted;
  if (quoted.protocol != probe.protocol || !platform::sameHost(quoted.destination, probe.destination)) return false;
  const auto& transport = quoted.transport;
  switch (probe.protocol) {
    case UdpProtocol:
    case TcpProtocol: {
      if (!quoted.portsQuoted || quoted.source.port() != probe.sourcePort ||
          quoted.destination.port() != probe.destination.port()) {
        return false;
      }
      if (probe.protocol == TcpProtocol) return true;
      const auto sent = quotedSendTime(transport, UdpHeaderBytes);
      return !sent || *sent == probe.sendTime;
    }
    case IcmpProtocol:
    case Icmpv6Protocol: {
      if (!probe.icmpIdentifier || transport.size() < layout_d::Timestamp) return false;
      if (readU16(transport.data(), layout_d::Identifier) != *probe.icmpIdentifier) return false;
      const auto sent = quotedSendTime(transport, layout_d::Timestamp);
      return !sent || *sent == probe.sendTime;
    }
    default: {
      const auto sent = quotedSendTime(transport, 0);
      return sent && *sent == probe.sendTime;
    }
  }
}

// ---- what a trace found ----------------------------------------------------------------------

const TraceHop* TypeTrace::lastAnswered() const {
  for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
    if (hop->answer != HopAnswer::Silent) return &*hop;
  }
  return nullptr;
}

std::string TypeTrace::refusedWith() const {
  if (end != TraceEnd::Refused || hops.empty()) return {};
  return hops.back().said;
}

int TraceResult::exitStatus() const {
  if (!started) return 2;
  bool traced = false;
  for (const TypeTrace& type : types) {
    if (!type.traced() || type.end == TraceEnd::Stopped) continue;
    if (!type.reached()) return 1;
    traced = true;
  }
  return traced ? 0 : 2;
}

std::string traceVerdictText(const TypeTrace& type) {
  const TraceHop* last = type.lastAnswered();
  const std::string where = last && last->address ? last->address->text() : std::string("?");
  switch (type.end) {
    case TraceEnd::Reached:
      return format("дошел до сервера на узле %d", last ? last->hop : 0);
    case TraceEnd::Refused:
      return format("отвергнут на узле %d адресом %s: %s", last ? last->hop : 0, where.c_str(),
                    type.refusedWith().c_str());
    case TraceEnd::Silence:
      if (!last) return "ни один узел не отвечает";
      return format("обрывается после узла %d (%s), дальше никто не отвечает", last->hop, where.c_str());
    case TraceEnd::MaxHops:
      return format("не дошел за %zu узлов", type.hops.size());
    case TraceEnd::Stopped:
      return "трассировка остановлена";
    case TraceEnd::NotTraced:
      return "не прослеживается: " + type.notTraced;
  }
  return {};
}

// ---- the probes ------------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;
using Packet = std::array<std::uint8_t, ReceiveBufferSize>;

inline constexpr const char* TimeExceededText = "время жизни истекло";
inline constexpr const char* ServerAnswerText = "ответ сервера";
inline constexpr const char* ResetText = "соединение отвергнуто (RST)";

}  // namespace

std::uint64_t nextSendTime() {
  static std::atomic<std::uint64_t> last{0};
  std::uint64_t now = SendTimestamp();
  std::uint64_t previous = last.load();
  do {
    if (now <= previous) now = previous + 1;
  } while (!last.compare_exchange_weak(previous, now));
  return now;
}

namespace {

bool setHopLimit(int fd, Family family, int hops) {
  return family == Family::IPv4 ? ::setsockopt(fd, IPPROTO_IP, IP_TTL, &hops, sizeof hops) == 0
                                : ::setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &hops, sizeof hops) == 0;
}

// A socket ready for probing: on the way out asked for, non-blocking, its errors queued for reading.
platform::Status prepare(const Socket& socket, Family family, const platform::WayOut& way) {
  if (way.shaped()) {
    if (platform::Status taken = platform::applyWayOut(socket.fd(), family, way); !taken) return taken;
  }
  if (platform::Status set = platform::setNonBlocking(socket.fd()); !set) return set;
  return platform::enableErrorQueue(socket.fd(), family);
}
// The same for a socket just opened, or the error that kept it from opening.
platform::Status prepare(const platform::Result<Socket>& opened, Family family, const platform::WayOut& way) {
  if (!opened) return opened.error();
  return prepare(*opened, family, way);
}

struct Probe {
  ProbeIdentity identity;
  int fd = -1;
  Clock::time_point sentAt{};
  Packet request{};  // the request as sent, for the answer's identity
  bool settled = false;
  HopAnswer answer = HopAnswer::Silent;
  std::optional<Address> from;
  std::int64_t rttUs = 0;
  std::string said;
};

std::int64_t microsecondsSince(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - at).count();
}

// One type's probing. The base reads every socket's error queue and settles the probes the errors
// quote; each type adds how it sends and how it knows the server's answer.
class TypeProber {
 public:
  TypeProber(int typeIndex, const Address& server, const TraceRequest& request)
      : typeIndex_(typeIndex), server_(server), family_(server.family()), request_(request) {}
  virtual ~TypeProber() = default;

  // Opens what the type needs for the whole trace; false with the reason when it cannot run here.
  virtual bool open(std::string& code, std::string& reason) = 0;
  // Sends this hop's probes.
  void sendHop(int hop) {
    probes_.clear();
    for (int k = 0; k < request_.probesPerHop; ++k) sendProbe(hop);
  }
  void addWaits(std::vector<pollfd>& fds, std::vector<TypeProber*>& owners) {
    for (const int fd : descriptors()) {
      fds.push_back(pollfd{fd, static_cast<short>(waitsToWrite(fd) ? POLLOUT : POLLIN), 0});
      owners.push_back(this);
    }
  }
  void service(int fd, short events) {
    drainErrors(fd);
    serviceSocket(fd, events);
  }
  bool hopDone() const {
    return std::all_of(probes_.begin(), probes_.end(), [](const Probe& p) { return p.settled; });
  }
  // What the hop said: the server's answer before a refusal before a time exceeded.
  TraceHop foldHop(int hop) const;
  // The probes' own sockets (UDP and TCP) close with their hop.
  void endHop() { hopSockets_.clear(); }

 protected:
  virtual void sendProbe(int hop) = 0;
  virtual bool waitsToWrite(int) const { return false; }
  virtual void serviceSocket(int fd, short events) = 0;

  Probe& addProbe(int fd, ProbeIdentity identity) {
    Probe& p = probes_.emplace_back();
    p.fd = fd;
    p.identity = std::move(identity);
    p.sentAt = Clock::now();
    return p;
  }
  static void settle(Probe& p, HopAnswer answer, const Address& from, std::string said) {
    if (p.settled) return;
    p.settled = true;
    p.answer = answer;
    p.from = from.withPort(0);
    p.rttUs = microsecondsSince(p.sentAt);
    p.said = std::move(said);
  }
  void answered(Probe& p) { settle(p, HopAnswer::ServerAnswer, server_, ServerAnswerText); }
  // A send that failed here: the probe is given up at once, as a silent one.
  static void lost(Probe& p) { p.settled = true; }
  Probe* probeOn(int fd) {
    for (Probe& p : probes_) {
      if (p.fd == fd && !p.settled) return &p;
    }
    return nullptr;
  }
  // The datagrams waiting on `fd`, each offered to `take` with its sender.
  void receiveAll(int fd, const std::function<void(const std::uint8_t*, std::size_t, const Address&)>& take) {
    Packet buffer{};
    for (int i = 0; i < 64; ++i) {
      Address from;
      const auto got = platform::receiveFrom(fd, buffer.data(), buffer.size(), from, platform::Wait::Now);
      if (!got) {
        if (got.timedOut()) return;
        continue;  // an error already queued, or a datagram too big to be ours
      }
      take(buffer.data(), *got, from);
    }
  }

  const int typeIndex_;
  const Address server_;
  const Family family_;
  const TraceRequest& request_;
  std::vector<Probe> probes_;
  std::vector<Socket> hopSockets_;

 private:
  // The sockets that still wait for something: those of the probes not settled yet.
  std::vector<int> descriptors() const {
    std::vector<int> fds;
    for (const Probe& p : probes_) {
      if (!p.settled && p.fd >= 0 && std::find(fds.begin(), fds.end(), p.fd) == fds.end()) fds.push_back(p.fd);
    }
    return fds;
  }

  void drainErrors(int fd) {
    for (int i = 0; i < 64; ++i) {
      IcmpError error;
      const auto read = platform::readErrorQueue(fd, error);
      if (!read || *read == platform::ErrorRead::NothingLeft) return;
      if (*read != platform::ErrorRead::Error || error.local) continue;
      for (Probe& p : probes_) {
        if (p.settled || !quotesProbe(error, p.identity)) continue;
        const bool passedOn = error.kind == platform::IcmpErrorKind::TimeExceeded;
        settle(p, passedOn ? HopAnswer::TimeExceeded : HopAnswer::Refused, error.offender,
               platform::icmpErrorReason(error));
        break;
      }
    }
  }
};

TraceHop TypeProber::foldHop(int hop) const {
  TraceHop h;
  h.hop = hop;
  for (const HopAnswer kind : {HopAnswer::ServerAnswer, HopAnswer::Refused, HopAnswer::TimeExceeded}) {
    for (const Probe& p : probes_) {
      if (!p.settled || p.answer != kind) continue;
      if (h.answer == HopAnswer::Silent) {
        h.answer = kind;
        h.address = p.from;
        h.said = p.said;
        h.rttUs = p.rttUs;
      } else if (p.rttUs < *h.rttUs) {
        h.rttUs = p.rttUs;
      }
    }
    if (h.answer != HopAnswer::Silent) break;
  }
  return h;
}

void noRight(std::string& code, std::string& reason, int error, const std::string& what) {
  if (error == EPERM || error == EACCES) {
    code = "no-raw-right";
    reason = "нет права открывать raw-сокеты (CAP_NET_RAW)";
  } else {
    code = "no-socket";
    reason = format("%s не открывается, ошибка %i", what.c_str(), error);
  }
}

// UDP echo on port 87: a socket of its own per probe, so that its port names it.
class UdpEchoProber : public TypeProber {
 public:
  using TypeProber::TypeProber;
  bool open(std::string&, std::string&) override { return true; }

 protected:
  void sendProbe(int hop) override {
    auto opened = platform::openSocket(family_, SOCK_DGRAM, 0);
    const bool ready = prepare(opened, family_, request_.way) && setHopLimit(opened->fd(), family_, hop);
    // An invalid socket where none opened: the probe then stands as lost.
    Socket socket = std::move(opened).value_or({});
    const Address to = server_.withPort(EchoPort);
    const std::uint64_t sent = nextSendTime();
    Packet request{};
    buildEchoRequest(request.data(), sent);
    const bool left = ready && platform::sendTo(socket.fd(), request.data(), echoRequestLength(request_.size), to).ok();
    Probe& p = addProbe(socket.fd(), ProbeIdentity{UdpProtocol, platform::localPort(socket.fd()), to, sent, {}});
    p.request = request;
    if (!left) lost(p);
    hopSockets_.push_back(std::move(socket));
  }
  void serviceSocket(int fd, short) override {
    receiveAll(fd, [&](const std::uint8_t* data, std::size_t n, const Address& from) {
      Probe* p = probeOn(fd);
      if (p && platform::sameHost(from, server_) && isEchoAnswer(p->request.data(), data, n)) answered(*p);
    });
  }
};

// TCP on port 87: a connection attempt per probe; the server's host answers with SYN-ACK (reached)
// or RST (refused).
class TcpProber : public TypeProber {
 public:
  using TypeProber::TypeProber;
  bool open(std::string&, std::string&) override { return true; }

 protected:
  void sendProbe(int hop) override {
    auto opened = platform::openSocket(family_, SOCK_STREAM, 0);
    const Address to = server_.withPort(EchoPort);
    platform::Status connected = prepare(opened, family_, request_.way);
    if (connected && !setHopLimit(opened->fd(), family_, hop)) connected = platform::lastError("setsockopt");
    if (connected) connected = platform::connectTo(opened->fd(), to);
    Socket socket = std::move(opened).value_or({});
    Probe& p = addProbe(socket.fd(), ProbeIdentity{TcpProtocol, platform::localPort(socket.fd()), to, 0, {}});
    if (connected) {
      answered(p);
    } else if (connected.code() == ECONNREFUSED) {
      settle(p, HopAnswer::Refused, server_, ResetText);
    } else if (connected.code() != EINPROGRESS) {
      lost(p);
    }
    hopSockets_.push_back(std::move(socket));
  }
  bool waitsToWrite(int) const override { return true; }
  void serviceSocket(int fd, short events) override {
    Probe* p = probeOn(fd);
    if (!p) return;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0 && (events & POLLOUT)) {
      answered(*p);
    } else if (error == ECONNREFUSED) {
      settle(*p, HopAnswer::Refused, server_, ResetText);
    } else if (error != 0) {
      lost(*p);  // ended by an error whose message did not come (or was not ours)
    }
  }
};

// One socket for the whole trace, its hop limit set anew for each hop.
class SingleSocketProber : public TypeProber {
 public:
  using TypeProber::TypeProber;

 protected:
  bool setHops(int hop) { return setHopLimit(socket_.fd(), family_, hop); }
  Socket socket_;
};

// The terminal request to UDP 855, from this host's port 855 where the server answers. The first
// answer is confirmed, as in the exchange, so that the server's exchange ends at once.
class TerminalProber : public SingleSocketProber {
 public:
  using SingleSocketProber::SingleSocketProber;
  bool open(std::string& code, std::string& reason) override {
    auto opened = platform::openSocket(family_, SOCK_DGRAM, 0);
    platform::Status ready = platform::statusOf(opened);
    if (ready) {
      socket_ = std::move(*opened);
      ready = !request_.way.shaped() ? bindTerminalPort(socket_.fd(), family_)
                                     : platform::applyWayOut(socket_.fd(), family_, request_.way, TerminalPort);
    }
    if (ready) ready = prepare(socket_, family_, {});
    if (ready) return true;
    const int error = ready.code();
    if (error == EADDRINUSE) {
      code = "port-855-taken";
      reason = "порт 855 занят на этом хосте";
    } else if (error == EACCES || error == EPERM) {
      code = "no-port-855-right";
      reason = "нет права занять порт 855 (CAP_NET_BIND_SERVICE)";
    } else {
      code = "no-socket";
      reason = format("порт 855 не занимается, ошибка %i", error);
    }
    return false;
  }

 protected:
  void sendProbe(int hop) override {
    const Address to = server_.withPort(TerminalPort);
    const std::uint64_t sent = nextSendTime();
    Packet request{};
    buildTerminalRequest(request.data(), sent, request_.terminal);
    const bool left = setHops(hop) &&
                      platform::sendTo(socket_.fd(), request.data(), terminalRequestLength(request_.size), to).ok();
    Probe& p = addProbe(socket_.fd(), ProbeIdentity{UdpProtocol, TerminalPort, to, sent, {}});
    p.request = request;
    if (!left) lost(p);
  }
  void serviceSocket(int fd, short) override {
    receiveAll(fd, [&](const std::uint8_t* data, std::size_t n, const Address& from) {
      if (!platform::sameHost(from, server_)) return;
      for (Probe& p : probes_) {
        if (p.settled || !isTerminalAnswer(p.request.data(), data, n)) continue;
        answered(p);
        // The confirmation; one that fails only leaves the server's last answer unsent.
        (void)platform::sendTo(fd, data, n, from);
        return;
      }
    });
  }
};

// Raw IP of the type's protocol number, layout C; the probe is known by its send time.
class RawProber : public SingleSocketProber {
 public:
  RawProber(int typeIndex, const Address& server, const TraceRequest& request, std::uint8_t protocol)
      : SingleSocketProber(typeIndex, server, request), protocol_(protocol) {}
  bool open(std::string& code, std::string& reason) override {
    auto opened = platform::openSocket(family_, SOCK_RAW, protocol_);
    const platform::Status ready = prepare(opened, family_, request_.way);
    socket_ = std::move(opened).value_or({});
    if (ready) return true;
    noRight(code, reason, ready.code(), "raw-сокет");
    return false;
  }

 protected:
  void sendProbe(int hop) override {
    const std::uint64_t sent = nextSendTime();
    Packet request{};
    buildEchoRequest(request.data(), sent);
    const bool left = setHops(hop) &&
                      platform::sendTo(socket_.fd(), request.data(), rawRequestLength(request_.size), server_).ok();
    Probe& p = addProbe(socket_.fd(), ProbeIdentity{protocol_, 0, server_, sent, {}});
    p.request = request;
    if (!left) lost(p);
  }
  void serviceSocket(int fd, short) override {
    receiveAll(fd, [&](const std::uint8_t* data, std::size_t n, const Address& from) {
      if (!platform::sameHost(from, server_)) return;
      for (Probe& p : probes_) {
        const bool isAnswer = family_ == Family::IPv4 ? isRawAnswer(p.request.data(), data, n)
                                                       : isEchoAnswer(p.request.data(), data, n);
        if (!p.settled && isAnswer) answered(p);
      }
    });
  }

 private:
  const std::uint8_t protocol_;
};

// ICMP echo, raw where the right allows and through the datagram socket otherwise; the probe is
// known by its identifier and send time.
class IcmpProber : public TypeProber {
 public:
  using TypeProber::TypeProber;
  bool open(std::string& code, std::string& reason) override {
    auto echo = platform::openIcmpEchoSocket(family_);
    if (!echo) {
      const platform::Error& why = echo.error();
      code = why.code != EPERM && why.code != EACCES ? "no-socket" : "no-raw-right";
      reason = why.text;
      return false;
    }
    const platform::Status ready = prepare(echo->socket, family_, request_.way);
    if (ready) {
      echo_ = std::move(*echo);
      return true;
    }
    code = "no-socket";
    reason = format("сокет ICMP не настраивается, ошибка %i", ready.code());
    return false;
  }

 protected:
  void sendProbe(int hop) override {
    const std::uint16_t identifier = IcmpRequestCounter::process().take();
    const std::uint64_t sent = nextSendTime();
    Packet request{};
    if (family_ == Family::IPv6) {
      buildIcmpv6EchoRequest(request.data(), identifier, sent);
    } else {
      buildIcmpEchoRequest(request.data(), identifier, sent);
    }
    const int fd = echo_.socket.fd();
    const bool left = setHopLimit(fd, family_, hop) &&
                      platform::sendTo(fd, request.data(), layout_d::Length, server_).ok();
    // Through a datagram socket the request leaves with the socket's identifier.
    const std::optional<std::uint16_t> carried = platform::echoIdentifier(echo_);
    Probe& p = addProbe(fd, ProbeIdentity{family_ == Family::IPv4 ? IcmpProtocol : Icmpv6Protocol, 0,
                                                    server_, sent, carried.value_or(identifier)});
    p.request = request;
    if (!left) lost(p);
  }
  void serviceSocket(int fd, short) override {
    const std::uint8_t replyType = family_ == Family::IPv4 ? layout_d::EchoReply : layout_d6::EchoReply;
    receiveAll(fd, [&](const std::uint8_t* data, std::size_t n, const Address& from) {
      const std::size_t header = echo_.headerBytes();
      if (!platform::sameHost(from, server_) || n < header) return;
      for (Probe& p : probes_) {
        if (!p.settled && isEchoReplyMessage(p.request.data(), data + header, n - header, replyType,
                                             *p.identity.icmpIdentifier)) {
          answered(p);
        }
      }
    });
  }

 private:
  platform::IcmpEchoSocket echo_;
};

std::unique_ptr<TypeProber> proberFor(int index, const Address& server, const TraceRequest& request) {
  const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(index)];
  switch (chooseTest(static_cast<std::uint8_t>(type.number), index)) {
    case TestKind::EchoUdp: return std::make_unique<UdpEchoProber>(index, server, request);
    case TestKind::EchoTcp: return std::make_unique<TcpProber>(index, server, request);
    case TestKind::TerminalUdp: return std::make_unique<TerminalProber>(index, server, request);
    case TestKind::IcmpEcho: return std::make_unique<IcmpProber>(index, server, request);
    case TestKind::RawIp: break;
  }
  return std::make_unique<RawProber>(index, server, request, static_cast<std::uint8_t>(type.number));
}

// How a type's trace stands after `hop`: still going, or its end.
std::optional<TraceEnd> endAfter(const TypeTrace& trace, int hop, int maxHops) {
  const TraceHop& last = trace.hops.back();
  if (last.answer == HopAnswer::ServerAnswer) return TraceEnd::Reached;
  if (last.answer == HopAnswer::Refused) return TraceEnd::Refused;
  const TraceHop* answered = trace.lastAnswered();
  if (hop - (answered ? answered->hop : 0) >= SilentHopsToStop) return TraceEnd::Silence;
  if (hop >= maxHops) return TraceEnd::MaxHops;
  return std::nullopt;
}

}  // namespace

// ---- the trace ---------------------------------------------------------------------------------

TraceResult Tracer::run(const TraceRequest& request, const std::function<void(const std::string&)>& say,
                        const TraceProgress& progress) {
  TraceResult result;
  if (addressTooLong(request.address)) {
    result.failure = format("Адрес сервера длиннее %zu символов", MaxAddressLength);
    say(result.failure);
    return result;
  }
  const auto server = resolveServer(request.address, request.family, [&](const std::string& line) {
    if (result.failure.empty()) result.failure = line;
    say(line);
  });
  if (!server) return result;
  result.started = true;
  result.server = *server;

  std::vector<int> indices = request.types;
  if (indices.empty()) {
    for (int i = 0; i < static_cast<int>(ProtocolCatalogue().size()); ++i) indices.push_back(i);
  }
  say(format("Трассировка к %s: типов %zu, до %d узлов, проб на узел %d", server->text().c_str(), indices.size(),
             request.maxHops, request.probesPerHop));

  struct Running {
    std::unique_ptr<TypeProber> prober;
    std::size_t slot;  // in result.types
  };
  std::vector<Running> running;
  for (const int index : indices) {
    TypeTrace& trace = result.types.emplace_back();
    trace.typeIndex = index;
    auto prober = proberFor(index, *server, request);
    if (!prober->open(trace.notTracedCode, trace.notTraced)) {
      trace.end = TraceEnd::NotTraced;
      say(format("Тип %s не прослеживается: %s", ProtocolCatalogue()[static_cast<std::size_t>(index)].text,
                 trace.notTraced.c_str()));
      if (progress) progress(trace);
      continue;
    }
    running.push_back(Running{std::move(prober), result.types.size() - 1});
  }

  const auto pastDeadline = [&request] { return request.deadline && Clock::now() >= *request.deadline; };
  for (int hop = 1; hop <= request.maxHops && !running.empty() && !stop_.signalled() && !pastDeadline(); ++hop) {
    for (Running& r : running) r.prober->sendHop(hop);
    ++result.hopRounds;

    auto deadline = Clock::now() + std::chrono::milliseconds(request.waitMs);
    if (request.deadline) deadline = std::min(deadline, *request.deadline);
    for (;;) {
      const bool done = std::all_of(running.begin(), running.end(), [](const Running& r) { return r.prober->hopDone(); });
      long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (done || left <= 0 || stop_.signalled()) break;
      std::vector<pollfd> fds;
      std::vector<TypeProber*> owners;
      for (Running& r : running) r.prober->addWaits(fds, owners);
      // The stop wakes the wait at once; without a descriptor of its own it is looked at every 100 ms.
      if (stop_.fd() >= 0) {
        fds.push_back(pollfd{stop_.fd(), POLLIN, 0});
        owners.push_back(nullptr);
      } else {
        left = std::min<long long>(left, 100);
      }
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
      if (ready <= 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0 && owners[i]) owners[i]->service(fds[i].fd, fds[i].revents);
      }
    }

    for (auto r = running.begin(); r != running.end();) {
      TypeTrace& trace = result.types[r->slot];
      trace.hops.push_back(r->prober->foldHop(hop));
      r->prober->endHop();
      const auto end = endAfter(trace, hop, request.maxHops);
      if (!end) {
        ++r;
        continue;
      }
      trace.end = *end;
      if (progress) progress(trace);
      r = running.erase(r);
    }
  }
  for (Running& r : running) {  // stopped before their end
    result.types[r.slot].end = TraceEnd::Stopped;
    if (progress) progress(result.types[r.slot]);
  }
  return result;
}

}  // namespace connchk::client
