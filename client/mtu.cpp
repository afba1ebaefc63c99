// The MTU check: for each type a probe that sends one request of a given size with fragmentation
// forbidden and tells what became of it, driven by the bisection of mtu_search.h, every type on a
// thread of its own so that the check takes about as long as its slowest type.
//
// Datagram types (udp, the raw IP types, icmp) send through a socket connected to the server with
// IP_PMTUDISC_PROBE (IPv6: IPV6_PMTUDISC_PROBE and IPV6_DONTFRAG): DF is set on every packet and
// the system neither fragments it nor holds it back for a path MTU it has learned, so every size
// really goes out. What the path says comes through the socket's error queue: "fragmentation
// needed" / "packet too big" with the hop's MTU and address, or this host's own refusal of a
// packet larger than its link. TCP cannot be kept from its own path MTU discovery; there each size
// is an MSS asked for on a new connection (TCP_MAXSEG, DF always set), one full segment is echoed,
// and the segment that carried it (what TCP's discovery made of the size) is what the row reports.
#include "client/mtu.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "client/answer_identity.h"
#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/run_parameters.h"
#include "client/sweep.h"
#include "client/test_skeleton.h"
#include "client/tests.h"
#include "client/trace.h"
#include "common/platform/icmp_errors.h"
#include "common/platform/icmp_socket.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

using platform::Family;
using Clock = std::chrono::steady_clock;

constexpr int StopSliceMs = 100;   // how often a wait looks at Stop where the event has no descriptor
constexpr int TcpMinSegment = 88;  // the smallest MSS the system lets a socket ask for
constexpr const char* LocalReporter = "local";
constexpr std::uint8_t UdpProtocol = 17;

std::uint32_t ipHeaderBytes(Family family) { return family == Family::IPv4 ? 20 : 40; }
int levelOf(Family family) { return family == Family::IPv4 ? IPPROTO_IP : IPPROTO_IPV6; }

// DF on every packet, no fragmenting here whatever path MTU the system has learned.
platform::Status forbidFragments(int fd, Family family) {
  if (family == Family::IPv4) {
    const int probe = IP_PMTUDISC_PROBE;
    if (setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &probe, sizeof probe) != 0) return platform::lastError("setsockopt");
    return {};
  }
  const int probe = IPV6_PMTUDISC_PROBE, on = 1;
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &probe, sizeof probe) != 0 ||
      setsockopt(fd, IPPROTO_IPV6, IPV6_DONTFRAG, &on, sizeof on) != 0) {
    return platform::lastError("setsockopt");
  }
  return {};
}

// The path MTU the system holds for a connected socket's peer.
std::optional<int> kernelPathMtu(int fd, Family family) {
  int mtu = 0;
  socklen_t length = sizeof mtu;
  const int option = family == Family::IPv4 ? IP_MTU : IPV6_MTU;
  if (getsockopt(fd, levelOf(family), option, &mtu, &length) != 0 || mtu <= 0) return std::nullopt;
  return mtu;
}

struct ProbeSetting {
  platform::Address server;
  int timeoutMs = MtuDefaultTimeoutMs;
  platform::WayOut way;
  std::uint32_t terminal = 1;
  const platform::StopEvent* stop = nullptr;
  bool stopRequested() const { return stop->signalled(); }
};

// Waits for `events` on `fd` until the deadline, or until Stop is asked for.
enum class Waited { Ready, TimedOut, Stopped };
Waited waitFor(int fd, short events, Clock::time_point deadline, const ProbeSetting& setting) {
  for (;;) {
    if (setting.stopRequested()) return Waited::Stopped;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Waited::TimedOut;
    // The stop event's descriptor wakes the wait the moment Stop is asked for.
    pollfd wait[2] = {{fd, events, 0}, {setting.stop->fd(), POLLIN, 0}};
    const bool sliced = wait[1].fd < 0;
    if (poll(wait, 2, static_cast<int>(sliced ? std::min<long long>(left, StopSliceMs) : left)) > 0 &&
        wait[0].revents != 0) {
      return Waited::Ready;
    }
  }
}

