// The MTU check: for each type a probe that sends one request of a given size with fragmentation
// forbidden and tells what became of it, driven by the bisection of mtu_search.h.
//
// Datagram types (udp, the raw IP types, icmp) send through a socket connected to the server with
// IP_PMTUDISC_PROBE (IPv6: IPV6_PMTUDISC_PROBE and IPV6_DONTFRAG): DF is set on every packet and
// the system neither fragments it nor holds it back for a path MTU it has learned, so every size
// really goes out. What the path says comes through IP_RECVERR: "fragmentation needed" / "packet
// too big" with the hop's MTU and address, or this host's own refusal of a packet larger than its
// link. TCP cannot be kept from its own path MTU discovery; there each size is an MSS asked for on
// a new connection (TCP_MAXSEG, DF always set), one full segment is echoed, and the segment that
// carried it (what TCP's discovery made of the size) is what the row reports.
#include "client/mtu.h"

#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/answer_identity.h"
#include "client/mtu_search.h"
#include "client/protocol_catalogue.h"
#include "client/report.h"
#include "client/sweep.h"
#include "client/test_skeleton.h"
#include "client/tests.h"
#include "common/platform/icmp_socket.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

using platform::Family;
using Clock = std::chrono::steady_clock;

constexpr int StopSliceMs = 50;  // how often a wait looks at Stop
constexpr int TcpMinSegment = 88;  // the smallest MSS the system lets a socket ask for
constexpr const char* LocalReporter = "local";

int ipHeaderBytes(Family family) { return family == Family::IPv4 ? 20 : 40; }
int levelOf(Family family) { return family == Family::IPv4 ? IPPROTO_IP : IPPROTO_IPV6; }

// DF on every packet, no fragmenting here, and the path's errors on the error queue.
bool forbidFragments(int fd, Family family) {
  const int on = 1;
  if (family == Family::IPv4) {
    const int probe = IP_PMTUDISC_PROBE;
    return setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &probe, sizeof probe) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
  }
  const int probe = IPV6_PMTUDISC_PROBE;
  return setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &probe, sizeof probe) == 0 &&
         setsockopt(fd, IPPROTO_IPV6, IPV6_DONTFRAG, &on, sizeof on) == 0 &&
         setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) == 0;
}

// The path MTU the system holds for a connected socket's peer.
std::optional<int> kernelPathMtu(int fd, Family family) {
  int mtu = 0;
  socklen_t length = sizeof mtu;
  const int option = family == Family::IPv4 ? IP_MTU : IPV6_MTU;
  if (getsockopt(fd, levelOf(family), option, &mtu, &length) != 0 || mtu <= 0) return std::nullopt;
  return mtu;
}

// "Too big" from the error queue: the MTU named and by whom (LocalReporter for this host). Other
// errors (unreachable and the like) are read and passed over.
std::optional<MtuTry> readTooBig(int fd) {
  std::optional<MtuTry> found;
  for (;;) {
    std::uint8_t data[512];
    alignas(cmsghdr) std::uint8_t control[512];
    iovec part{data, sizeof data};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      const bool error = (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
                         (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR);
      if (!error || c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) continue;
      const auto* ee = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
      const bool fragNeeded = ee->ee_origin == SO_EE_ORIGIN_ICMP && ee->ee_type == ICMP_DEST_UNREACH &&
                              ee->ee_code == ICMP_FRAG_NEEDED;
      const bool tooBig6 = ee->ee_origin == SO_EE_ORIGIN_ICMP6 && ee->ee_type == ICMP6_PACKET_TOO_BIG;
      const bool local = ee->ee_origin == SO_EE_ORIGIN_LOCAL && ee->ee_errno == EMSGSIZE;
      if (!fragNeeded && !tooBig6 && !local) continue;
      MtuTry word = MtuTry::tooBig(static_cast<int>(ee->ee_info), LocalReporter);
      if (!local) {
        const std::size_t room = c->cmsg_len - CMSG_LEN(sizeof(sock_extended_err));
        const sockaddr* offender = SO_EE_OFFENDER(ee);
        const socklen_t length = static_cast<socklen_t>(std::min(room, sizeof(sockaddr_in6)));
        const auto from = platform::Address::fromSockaddr(offender, length);
        word.reportedBy = from ? from->text() : std::string();
      }
      found = word;
    }
  }
  return found;
}

