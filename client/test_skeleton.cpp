#include "client/test_skeleton.h"

#include "common/platform/clock.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

int RunContext::failStart(int code) {
  outcome.startFailed = true;
  outcome.exitCode = code;
  return code;
}

platform::Socket openTestSocket(RunContext& run, int type, int protocol, int& error) {
  platform::Socket socket = platform::openSocket(type, protocol, error);
  if (!socket.valid()) run.say(format("Ошибка %i при открытии сокета", error));
  return socket;
}

void setAnswerTimeout(const platform::Socket& socket) {
  int error = 0;
  platform::setReceiveTimeout(socket.fd(), ReceiveTimeout, error);
}

std::optional<sockaddr_in> resolveServer(RunContext& run) {
  auto server = platform::resolveIPv4(run.params.address);
  if (!server) run.say("Невозможно определить адрес ВЕЛТ-IP для подключения");
  return server;
}

void logConnection(RunContext& run, const sockaddr_in& server, int serverPort, int ownPort) {
  run.say(format("Соединение с %s, порт %i (свой порт %i)", platform::dotted(server).c_str(), serverPort,
                 ownPort));
}

void runRounds(RunContext& run, const std::function<RoundEnd()>& round) {
  bool infinite = false;
  if (run.params.count == -1) {
    run.params.count = 2;
    infinite = true;
  }
  if (run.params.count < 1) return;
  for (int done = 0;;) {
    if (infinite) done = 0;
    if (run.stopRequested()) break;
    if (round() == RoundEnd::LeaveLoop) break;
    if (++done >= run.params.count) break;
  }
}

void logReceiveFailure(RunContext& run, int error) {
  run.say(platform::isTimeout(error) ? std::string("Превышено время ожидания ответа")
                                     : format("Возникла ошибка на приеме %i", error));
}

void logSendFailure(RunContext& run, int error) { run.say(format("Ошибка send %i", error)); }

RoundEnd pauseAfterAnswer(RunContext& run) {
  platform::sleepMs(RequestPauseMs);
  return run.stopRequested() ? RoundEnd::LeaveLoop : RoundEnd::Next;
}

void acceptAnswer(RunContext& run, const std::string& protocolLabel, std::uint64_t sentAt,
                  std::uint64_t receivedAt) {
  run.say("Получен ответ от сервера");
  run.say("Протокол " + protocolLabel + ". Время приема-передачи: " + RoundTripText(sentAt, receivedAt));
  ++run.outcome.answersAccepted;
}

}  // namespace connchk::client