// What the path said about this very request through the socket's error queue (errors about earlier
// requests are read and passed over): "too big", with the MTU named and by whom (empty: this host),
// or unreachable, which ends the try as lost at once rather than after the whole wait.
std::optional<MtuTry> tooBigWord(int fd, const ProbeIdentity& identity) {
  std::optional<MtuTry> found;
  for (int i = 0; i < 64; ++i) {
    platform::IcmpError error;
    const auto read = platform::readErrorQueue(fd, error);
    if (!read || *read == platform::ErrorRead::NothingLeft) break;
    if (*read != platform::ErrorRead::Error) continue;
    if (error.kind != platform::IcmpErrorKind::PacketTooBig) {
      if (!found && error.kind == platform::IcmpErrorKind::Unreachable && quotesProbe(error, identity)) {
        found = MtuTry::lost();
      }
      continue;
    }
    if (error.local) {
      found = MtuTry::tooBig(static_cast<int>(error.mtu.value_or(0)), {});
    } else if (quotesProbe(error, identity)) {
      found = MtuTry::tooBig(static_cast<int>(error.mtu.value_or(0)), error.offender.text());
    }
  }
  return found;
}

// Forgets what earlier tries left behind: queued errors, a pending socket error, late answers.
void drain(int fd, std::vector<std::uint8_t>& scrap) {
  tooBigWord(fd, ProbeIdentity{});
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  for (int left = 256; left > 0; --left) {
    if (platform::receive(fd, scrap.data(), scrap.size(), platform::Wait::Now).timedOut()) break;
  }
}

// One type's way of sending a request of a given size and knowing its answer.
class Probe {
 public:
  virtual ~Probe() = default;
  // What the network adds to a request: the IP header and the transport's own.
  virtual std::uint32_t overhead() const = 0;
  virtual MtuTry tryOnce(std::uint32_t size) = 0;
  virtual std::optional<int> pathMtuNow() const = 0;
  virtual std::optional<std::uint32_t> carried(std::uint32_t) const { return std::nullopt; }
  int sent = 0;
};

// udp, raw IP types and icmp: one connected datagram socket with fragmentation forbidden.
class DatagramProbe : public Probe {
 public:
  enum class Kind { UdpEcho, RawIp, IcmpEcho };

  DatagramProbe(Kind kind, std::uint8_t protocol, platform::Socket socket,
                std::optional<platform::IcmpEchoSocket> echo, const ProbeSetting& setting)
      : kind_(kind), protocol_(protocol), socket_(std::move(socket)), echo_(std::move(echo)), setting_(setting),
        family_(setting.server.family()), received_(MtuMaxSize + 1024) {}

  int fd() const { return echo_ ? echo_->socket.fd() : socket_.fd(); }

  std::uint32_t overhead() const override { return ipHeaderBytes(family_) + (kind_ == Kind::UdpEcho ? 8 : 0); }
  std::optional<int> pathMtuNow() const override { return kernelPathMtu(fd(), family_); }