// Forgets what earlier tries left behind: queued errors, a pending socket error, late answers.
void drain(int fd) {
  readTooBig(fd);
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  std::uint8_t scrap[2048];
  for (int left = 256; left > 0; --left) {
    if (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) < 0 && platform::isTimeout(errno)) break;
  }
}

// One type's way of sending a request of a given size and knowing its answer.
class Probe {
 public:
  virtual ~Probe() = default;
  // What the network adds to a request: the IP header and the transport's own.
  virtual std::uint32_t overhead() const = 0;
  // The IP packet a request of `size` makes.
  virtual int packetBytes(std::uint32_t size) const = 0;
  virtual MtuTry tryOnce(std::uint32_t size) = 0;
  virtual std::optional<int> pathMtuNow() const = 0;
  int sent = 0;
};

struct ProbeSetting {
  platform::Address server;
  int timeoutMs = MtuDefaultTimeoutMs;
  const std::atomic<bool>* stop = nullptr;
  bool stopRequested() const { return stop->load(); }
};

// udp, raw IP types and icmp: one connected datagram socket with fragmentation forbidden.
class DatagramProbe : public Probe {
 public:
  enum class Kind { UdpEcho, RawIp, IcmpEcho };

  DatagramProbe(Kind kind, platform::Socket socket, std::optional<platform::IcmpEchoSocket> echo,
                const ProbeSetting& setting)
      : kind_(kind), socket_(std::move(socket)), echo_(std::move(echo)), setting_(setting),
        family_(setting.server.family()), received_(MtuMaxSize + 1024) {}

  int fd() const { return echo_ ? echo_->socket.fd() : socket_.fd(); }

  std::uint32_t overhead() const override {
    return static_cast<std::uint32_t>(ipHeaderBytes(family_) + (kind_ == Kind::UdpEcho ? 8 : 0));
  }
  int packetBytes(std::uint32_t size) const override {
    return static_cast<int>(requestLength(size)) + static_cast<int>(overhead());
  }
  std::optional<int> pathMtuNow() const override { return kernelPathMtu(fd(), family_); }

