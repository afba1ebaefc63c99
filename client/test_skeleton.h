// What every test procedure shares: its run's record, stop flag and log, and the steps that the
// five procedures take alike (opening the socket, resolving the server, the round loop, the
// receive-failure rule, the pause after an answer, the round-trip line).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/run_outcome.h"
#include "client/run_parameters.h"
#include "common/activity_log.h"
#include "common/platform/net.h"

namespace connchk::client {

class RunContext {
 public:
  RunContext(TestRunParameters& params, ActivityLog& log, const std::atomic<bool>& stop)
      : params(params), log_(log), stop_(stop) {}

  TestRunParameters& params;
  RunOutcome outcome;

  void say(const std::string& line) { log_.log(line); }
  bool stopRequested() const { return stop_.load(); }

  // Marks an early failure; returns `code` as the procedure's exit code.
  int failStart(int code);

 private:
  ActivityLog& log_;
  const std::atomic<bool>& stop_;
};

// Opens the test's socket, logging "Ошибка %i при открытии сокета" on failure; `error` holds
// the code of the failed call.
platform::Socket openTestSocket(RunContext& run, int type, int protocol, int& error);

// Puts the 5000 ms answer time-out on a socket.
void setAnswerTimeout(const platform::Socket& socket);

// The server's address (port 0), or nullopt after logging that it cannot be resolved.
std::optional<sockaddr_in> resolveServer(RunContext& run);

// Logs "Соединение с %s, порт %i (свой порт %i)".
void logConnection(RunContext& run, const sockaddr_in& server, int serverPort, int ownPort);

enum class RoundEnd { Next, LeaveLoop };

// The count handling and the loop of rounds: -1 becomes 2 in the record and runs without end,
// fewer than 1 runs none; the stop flag is looked at before every round.
void runRounds(RunContext& run, const std::function<RoundEnd()>& round);

// "Превышено время ожидания ответа" for a time-out, "Возникла ошибка на приеме %i" otherwise.
void logReceiveFailure(RunContext& run, int error);

// Logs "Ошибка send %i".
void logSendFailure(RunContext& run, int error);

// The one-second pause after an answer; LeaveLoop when Stop was asked for meanwhile.
RoundEnd pauseAfterAnswer(RunContext& run);

// Logs "Получен ответ от сервера" and "Протокол <label>. Время приема-передачи: m:ss.mmm".
void acceptAnswer(RunContext& run, const std::string& protocolLabel, std::uint64_t sentAt,
                  std::uint64_t receivedAt);

// The lines every procedure writes, as they read.
inline constexpr const char* RequestSentLine = "Отослан запрос к серверу";
inline constexpr const char* ServerClosedLine = "Сервер закрыл соединение";

}  // namespace connchk::client