  MtuTry tryOnce(std::uint32_t size) override {
    drain(fd(), received_);
    std::vector<std::uint8_t> request(requestLength(size), 0);
    ProbeIdentity identity{protocol_, 0, setting_.server, nextSendTime(), {}};
    if (kind_ == Kind::UdpEcho) {
      identity.destination = setting_.server.withPort(EchoPort);
      identity.sourcePort = platform::localPort(fd());
      buildEchoRequest(request.data(), identity.sendTime);
    } else if (kind_ == Kind::RawIp) {
      buildEchoRequest(request.data(), identity.sendTime);
    } else {
      const std::uint16_t identifier = IcmpRequestCounter::process().take();
      if (family_ == Family::IPv6) {
        buildIcmpv6EchoRequest(request.data(), identifier, identity.sendTime);
      } else {
        buildIcmpEchoRequest(request.data(), identifier, identity.sendTime, request.size());
      }
      identity.icmpIdentifier = identifier;
    }
    const auto result = platform::sendBytes(fd(), request.data(), request.size(), platform::Wait::Now);
    ++sent;
    if (!result) {
      // Larger than this host's own link (or the path MTU it holds, where it insists): said at once.
      if (result.code() != EMSGSIZE) return MtuTry::lost();
      if (auto word = tooBigWord(fd(), identity)) return *word;
      return MtuTry::tooBig(pathMtuNow().value_or(0), {});
    }
    // Through an ICMP datagram socket the request leaves with the socket's identifier.
    if (echo_) identity.icmpIdentifier = platform::echoIdentifier(*echo_).value_or(*identity.icmpIdentifier);
    const auto deadline = Clock::now() + std::chrono::milliseconds(setting_.timeoutMs);
    for (;;) {
      const Waited waited = waitFor(fd(), POLLIN, deadline, setting_);
      if (waited == Waited::Stopped) return MtuTry::stopped();
      if (waited == Waited::TimedOut) return MtuTry::lost();
      if (auto word = tooBigWord(fd(), identity)) return *word;
      const auto got = platform::receive(fd(), received_.data(), received_.size(), platform::Wait::Now);
      if (got.value_or(0) > 0 && isAnswer(request, *got, identity.icmpIdentifier.value_or(0))) {
        return MtuTry::answered();
      }
    }
  }

 private:
  std::uint32_t requestLength(std::uint32_t size) const {
    switch (kind_) {
      case Kind::UdpEcho: return echoRequestLength(size);
      case Kind::RawIp: return rawRequestLength(size);
      case Kind::IcmpEcho: return icmpRequestLength(size);
    }
    return size;
  }

  bool isAnswer(const std::vector<std::uint8_t>& request, std::size_t n, std::uint16_t identifier) const {
    const std::uint8_t* got = received_.data();
    switch (kind_) {
      case Kind::UdpEcho: return isEchoAnswer(request.data(), got, n);
      case Kind::RawIp:
        return family_ == Family::IPv4 ? isRawAnswer(request.data(), got, n) : isEchoAnswer(request.data(), got, n);
      case Kind::IcmpEcho: {
        const std::size_t header = echo_->headerBytes();
        const std::uint8_t reply = family_ == Family::IPv6 ? layout_d6::EchoReply : layout_d::EchoReply;
        return n >= header && isEchoReplyMessage(request.data(), got + header, n - header, reply, identifier);
      }
    }
    return false;
  }

  Kind kind_;
  std::uint8_t protocol_;
  platform::Socket socket_;
  std::optional<platform::IcmpEchoSocket> echo_;
  ProbeSetting setting_;
  Family family_;
  std::vector<std::uint8_t> received_;
};

// TELM-UDP: the terminal request (layout B, 8 bytes longer than the size) from this host's port 855
// to the server's; its first answer comes from the exchange's port and is confirmed, as the
// exchange does, so that the server's exchange ends at once.
class TerminalProbe : public Probe {
 public:
  TerminalProbe(platform::Socket socket, std::uint32_t terminal, const ProbeSetting& setting)
      : socket_(std::move(socket)), terminal_(terminal), setting_(setting), family_(setting.server.family()),
        received_(MtuMaxSize + 1024) {}

  // The layout's 8 bytes beyond the size count with the headers.
  std::uint32_t overhead() const override { return ipHeaderBytes(family_) + 8 + 8; }
  std::optional<int> pathMtuNow() const override { return std::nullopt; }