  MtuTry tryOnce(std::uint32_t size) override {
    drain(fd());
    std::vector<std::uint8_t> request(requestLength(size), 0);
    const std::uint64_t sendTime = std::max(SendTimestamp(), lastSendTime_ + 1);
    lastSendTime_ = sendTime;
    std::uint16_t identifier = 0;
    if (kind_ == Kind::IcmpEcho) {
      identifier = IcmpRequestCounter::process().take();
      if (family_ == Family::IPv6) {
        buildIcmpv6EchoRequest(request.data(), identifier, sendTime);
      } else {
        buildIcmpEchoRequest(request.data(), identifier, sendTime, request.size());
      }
    } else {
      buildEchoRequest(request.data(), sendTime);
    }
    const auto result = platform::sendBytes(fd(), request.data(), request.size(), platform::Wait::Now);
    ++sent;
    if (result.failed()) {
      if (result.error != EMSGSIZE) return MtuTry::lost();
      if (auto word = readTooBig(fd())) return *word;
      return MtuTry::tooBig(pathMtuNow().value_or(0), LocalReporter);
    }
    const std::uint16_t replyIdentifier = echo_ ? platform::echoIdentifier(*echo_).value_or(identifier) : identifier;
    const auto deadline = Clock::now() + std::chrono::milliseconds(setting_.timeoutMs);
    for (;;) {
      if (setting_.stopRequested()) return MtuTry::stopped();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return MtuTry::lost();
      pollfd wait{fd(), POLLIN, 0};
      if (poll(&wait, 1, static_cast<int>(std::min<long long>(left, StopSliceMs))) <= 0) continue;
      if (wait.revents & POLLERR) {
        if (auto word = readTooBig(fd())) return *word;
      }
      const ssize_t n = recv(fd(), received_.data(), received_.size(), MSG_DONTWAIT);
      if (n > 0 && isAnswer(request, static_cast<std::size_t>(n), replyIdentifier)) return MtuTry::answered();
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

  bool isAnswer(const std::vector<std::uint8_t>& request, std::size_t n, std::uint16_t replyIdentifier) const {
    const std::uint8_t* got = received_.data();
    switch (kind_) {
      case Kind::UdpEcho: return isEchoAnswer(request.data(), got, n);
      case Kind::RawIp:
        return family_ == Family::IPv4 ? isRawAnswer(request.data(), got, n) : isEchoAnswer(request.data(), got, n);
      case Kind::IcmpEcho:
        if (echo_->headerBytes() > 0) return isIcmpEchoReply(request.data(), got, n);
        return isEchoReplyMessage(request.data(), got, n,
                                  family_ == Family::IPv6 ? layout_d6::EchoReply : layout_d::EchoReply, replyIdentifier);
    }
    return false;
  }

  Kind kind_;
  platform::Socket socket_;
  std::optional<platform::IcmpEchoSocket> echo_;
  ProbeSetting setting_;
  Family family_;
  std::vector<std::uint8_t> received_;
  std::uint64_t lastSendTime_ = 0;
};

// TCP: each size is the MSS asked for on a new connection; one full segment goes out and must
// come back whole. The segment that carried it is the one TCP settled on (its MSS afterwards).
class TcpProbe : public Probe {
 public:
  explicit TcpProbe(const ProbeSetting& setting) : setting_(setting), family_(setting.server.family()) {}

  std::uint32_t overhead() const override { return static_cast<std::uint32_t>(ipHeaderBytes(family_) + 20); }
  int packetBytes(std::uint32_t size) const override {
    const auto carried = carriedSegment_.find(size);
    return static_cast<int>(carried == carriedSegment_.end() ? size : carried->second) + static_cast<int>(overhead());
  }
  std::optional<int> pathMtuNow() const override { return lastPathMtu_; }
  std::uint32_t carried(std::uint32_t size) const {
    const auto found = carriedSegment_.find(size);
    return found == carriedSegment_.end() ? size : found->second;
  }

  MtuTry tryOnce(std::uint32_t size) override {
    int error = 0;
    platform::Socket socket = platform::openSocket(family_, SOCK_STREAM, 0, error);
    if (!socket.valid()) return MtuTry::lost();
    const int fd = socket.fd();
    const int segment = std::max(static_cast<int>(size), TcpMinSegment);
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    const int discover = family_ == Family::IPv4 ? IP_PMTUDISC_DO : IPV6_PMTUDISC_DO;
    setsockopt(fd, levelOf(family_), family_ == Family::IPv4 ? IP_MTU_DISCOVER : IPV6_MTU_DISCOVER, &discover,
               sizeof discover);
    platform::setNonBlocking(fd, error);
    const auto deadline = Clock::now() + std::chrono::milliseconds(setting_.timeoutMs);
    platform::connectTo(fd, setting_.server.withPort(EchoPort), error);
    if (error != 0 && error != EINPROGRESS) return MtuTry::lost();
    if (!waitFor(fd, POLLOUT, deadline)) return stoppedOrLost();
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return MtuTry::lost();

    std::vector<std::uint8_t> request(echoRequestLength(static_cast<std::uint32_t>(segment)), 0);
    buildEchoRequest(request.data(), SendTimestamp());
    ++sent;
    std::size_t written = 0;
    std::vector<std::uint8_t> answer(request.size());
    std::size_t got = 0;
    MtuTry outcome;
    while (got < answer.size()) {
      const short want = static_cast<short>(POLLIN | (written < request.size() ? POLLOUT : 0));
      if (!waitFor(fd, want, deadline)) {
        outcome = stoppedOrLost();
        break;
      }
      if (written < request.size()) {
        const auto w = platform::sendBytes(fd, request.data() + written, request.size() - written, platform::Wait::Now);
        if (!w.failed()) written += static_cast<std::size_t>(w.n);
      }
      const auto r = platform::receive(fd, answer.data() + got, answer.size() - got, platform::Wait::Now);
      if (r.n == 0 || (r.failed() && !platform::isTimeout(r.error))) break;
      if (!r.failed()) got += static_cast<std::size_t>(r.n);
      if (got == answer.size()) {
        if (isEchoAnswer(request.data(), answer.data(), got)) outcome = MtuTry::answered();
      }
    }
    // What TCP made of the size: the segment it sends now, and the path MTU it holds.
    int mss = 0;
    length = sizeof mss;
    if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &length) == 0 && mss > 0) {
      carriedSegment_[size] = std::min(static_cast<std::uint32_t>(mss), static_cast<std::uint32_t>(segment));
    }
    if (auto mtu = kernelPathMtu(fd, family_)) lastPathMtu_ = mtu;
    return outcome;
  }

