// The server's fifteen services and what they share. Each service is one thread procedure that
// owns its sockets and buffers; they meet only in the activity log, the sender statistics and the
// counters, and each ends when its host asks it to stop.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/activity_log.h"
#include "common/log_line.h"
#include "common/platform/datagram_batch.h"
#include "common/platform/address.h"
#include "common/platform/net.h"
#include "common/platform/sockets.h"
#include "common/platform/wait.h"
#include "server/account_store.h"
#include "server/log_bounds.h"
#include "server/log_lines.h"
#include "server/messages.h"
#include "server/sender_statistics.h"
#include "server/server_options.h"
#include "server/service_counters.h"

namespace connchk::server {

// What the server's services report to. It lives in the program's front-end, outside any window,
// for as long as the services run.
struct ServerContext {
  ActivityLog& log;
  SenderStatistics& statistics;
  ServerCounters& counters;
  ServerSettings settings{};
  // What the services received, for the clients' account queries.
  AccountStore& accounts = AccountStore::process();
};

// The log's bound for the services of one host: a gate per service, and whether the log's disk
// has less room than it must keep free (looked at once a second by the host).
struct RequestLines {
  std::array<RequestLineGate, ServiceCount> gates;
  std::atomic<bool> diskLow{false};
};

// The received-packet line of a request from `dottedAddress` (see messages.h).
using messages::receivedPacketLine;
void ReportReceivedPacket(ServerContext& server, const std::string& dottedAddress, const std::string& tail);

// What became of one datagram of a batch. The datagram services send a whole batch's answers
// before they write its lines; each datagram's lines are then written in arrival order, the same
// lines it would have had alone.
struct DatagramOutcome {
  enum class Kind { ReceiveFailed, Empty, Erroneous, Answered };
  Kind kind = Kind::Answered;
  int error = 0;           // ReceiveFailed
  platform::Address peer;  // Erroneous, Answered: the address its line names
  lines::PacketTail tail;  // Erroneous, Answered
  std::size_t answer = 0;  // Answered: its index in the batch of answers

  static DatagramOutcome receiveFailed(int error) { return {Kind::ReceiveFailed, error, {}, {}, 0}; }
  static DatagramOutcome empty() { return {Kind::Empty, 0, {}, {}, 0}; }
  static DatagramOutcome erroneous(const platform::Address& peer, const lines::PacketTail& tail) {
    return {Kind::Erroneous, 0, peer, tail, 0};
  }
  static DatagramOutcome answered(const platform::Address& peer, const lines::PacketTail& tail, std::size_t answer) {
    return {Kind::Answered, 0, peer, tail, answer};
  }
};

// How long a datagram service keeps looking for the next datagram before it goes to sleep. Going to
// sleep and being woken costs more than an answer when requests follow each other closely (a client
// with several in flight): looking again for a short while answers them sooner and spares both
// sides a wake-up. A look pays only while the gaps between datagrams are short, so the next look
// lasts Longest only when the last gap was no longer; a trickle of requests further apart costs one
// fruitless look and then none. While a dense stream lasts, the service's thread keeps a core busy.
class LookBeforeSleep {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds Longest{60};

  // Nothing more waits: true to look again now, false to sleep.
  bool lookAgain(Clock::time_point now) {
    if (!idleSince_) idleSince_ = now;
    return now - *idleSince_ < span_;
  }
  // A datagram came: the gap since nothing waited sets the next look.
  void arrived(Clock::time_point now) {
    if (idleSince_) span_ = now - *idleSince_ <= Longest ? Clock::duration(Longest) : Clock::duration::zero();
    idleSince_.reset();
  }

 private:
  std::optional<Clock::time_point> idleSince_;
  Clock::duration span_{0};  // an idle service sleeps at once
};

// One service at work: the steps the fifteen share, each with its lines and its counters, so that
// a service reads as its own steps.
class ServiceRun {
 public:
  ServiceRun(ServerContext& server, std::size_t slot, const platform::StopEvent& stop, RequestLines& lines)
      : server_(server), counters_(server.counters.services[slot]), stop_(stop), gate_(lines.gates[slot]),
        diskLow_(lines.diskLow) {}

  ServerContext& server() { return server_; }
  ServiceCounters& counters() { return counters_; }
  const platform::StopEvent& stop() const { return stop_; }
  // A line of the service itself (start-up, a connection it ends): always written.
  void say(const std::string& line);

  // A request (or a failed receive, which stands for one) begins: its lines are written if the
  // service is within its log rate and the disk has room, left out otherwise (its outcome then
  // goes into the service's once-a-second tally). The helpers below write request lines.
  void beginRequest() {
    // Without a rate there is no second to look at: no clock read for every request.
    writing_ = gate_.bounded() ? gate_.admit(RequestLineGate::Clock::now(), diskLow_) : !diskLow_;
  }
  void sayForRequest(const std::string& line) {
    if (writing_) say(line);
  }
  // An empty datagram: "Клиент закрыл соединение", an erroneous request for the tally.
  void emptyRequest();

  // Start-up: open the socket, log the start line, bind `port` on every local address (for a
  // listening TCP socket: with address reuse, then listen). On a failure its line is logged, the
  // service is marked failed with it, and the socket returned is invalid. The start line comes
  // before the bind, so it stands in the log even when the bind fails.
  // A UDP or TCP socket serves both families (see platform::openDualStackSocket); a raw socket is
  // IPv4: raw sockets carry one family each.
  struct Opening {
    int type;
    int protocol = 0;
    std::string startLine;
    std::uint16_t port;
    int listenBacklog = 0;  // > 0: a listening TCP socket
  };
  platform::Socket open(const Opening& opening);
  void serving() { counters_.state = ServiceState::Running; }
  // A start-up step that failed: its line, and the service marked failed with it.
  void startFailed(const std::string& line);