  MtuTry tryOnce(std::uint32_t size) override {
    const int fd = socket_.fd();
    drain(fd, received_);
    std::vector<std::uint8_t> request(terminalRequestLength(size), 0);
    const platform::Address to = setting_.server.withPort(TerminalPort);
    const ProbeIdentity identity{UdpProtocol, TerminalPort, to, nextSendTime(), {}};
    buildTerminalRequest(request.data(), identity.sendTime, terminal_);
    const auto result = platform::sendTo(fd, request.data(), request.size(), to, platform::Wait::Now);
    ++sent;
    if (!result) {
      if (result.code() != EMSGSIZE) return MtuTry::lost();
      if (auto word = tooBigWord(fd, identity)) return *word;
      return MtuTry::tooBig(0, {});
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(setting_.timeoutMs);
    for (;;) {
      const Waited waited = waitFor(fd, POLLIN, deadline, setting_);
      if (waited == Waited::Stopped) return MtuTry::stopped();
      if (waited == Waited::TimedOut) return MtuTry::lost();
      if (auto word = tooBigWord(fd, identity)) return *word;
      platform::Address from;
      const auto got = platform::receiveFrom(fd, received_.data(), received_.size(), from, platform::Wait::Now);
      if (!got || !platform::sameHost(from, setting_.server)) continue;
      const auto n = *got;
      if (!isTerminalAnswer(request.data(), received_.data(), n)) continue;
      // The confirmation; one that fails only leaves the server's last answer unsent.
      (void)platform::sendTo(fd, received_.data(), n, from, platform::Wait::Now);
      return MtuTry::answered();
    }
  }

 private:
  platform::Socket socket_;
  std::uint32_t terminal_;
  ProbeSetting setting_;
  Family family_;
  std::vector<std::uint8_t> received_;
};

// TCP: each size is the MSS asked for on a new connection; one request of that many bytes goes out
// and must come back whole. The segment that carried it is the one TCP settled on (its MSS
// afterwards), the packet it makes that segment with TCP's options and the headers.
class TcpProbe : public Probe {
 public:
  explicit TcpProbe(const ProbeSetting& setting) : setting_(setting), family_(setting.server.family()) {}

  std::uint32_t overhead() const override { return ipHeaderBytes(family_) + 20; }
  std::optional<int> pathMtuNow() const override { return lastPathMtu_; }
  // The packet a segment asked for made: what TCP carried of it, its options and the headers.
  std::optional<std::uint32_t> carried(std::uint32_t size) const override {
    const auto found = carried_.find(size);
    if (found == carried_.end()) return std::nullopt;
    return found->second;
  }
  std::uint32_t optionBytes() const { return optionBytes_; }

  MtuTry tryOnce(std::uint32_t size) override {
    auto opened = platform::openSocket(family_, SOCK_STREAM, 0);
    if (!opened) return MtuTry::lost();
    const platform::Socket socket = std::move(*opened);
    const int fd = socket.fd();
    const int segment = std::max(static_cast<int>(size), TcpMinSegment);
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    const int discover = family_ == Family::IPv4 ? IP_PMTUDISC_DO : IPV6_PMTUDISC_DO;
    setsockopt(fd, levelOf(family_), family_ == Family::IPv4 ? IP_MTU_DISCOVER : IPV6_MTU_DISCOVER, &discover,
               sizeof discover);
    if (setting_.way.shaped() && !platform::applyWayOut(fd, family_, setting_.way)) return MtuTry::lost();
    // Cannot fail on a socket just opened; a blocking connect would only wait longer.
    (void)platform::setNonBlocking(fd);
    const auto deadline = Clock::now() + std::chrono::milliseconds(setting_.timeoutMs);
    if (const platform::Status connecting = platform::connectTo(fd, setting_.server.withPort(EchoPort));
        !connecting && connecting.code() != EINPROGRESS) {
      return MtuTry::lost();
    }
    if (const Waited w = waitFor(fd, POLLOUT, deadline, setting_); w != Waited::Ready) return outcomeOf(w);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return MtuTry::lost();

    std::vector<std::uint8_t> request(echoRequestLength(static_cast<std::uint32_t>(segment)), 0);
    buildEchoRequest(request.data(), nextSendTime());
    ++sent;
    std::size_t written = 0, got = 0;
    std::vector<std::uint8_t> answer(request.size());
    MtuTry outcome = MtuTry::lost();
    while (got < answer.size()) {
      const short want = static_cast<short>(POLLIN | (written < request.size() ? POLLOUT : 0));
      if (const Waited w = waitFor(fd, want, deadline, setting_); w != Waited::Ready) {
        outcome = outcomeOf(w);
        break;
      }
      if (written < request.size()) {
        const auto w = platform::sendBytes(fd, request.data() + written, request.size() - written, platform::Wait::Now);
        if (w) written += *w;
      }
      const auto r = platform::receive(fd, answer.data() + got, answer.size() - got, platform::Wait::Now);
      if ((r && *r == 0) || (!r && !r.timedOut())) break;
      if (r) got += *r;
      if (got == answer.size() && isEchoAnswer(request.data(), answer.data(), got)) outcome = MtuTry::answered();
    }
    // What TCP made of the size: the segment it sends now, its options, and the path MTU it holds.
    int mss = 0;
    length = sizeof mss;
    if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &length) == 0 && mss > 0) {
      carried_[size] = std::min(static_cast<std::uint32_t>(mss), static_cast<std::uint32_t>(segment));
    }
    tcp_info info{};
    length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0) {
      optionBytes_ = (info.tcpi_options & TCPI_OPT_TIMESTAMPS) ? 12 : 0;
    }
    if (auto mtu = kernelPathMtu(fd, family_)) lastPathMtu_ = mtu;
    return outcome;
  }

 private:
  MtuTry outcomeOf(Waited waited) const { return waited == Waited::Stopped ? MtuTry::stopped() : MtuTry::lost(); }

  ProbeSetting setting_;
  Family family_;
  std::map<std::uint32_t, std::uint32_t> carried_;
  std::uint32_t optionBytes_ = 0;
  std::optional<int> lastPathMtu_;
};