 private:
  bool waitFor(int fd, short events, Clock::time_point deadline) const {
    for (;;) {
      if (setting_.stopRequested()) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd wait{fd, events, 0};
      if (poll(&wait, 1, static_cast<int>(std::min<long long>(left, StopSliceMs))) > 0) return true;
    }
  }
  MtuTry stoppedOrLost() const { return setting_.stopRequested() ? MtuTry::stopped() : MtuTry::lost(); }

  ProbeSetting setting_;
  Family family_;
  std::map<std::uint32_t, std::uint32_t> carriedSegment_;
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
  if (typeIndex == TcpEchoIndex) return std::make_unique<TcpProbe>(setting);
  if (typeIndex == TerminalUdpIndex) {
    why = "обмен TELM-UDP не измеряется (его размер тот же, что у IP-Клиент)";
    return nullptr;
  }
  if (auto blocked = notRunnable(typeIndex, family)) {
    why = blocked->reason;
    return nullptr;
  }
  int error = 0;
  platform::Socket socket;
  std::optional<platform::IcmpEchoSocket> echo;
  DatagramProbe::Kind kind = DatagramProbe::Kind::RawIp;
  if (typeIndex == IcmpIndex) {
    kind = DatagramProbe::Kind::IcmpEcho;
    platform::NetError failure;
    echo = platform::openIcmpEchoSocket(family, failure);
    if (!echo) {
      why = failure.text;
      return nullptr;
    }
  } else if (typeIndex == UdpEchoIndex) {
    kind = DatagramProbe::Kind::UdpEcho;
    socket = platform::openSocket(family, SOCK_DGRAM, 0, error);
  } else {
    socket = platform::openSocket(family, SOCK_RAW, static_cast<int>(type.number), error);
  }
  const int fd = echo ? echo->socket.fd() : socket.fd();
  const std::uint16_t port = kind == DatagramProbe::Kind::UdpEcho ? EchoPort : 0;
  if (fd < 0 || !forbidFragments(fd, family) || !platform::connectTo(fd, setting.server.withPort(port), error)) {
    why = format("сокет не готов, ошибка %i", error != 0 ? error : errno);
    return nullptr;
  }
  return std::make_unique<DatagramProbe>(kind, std::move(socket), std::move(echo), setting);
}

