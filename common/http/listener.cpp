#include "common/http/listener.h"

#include <pthread.h>
#include <signal.h>
#include <CivetServer.h>

#include <cctype>
#include <mutex>

#include "common/platform/address.h"
#include "common/text_format.h"

namespace connchk::http {
namespace {

std::mutex startMutex;     // one start at a time, so that its messages are its own
std::mutex messagesMutex;
std::string messages;  // civetweb's messages since start-up, at most MessagesKept bytes
constexpr std::size_t MessagesKept = 1024;

int keepMessage(const mg_connection*, const char* message) {
  std::lock_guard<std::mutex> hold(messagesMutex);
  const std::string text = message ? message : "";
  if (messages.size() + text.size() + 1 <= MessagesKept) messages += text + "\n";
  return 1;  // nothing of it goes to civetweb's own error log
}


}  // namespace

std::string ListenAddress::listeningPorts() const {
  return address.empty() ? std::to_string(port) : address + ":" + std::to_string(port);
}

std::optional<ListenAddress> parseListenAddress(const std::string& text, std::string& error) {
  ListenAddress result;
  const auto colon = text.rfind(':');
  const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
  if (colon != std::string::npos) {
    result.address = text.substr(0, colon);
    // civetweb as Debian builds it listens on IPv4 only.
    const auto parsed = platform::Address::parse(result.address);
    if (!parsed || parsed->family() != platform::Family::IPv4 || result.address.find(':') != std::string::npos) {
      error = "the address must be a dotted IPv4 address such as 127.0.0.1 (or leave it out for every address)";
      return std::nullopt;
    }
  }
  const auto port = parseDigits(portText, 5);
  if (!port || *port < 1 || *port > 65535) {
    error = "the port must be a whole number from 1 to 65535";
    return std::nullopt;
  }
  result.port = static_cast<std::uint16_t>(*port);
  return result;
}

std::vector<std::string> endpointOptions(const ListenAddress& address, int threads) {
  return {"listening_ports",   address.listeningPorts(),         "num_threads",       std::to_string(threads),
          "request_timeout_ms", std::to_string(RequestTimeoutMs), "enable_keep_alive", "no"};
}

const CivetCallbacks* keepingCallbacks() {
  static const CivetCallbacks callbacks = [] {
    CivetCallbacks c;
    c.log_message = keepMessage;
    return c;
  }();
  return &callbacks;
}

bool startListening(const std::function<void()>& start, std::string& error) {
  std::lock_guard<std::mutex> one(startMutex);
  {
    std::lock_guard<std::mutex> hold(messagesMutex);
    messages.clear();
  }
  // civetweb's threads start here and take this thread's signal mask: with every signal blocked
  // they never take a Ctrl-C, termination or hang-up meant for the program's own watcher.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  bool started = true;
  try {
    start();
  } catch (const std::exception& failure) {
    started = false;
    std::lock_guard<std::mutex> hold(messagesMutex);
    const auto end = messages.find('\n');
    error = end == std::string::npos ? std::string(failure.what()) : messages.substr(0, end);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

}  // namespace connchk::http