MtuRow notRunRow(int typeIndex, std::string reason) {
  MtuRow row;
  row.typeIndex = typeIndex;
  row.verdict = MtuVerdict::NotRun;
  row.reason = std::move(reason);
  return row;
}

// The probe for a type, or the reason it has none here.
std::unique_ptr<Probe> makeProbe(int typeIndex, const ProbeSetting& setting, std::string& why) {
  const Family family = setting.server.family();
  const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(typeIndex)];
  if (auto blocked = notRunnable(typeIndex, family, setting.way)) {
    why = blocked->reason;
    return nullptr;
  }
  if (typeIndex == TcpEchoIndex) return std::make_unique<TcpProbe>(setting);
  if (typeIndex == TerminalUdpIndex) {
    // Port 855 of this host, on the way out asked for (an interface, or an address of its own).
    auto socket = platform::openSocket(family, SOCK_DGRAM, 0);
    platform::Status ready = platform::statusOf(socket);
    if (ready) {
      ready = setting.way.shaped() ? platform::applyWayOut(socket->fd(), family, setting.way, TerminalPort)
                                   : bindTerminalPort(socket->fd(), family);
    }
    if (ready) ready = forbidFragments(socket->fd(), family);
    if (ready) ready = platform::enableErrorQueue(socket->fd(), family);
    if (!ready) {
      why = format("порт 855 не готов, ошибка %i", ready.code());
      return nullptr;
    }
    return std::make_unique<TerminalProbe>(std::move(*socket), setting.terminal, setting);
  }
  platform::Socket socket;
  std::optional<platform::IcmpEchoSocket> echo;
  DatagramProbe::Kind kind = DatagramProbe::Kind::RawIp;
  std::uint8_t protocol = static_cast<std::uint8_t>(type.number);
  if (typeIndex == IcmpIndex) {
    kind = DatagramProbe::Kind::IcmpEcho;
    protocol = family == Family::IPv4 ? IcmpProtocol : Icmpv6Protocol;
    auto opened = platform::openIcmpEchoSocket(family);
    if (!opened) {
      why = opened.error().text;
      return nullptr;
    }
    echo = std::move(*opened);
  } else {
    if (typeIndex == UdpEchoIndex) {
      kind = DatagramProbe::Kind::UdpEcho;
      protocol = UdpProtocol;
    }
    auto opened = typeIndex == UdpEchoIndex ? platform::openSocket(family, SOCK_DGRAM, 0)
                                            : platform::openSocket(family, SOCK_RAW, static_cast<int>(type.number));
    if (!opened) {
      why = format("сокет не готов, ошибка %i", opened.code());
      return nullptr;
    }
    socket = std::move(*opened);
  }
  const int fd = echo ? echo->socket.fd() : socket.fd();
  const std::uint16_t port = kind == DatagramProbe::Kind::UdpEcho ? EchoPort : 0;
  if (setting.way.shaped()) {
    if (const platform::Status taken = platform::applyWayOut(fd, family, setting.way); !taken) {
      why = format("сокет не настраивается: %s", taken.error().text.c_str());
      return nullptr;
    }
  }
  platform::Status ready = forbidFragments(fd, family);
  if (ready) ready = platform::enableErrorQueue(fd, family);
  if (ready) ready = platform::connectTo(fd, setting.server.withPort(port));
  if (!ready) {
    why = format("сокет не готов, ошибка %i", ready.code());
    return nullptr;
  }
  return std::make_unique<DatagramProbe>(kind, protocol, std::move(socket), std::move(echo), setting);
}