  // Waits for datagrams on any of `fds` (at most 8; an invalid -1 is passed over) while the service is not
  // asked to stop, and takes those waiting on one of them into `batch`, in arrival order; false
  // once it is asked to stop. A failed receive is logged and counted, and the wait goes on; a
  // datagram too long for its buffer comes with its error, for receiveFailed. `which` learns the
  // index of the socket the batch came from; the sockets take turns, so that a busy one cannot
  // keep another waiting.
  bool receiveBatch(std::span<const int> fds, platform::ReceivedBatch& batch, std::size_t& which);
  bool receiveBatch(int fd, platform::ReceivedBatch& batch) {
    std::size_t which = 0;
    return receiveBatch(std::span<const int>(&fd, 1), batch, which);
  }

  // Puts `fd` and the host's stop into `events`, for a service that serves many sockets from one
  // thread; 0, or the error that kept them out.
  int watch(platform::Poller& events, int fd, std::uint64_t tag, std::uint64_t stopTag) const;
  // The limit for a wait on such a set: `ms` (-1: none), or at most 100 ms where the stop has no
  // descriptor in the set, so that the stop is still looked at.
  int waitLimit(int ms) const;

  // The shared rules: a failed receive, an erroneous request (its received-packet line first),
  // an accepted request's sender, and the lines after an answer's send. All are request lines;
  // receiveFailed begins a request of its own.
  void receiveFailed(int error);
  void erroneous(const std::string& dottedAddress, const std::string& tail);
  void accepted(const platform::Address& sender, std::size_t length);
  // The same, kept in the account too.
  void accepted(const platform::Address& sender, std::size_t length, const Arrived& arrived);
  // The same two for requests whose lines are made without formatting (the datagram services).
  void erroneous(const platform::Address& sender, const lines::PacketTail& tail);
  void receivedPacket(const platform::Address& sender, const lines::PacketTail& tail);

  // An account query (layout E) in `bytes`: false when it is none. Otherwise it is logged and
  // `answer` holds what to send back, or stays empty when the query is erroneous or refused.
  // Over UDP (`limit` given) a query is answered only within its source's allowance and when it
  // is at least as long as its answer.
  bool accountQuery(const std::uint8_t* bytes, std::size_t length, const platform::Address& from, const char* label,
                    QueryRateLimit* limit, std::vector<std::uint8_t>& answer);
  void receivedPacket(const std::string& dottedAddress, const std::string& tail);
  // The lines of a batch whose answers went out in `answers`, in the order of `outcomes`.
  void writeLines(const std::vector<DatagramOutcome>& outcomes, const platform::SendBatch& answers);
  // "Отослано N байт данных" and "Ожидание нового запроса", or the send's failure. An account
  // answer is counted apart from the requests answered: it answers no test request.
  enum class Answer { ToRequest, ToAccountQuery };
  void answerSent(const platform::Result<std::size_t>& sent, Answer what = Answer::ToRequest);
  void answered(const std::string& sentLine);
  void sendFailed(int error);
  // A connection or exchange the service ends before its peer does (see ServiceCounters::dropped).
  void dropped(const std::string& line);

 private:
  ServerContext& server_;
  ServiceCounters& counters_;
  const platform::StopEvent& stop_;
  RequestLineGate& gate_;
  const std::atomic<bool>& diskLow_;
  // A request line, made in place; the text of the last sender named in one.
  void sayForRequest(const LogLine& line) {
    if (writing_) write(line);
  }
  // To the log, or to the batch's lines while writeLines gathers them.
  void write(const LogLine& line);
  std::string_view senderText(const platform::Address& sender);
  // Waits until one of `fds` may have a datagram; false once the service is asked to stop.
  bool waitForDatagrams(std::span<const int> fds);

  bool writing_ = true;         // the current request's lines are written
  std::size_t nextSocket_ = 0;  // where receiveBatch looks first
  // receiveBatch's sockets that may hold datagrams (a bit each): looked at before any wait.
  static constexpr std::size_t MostDatagramSockets = 8;
  unsigned mayHold_ = (1u << MostDatagramSockets) - 1;
  // receiveBatch's sockets and the stop, registered once: a wait costs no set-up of its own.
  std::optional<platform::Poller> waitSet_;
  LookBeforeSleep look_;
  LogLine line_;
  LogLines gathered_;     // a batch's lines, handed to the log together
  bool gathering_ = false;
  platform::Address lastSender_;
  std::string lastSenderText_;
};

// What the kernel may hold of the answers of one datagram or raw socket. Every send is
// non-blocking: an answer that finds no room is dropped and counted, never waited for, so that
// answers held for neighbours that never answer (forged on-link senders) cannot stop a service.
// The room is large, so that such answers, freed once their neighbour fails to resolve (about
// three seconds), leave room for everybody else's.
inline constexpr int AnswerBufferBytes = 4 << 20;

// Each returns 0 once stopped, or -1 when it cannot start.
int RawIpService(ServiceRun& run, std::uint32_t protocol);
int EchoUdpService(ServiceRun& run);
int EchoTcpService(ServiceRun& run);
int TerminalUdpService(ServiceRun& run);

}  // namespace connchk::server
