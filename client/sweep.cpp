#include "client/sweep.h"

#include <sys/socket.h>

#include <cerrno>

#include "client/protocol_catalogue.h"
#include "client/test_skeleton.h"
#include "common/platform/icmp_socket.h"
#include "common/platform/sockets.h"
#include "common/protocol.h"
#include "common/text_format.h"

namespace connchk::client {

namespace {

SweepRow row(int typeIndex, Verdict verdict, std::string code, std::string reason) {
  SweepRow r;
  r.typeIndex = typeIndex;
  r.verdict = verdict;
  r.reasonCode = std::move(code);
  r.reason = std::move(reason);
  return r;
}

const ProtocolType& typeAt(int index) { return ProtocolCatalogue()[static_cast<std::size_t>(index)]; }

}  // namespace

int SweepResult::exitStatus() const {
  if (!started) return 2;
  bool passed = false;
  for (const SweepRow& r : rows) {
    if (r.verdict == Verdict::Fail) return 1;
    passed = passed || r.verdict == Verdict::Pass || r.verdict == Verdict::Loss;
  }
  return passed ? 0 : 2;
}

SweepRow rowOfRun(int typeIndex, const RunOutcome& outcome) {
  SweepRow r = row(typeIndex, outcome.judgement.verdict, outcome.judgement.reason.code, outcome.judgement.reason.text);
  r.outcome = outcome;
  r.summary = summarize(outcome);
  return r;
}

std::optional<SweepRow> notRunnable(int typeIndex, platform::Family family, const platform::WayOut& way) {
  if (typeIndex == IcmpIndex) {
    // ICMP runs without the raw right too, where the system lets the user's group echo.
    const auto echo = platform::openIcmpEchoSocket(family);
    if (echo) return std::nullopt;
    const platform::Error& why = echo.error();
    if (why.code == EPERM || why.code == EACCES) return row(typeIndex, Verdict::NotRun, "no-raw-right", why.text);
    return row(typeIndex, Verdict::NotRun, "no-socket", format("сокет ICMP не открывается, ошибка %i", why.code));
  }
  if (usesRawSocket(typeIndex)) {
    const auto probe = platform::openSocket(family, SOCK_RAW, static_cast<int>(typeAt(typeIndex).number));
    if (probe) return std::nullopt;
    const int error = probe.code();
    if (error == EPERM || error == EACCES) {
      return row(typeIndex, Verdict::NotRun, "no-raw-right", "нет права открывать raw-сокеты (CAP_NET_RAW)");
    }
    return row(typeIndex, Verdict::NotRun, "no-socket", format("raw-сокет не открывается, ошибка %i", error));
  }
  if (typeIndex == TerminalUdpIndex) {
    // The exchange needs this host's own UDP port 855, which a server here (or another client) holds.
    const auto probe = platform::openSocket(family, SOCK_DGRAM, 0);
    const platform::Status bound = probe ? bindTerminalPort(probe->fd(), family, way) : platform::Status(probe.error());
    if (bound) return std::nullopt;
    const int error = bound.code();
    if (error == EADDRINUSE) {
      return row(typeIndex, Verdict::NotRun, "port-855-taken", "порт 855 занят на этом хосте");
    }
    if (error == EACCES || error == EPERM) {
      return row(typeIndex, Verdict::NotRun, "no-port-855-right",
                 "нет права занять порт 855 (CAP_NET_BIND_SERVICE)");
    }
    return row(typeIndex, Verdict::NotRun, "no-socket", format("порт 855 не занимается, ошибка %i", error));
  }
  return std::nullopt;
}

void Sweep::stop() {
  stop_ = true;
  control_.stopRun();
}

SweepResult Sweep::run(const SweepPlan& plan, const SweepProgress& progress) {
  SweepResult result;
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
  // Every type's run goes to the family this first look-up found, whatever a later one gives.
  RunRequest request = plan.request;
  request.family =
      server->family() == platform::Family::IPv4 ? platform::FamilyChoice::IPv4 : platform::FamilyChoice::IPv6;

  std::vector<int> types = plan.types;
  if (types.empty()) {
    for (int i = 0; i < static_cast<int>(ProtocolCatalogue().size()); ++i) types.push_back(i);
  }
  for (std::size_t position = 0; position < types.size(); ++position) {
    const int index = types[position];
    const ProtocolType& type = typeAt(index);
    if (progress.typeStarted) progress.typeStarted(index, position, types.size());
    SweepRow done;
    if (stop_) {
      done = row(index, Verdict::NotRun, "stopped", "проверка остановлена");
    } else if (auto blocked = notRunnable(index, server->family(), request.way)) {
      done = std::move(*blocked);
      log_.log(format("Тип %s не проверен: %s", type.text, done.reason.c_str()));
    } else {
      log_.log(format("Проверка типа %s, протокол №%u", type.text, type.number));
      request.protocolIndex = index;
      request.protocolNumber = type.number;
      const StartRefusal refusal = control_.startRun(request);
      if (refusal != StartRefusal::None) {
        done = row(index, Verdict::NotRun, "busy", "уже идет другая проверка");
      } else {
        if (stop_) control_.stopRun();  // a stop that came while this run was being started
        done = rowOfRun(index, control_.waitForEnd());
      }
    }
    if (progress.typeFinished) progress.typeFinished(done, position, types.size());
    for (const TypeTrace& trace : plan.traces) {
      if (trace.typeIndex == index) done.trace = trace;
    }
    for (const MtuRow& mtu : plan.mtu) {
      if (mtu.typeIndex == index) done.mtu = mtu;
    }
    result.rows.push_back(std::move(done));
  }
  return result;
}

}  // namespace connchk::client