MtuSearchLimits limitsFor(int typeIndex, const Probe& probe, std::uint32_t largestSize) {
  MtuSearchLimits limits;
  limits.largest = std::clamp(largestSize, limits.smallest, MtuMaxSize);
  if (typeIndex == TcpEchoIndex) {
    // Segments: the top is the one that makes a packet of the largest size.
    limits.smallest = TcpMinSegment;
    limits.largest = std::max<std::uint32_t>(limits.largest - std::min(limits.largest, probe.overhead()), TcpMinSegment);
  }
  return limits;
}

MtuRow measure(int typeIndex, Probe& probe, const MtuSearchLimits& limits, const std::string& peer) {
  const MtuSearchResult found =
      searchLargestRequest(limits, probe.overhead(), [&](std::uint32_t size) { return probe.tryOnce(size); });
  MtuFigures figures;
  figures.overhead = probe.overhead();
  figures.kernelPathMtu = probe.pathMtuNow();
  if (const auto* tcp = dynamic_cast<const TcpProbe*>(&probe)) {
    figures.optionBytes = tcp->optionBytes();
    figures.overhead += figures.optionBytes;
    figures.peer = peer;
    if (found.largest) figures.carried = tcp->carried(*found.largest);
  }
  MtuRow row = judgeMtu(typeIndex, found, figures);
  row.tries = probe.sent;
  return row;
}

std::string verdictText(const MtuRow& row) {
  switch (row.verdict) {
    case MtuVerdict::Honest: return "путь сообщает MTU";
    case MtuVerdict::BlackHole: return "чёрная дыра MTU";
    case MtuVerdict::NoLimit: return "без ограничения";
    case MtuVerdict::NoAnswer: return "нет ответа";
    case MtuVerdict::NotRun: return "не измерен: " + row.reason;
  }
  return {};
}

std::string reportedText(const MtuRow& row) {
  if (!row.reportedMtu) return "-";
  if (row.reportedBy.empty()) return format("%d", *row.reportedMtu);
  if (row.reportedBy == LocalReporter) return format("%d (этот узел)", *row.reportedMtu);
  return format("%d (%s)", *row.reportedMtu, row.reportedBy.c_str());
}

template <typename T>
std::string numberOrDash(const std::optional<T>& value) {
  return value ? std::to_string(*value) : std::string("-");
}

}  // namespace

const char* mtuVerdictName(MtuVerdict verdict) {
  switch (verdict) {
    case MtuVerdict::Honest: return "honest";
    case MtuVerdict::BlackHole: return "black-hole";
    case MtuVerdict::NoLimit: return "no-limit";
    case MtuVerdict::NoAnswer: return "no-answer";
    case MtuVerdict::NotRun: return "not-run";
  }
  return "?";
}