MtuRow measure(int typeIndex, Probe& probe, const MtuSearchLimits& limits) {
  MtuRow row;
  row.typeIndex = typeIndex;
  const MtuSearchResult found = searchLargestRequest(limits, probe.overhead(), [&](std::uint32_t size) {
    return probe.tryOnce(size);
  });
  row.tries = probe.sent;
  row.stopped = found.stopped;
  row.kernelPathMtu = probe.pathMtuNow();
  if (found.reportedMtu > 0) {
    row.reportedMtu = found.reportedMtu;
    row.reportedBy = found.reportedBy;
  }
  if (!found.largest) {
    row.verdict = found.stopped ? MtuVerdict::NotRun : MtuVerdict::NoAnswer;
    if (found.stopped) row.reason = "проверка остановлена";
    return row;
  }
  const auto* tcp = dynamic_cast<const TcpProbe*>(&probe);
  row.largest = tcp ? tcp->carried(*found.largest) : *found.largest;
  row.pathMtu = probe.packetBytes(*found.largest);
  if (!found.smallestRefused) {
    row.verdict = MtuVerdict::NoLimit;
  } else {
    row.verdict = found.refusedInSilence ? MtuVerdict::BlackHole : MtuVerdict::Honest;
  }
  // TCP hears no word itself, but its own discovery does: a segment smaller than the one asked for
  // is the path MTU the system learned from a hop.
  if (tcp && *row.largest < *found.largest && row.kernelPathMtu == row.pathMtu) {
    row.reportedMtu = row.kernelPathMtu;
    if (row.verdict == MtuVerdict::NoLimit) row.verdict = MtuVerdict::Honest;
  }
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
  if (addressTooLong(plan.request.address)) {
    result.failure = startRefusalText(StartRefusal::AddressTooLong);
    return result;
  }
  const auto server = resolveServer(plan.request.address, plan.request.family, [&](const std::string& line) {
    if (result.failure.empty()) result.failure = line;
    log_.log(line);
  });
  if (!server) return result;
  result.started = true;

  std::vector<int> types = plan.types;
  if (types.empty()) {
    for (int i = 0; i < static_cast<int>(ProtocolCatalogue().size()); ++i) types.push_back(i);
  }
  const ProbeSetting setting{*server, plan.request.timeoutMs, &stop_};
  MtuSearchLimits limits;
  limits.largest = std::clamp(plan.request.size, limits.smallest, MtuMaxSize);
  log_.log(format("Поиск наибольшего запроса к %s: от %u до %u байт, фрагментация запрещена",
                  server->text().c_str(), limits.smallest, limits.largest));
  for (std::size_t position = 0; position < types.size(); ++position) {
    const int index = types[position];
    const ProtocolType& type = ProtocolCatalogue()[static_cast<std::size_t>(index)];
    MtuRow row;
    std::string why;
    if (stop_) {
      row = notRunRow(index, "проверка остановлена");
    } else if (auto probe = makeProbe(index, setting, why)) {
      MtuSearchLimits typeLimits = limits;
      if (index == TcpEchoIndex) {
        // Segments: the top is the one that makes a packet of the largest size.
        typeLimits.smallest = TcpMinSegment;
        typeLimits.largest = std::max<std::uint32_t>(limits.largest - probe->overhead(), TcpMinSegment + 1);
      }
      row = measure(index, *probe, typeLimits);
      log_.log(format("MTU, тип %s: наибольший запрос %s байт, пакет %s байт, сообщено %s; %s", type.text,
                      numberOrDash(row.largest).c_str(), numberOrDash(row.pathMtu).c_str(), reportedText(row).c_str(),
                      verdictText(row).c_str()));
    } else {
      row = notRunRow(index, why);
      log_.log(format("MTU, тип %s не измерен: %s", type.text, why.c_str()));
    }
    if (progress) progress(row, position, types.size());
    result.rows.push_back(std::move(row));
  }
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
  std::vector<std::size_t> widths;
  for (const std::string& title : header) widths.push_back(displayWidth(title));
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], displayWidth(line[i]));
  }
  const auto join = [&widths](const std::vector<std::string>& line, const std::string& last) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) out += padded(line[i], widths[i]);
    return out + last;
  };
  std::vector<std::string> lines{"Наибольший запрос по типам протоколов (байт):", join(header, "Итог")};
  for (std::size_t i = 0; i < rows.size(); ++i) lines.push_back(join(cells[i], verdictText(rows[i])));
  return lines;
}

std::string mtuCellText(const MtuRow& row) {
  if (!row.pathMtu) return "-";
  return row.verdict == MtuVerdict::BlackHole ? format("%d ЧД", *row.pathMtu) : std::to_string(*row.pathMtu);
}

nlohmann::ordered_json mtuJson(const MtuPlan& plan, const MtuResult& result) {
  using json = nlohmann::ordered_json;
  const auto catalogue = ProtocolCatalogue();
  const auto orNull = [](const auto& value) { return value ? json(*value) : json(nullptr); };
  json types = json::array();
  for (const MtuRow& row : result.rows) {
    const ProtocolType& type = catalogue[static_cast<std::size_t>(row.typeIndex)];
    json entry = {{"type", type.text}, {"short_name", type.shortName}, {"protocol", type.number},
                  {"verdict", mtuVerdictName(row.verdict)},
                  {"reason", row.reason.empty() ? json(nullptr) : json(row.reason)}};
    entry["mtu"] = row.verdict == MtuVerdict::NotRun
                       ? json(nullptr)
                       : json{{"largest", row.largest ? json(*row.largest) : json(0)},
                              {"path_mtu", orNull(row.pathMtu)},
                              {"reported_mtu", orNull(row.reportedMtu)},
                              {"reported_by", row.reportedBy.empty() ? json(nullptr) : json(row.reportedBy)},
                              {"black_hole", row.verdict == MtuVerdict::BlackHole}};
    types.push_back(entry);
  }
  return {{"kind", "mtu"},
          {"parameters",
           {{"address", plan.request.address},
            {"largest_size", std::clamp(plan.request.size, MinPacketSize, MtuMaxSize)},
            {"timeout_ms", plan.request.timeoutMs}}},
          {"started", result.started},
          {"failure", result.failure.empty() ? json(nullptr) : json(result.failure)},
          {"types", types},
          {"exit_status", result.exitStatus()}};
}

}  // namespace connchk::client
