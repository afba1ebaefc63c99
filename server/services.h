// The server's fifteen services and what they share. Each service is one thread procedure that
// owns its sockets and buffers; they meet only in the activity log, the sender statistics and the
// counters, and each ends when its host asks it to stop.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/activity_log.h"
#include "common/platform/address.h"
#include "common/platform/net.h"
#include "common/platform/sockets.h"
#include "common/platform/wait.h"
#include "server/log_bounds.h"
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
  void say(const std::string& line) { server_.log.log(line); }

  // A request (or a failed receive, which stands for one) begins: its lines are written if the
  // service is within its log rate and the disk has room, left out otherwise (its outcome then
  // goes into the service's once-a-second tally). The helpers below write request lines.
  void beginRequest() { writing_ = gate_.admit(RequestLineGate::Clock::now(), diskLow_); }
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

  // Receives the next datagram into `buffer` from any of `fds` (an invalid -1 is passed over),
  // waiting for one while the service is not asked to stop; false once it is. A failed receive is
  // logged and counted, and the wait goes on. `which` learns the index of the socket it came from;
  // the sockets take turns, so that a busy one cannot keep another waiting.
  bool receiveDatagram(std::span<const int> fds, std::span<std::uint8_t> buffer, platform::Address& from,
                       std::size_t& length, std::size_t& which);
  bool receiveDatagram(int fd, std::span<std::uint8_t> buffer, platform::Address& from, std::size_t& length) {
    std::size_t which = 0;
    return receiveDatagram(std::span<const int>(&fd, 1), buffer, from, length, which);
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
  void receivedPacket(const std::string& dottedAddress, const std::string& tail);
  // "Отослано N байт данных" and "Ожидание нового запроса", or the send's failure.
  void answerSent(const platform::IoResult& sent);
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
  bool writing_ = true;         // the current request's lines are written
  std::size_t nextSocket_ = 0;  // where receiveDatagram looks first
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