MtuRow judgeMtu(int typeIndex, const MtuSearchResult& found, const MtuFigures& figures) {
  MtuRow row;
  row.typeIndex = typeIndex;
  row.kernelPathMtu = figures.kernelPathMtu;
  if (found.reportedMtu > 0) {
    row.reportedMtu = found.reportedMtu;
    row.reportedBy = found.reportedBy;
  } else if (found.localMtu > 0 && found.smallestRefused && !found.refusedInSilence) {
    // No hop spoke, but this host's own link is what bounds the search.
    row.reportedMtu = found.localMtu;
    row.reportedBy = LocalReporter;
  }
  if (!found.largest) {
    row.verdict = found.stopped ? MtuVerdict::NotRun : MtuVerdict::NoAnswer;
    if (found.stopped) row.reason = "проверка остановлена";
    return row;
  }
  row.largest = figures.carried ? std::min(*figures.carried, *found.largest) : *found.largest;
  row.pathMtu = static_cast<int>(*row.largest + figures.overhead);
  if (found.stopped) {
    // What was found so far is shown, but judges nothing: the limit may lie anywhere above it.
    row.verdict = MtuVerdict::NotRun;
    row.reason = "проверка остановлена";
    return row;
  }
  if (!found.smallestRefused) {
    row.verdict = MtuVerdict::NoLimit;
  } else {
    row.verdict = found.refusedInSilence ? MtuVerdict::BlackHole : MtuVerdict::Honest;
  }
  // TCP hears no word itself, but a segment smaller than the one asked for was cut down by someone:
  // by its own path MTU discovery, when its packet is the path MTU the system learned from a hop, and
  // otherwise by the MSS the server announced (its own link is the small one).
  if (figures.carried && *figures.carried + figures.optionBytes < *found.largest) {
    if (figures.kernelPathMtu == row.pathMtu) {
      row.reportedMtu = figures.kernelPathMtu;
    } else {
      row.reportedMtu = row.pathMtu;
      row.reportedBy = figures.peer;
    }
    if (row.verdict == MtuVerdict::NoLimit) row.verdict = MtuVerdict::Honest;
  }
  return row;
}

int MtuResult::exitStatus() const {
  if (!started) return 2;
  bool measured = false;
  for (const MtuRow& row : rows) {
    if (row.verdict == MtuVerdict::BlackHole || row.verdict == MtuVerdict::NoAnswer) return 1;
    measured = measured || row.verdict != MtuVerdict::NotRun;
  }
  return measured ? 0 : 2;
}

MtuResult MtuCheck::run(const MtuPlan& plan, const MtuProgress& progress) {
  MtuResult result;
  if (addressTooLong(plan.address)) {
    result.failure = format("Адрес сервера длиннее %zu символов", MaxAddressLength);
    log_.log(result.failure);
    return result;
  }
  const auto server = resolveServer(
      plan.address, plan.family,
      [&](const std::string& line) {
        if (result.failure.empty()) result.failure = line;
        log_.log(line);
      },
      [this] { return stop_.signalled(); });
  if (!server) return result;
  result.started = true;

  std::vector<int> types = plan.types;
  if (types.empty()) {
    for (int i = 0; i < static_cast<int>(ProtocolCatalogue().size()); ++i) types.push_back(i);
  }
  const ProbeSetting setting{*server, plan.timeoutMs, plan.way, plan.terminal, &stop_};
  log_.log(format("Поиск наибольшего запроса к %s: от %u до %u байт, фрагментация запрещена",
                  server->text().c_str(), MinPacketSize, std::clamp(plan.largestSize, MinPacketSize, MtuMaxSize)));
  result.rows.resize(types.size());
  std::mutex reporting;
  const auto finish = [&](std::size_t slot, MtuRow row) {
    const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(row.typeIndex)];
    std::lock_guard<std::mutex> hold(reporting);
    if (row.verdict == MtuVerdict::NotRun) {
      log_.log(format("MTU, тип %s не измерен: %s", type.text, row.reason.c_str()));
    } else {
      log_.log(format("MTU, тип %s: наибольший запрос %s байт, пакет %s байт, сообщено %s; %s", type.text,
                      numberOrDash(row.largest).c_str(), numberOrDash(row.pathMtu).c_str(),
                      reportedText(row).c_str(), verdictText(row).c_str()));
    }
    if (progress) progress(row);
    result.rows[slot] = std::move(row);
  };
  // Each type on a thread of its own: the check takes as long as its slowest type, not their sum.
  std::vector<std::thread> measuring;
  for (std::size_t slot = 0; slot < types.size(); ++slot) {
    const int index = types[slot];
    std::string why;
    auto probe = makeProbe(index, setting, why);
    if (!probe) {
      finish(slot, notRunRow(index, why));
      continue;
    }
    measuring.emplace_back([&, slot, index, probe = std::move(probe)] {
      finish(slot, measure(index, *probe, limitsFor(index, *probe, plan.largestSize), server->text()));
    });
  }
  for (std::thread& thread : measuring) thread.join();
  for (const std::string& line : mtuTableLines(result.rows)) log_.log(line);
  return result;
}

std::vector<std::string> mtuTableLines(const std::vector<MtuRow>& rows) {
  const auto catalogue = ProtocolCatalogue();
  const std::vector<std::string> header = {"Тип протокола", "Запрос", "MTU пути", "Сообщено"};
  std::vector<std::vector<std::string>> cells;
  for (const MtuRow& row : rows) {
    cells.push_back({catalogue[static_cast<std::size_t>(row.typeIndex)].text, numberOrDash(row.largest),
                     numberOrDash(row.pathMtu), reportedText(row)});
  }
  std::vector<std::vector<std::string>> table{header};
  table.front().push_back("Итог");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    table.push_back(cells[i]);
    table.back().push_back(verdictText(rows[i]));
  }
  std::vector<std::string> lines{"Наибольший запрос по типам протоколов (байт):"};
  for (std::string& line : alignedRows(table)) lines.push_back(std::move(line));
  return lines;
}

std::string mtuVerdictText(const MtuRow& row) { return verdictText(row); }

std::string mtuCellText(const MtuRow& row) {
  if (!row.pathMtu) return "-";
  return row.verdict == MtuVerdict::BlackHole ? format("%d ЧД", *row.pathMtu) : std::to_string(*row.pathMtu);
}

nlohmann::ordered_json mtuFindingJson(const MtuRow& row) {
  using json = nlohmann::ordered_json;
  if (row.verdict == MtuVerdict::NotRun) return nullptr;
  const auto orNull = [](const auto& value) { return value ? json(*value) : json(nullptr); };
  return {{"largest", row.largest.value_or(0)},
          {"path_mtu", orNull(row.pathMtu)},
          {"reported_mtu", orNull(row.reportedMtu)},
          {"reported_by", row.reportedBy.empty() ? json(nullptr) : json(row.reportedBy)},
          {"black_hole", row.verdict == MtuVerdict::BlackHole}};
}

nlohmann::ordered_json mtuJson(const MtuPlan& plan, const MtuResult& result) {
  using json = nlohmann::ordered_json;
  const auto catalogue = ProtocolCatalogue();
  json types = json::array();
  for (const MtuRow& row : result.rows) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row.typeIndex)];
    types.push_back({{"type", type.text},
                     {"short_name", type.shortName},
                     {"protocol", type.number},
                     {"mtu", mtuFindingJson(row)},
                     {"verdict", mtuVerdictName(row.verdict)},
                     {"reason", row.reason.empty() ? json(nullptr) : json(row.reason)},
                     {"kernel_path_mtu", row.kernelPathMtu ? json(*row.kernelPathMtu) : json(nullptr)},
                     {"tries", row.tries}});
  }
  return {{"kind", "mtu"},
          {"parameters",
           {{"address", plan.address},
            {"largest_size", std::clamp(plan.largestSize, MinPacketSize, MtuMaxSize)},
            {"timeout_ms", plan.timeoutMs}}},
          {"started", result.started},
          {"failure", result.failure.empty() ? json(nullptr) : json(result.failure)},
          {"types", types},
          {"exit_status", result.exitStatus()}};
}

}  // namespace connchk::client
