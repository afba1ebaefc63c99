#include "common/http/listener.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/socket.h>
#include <signal.h>
#include <CivetServer.h>

#include <cctype>
#include <cstdlib>
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

platform::Result<ListenAddress> parseListenAddress(const std::string& text) {
  ListenAddress result;
  const auto colon = text.rfind(':');
  const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
  if (colon != std::string::npos) {
    result.address = text.substr(0, colon);
    // civetweb as Debian builds it listens on IPv4 only.
    const auto parsed = platform::Address::parse(result.address);
    if (!parsed || parsed->family() != platform::Family::IPv4 || result.address.find(':') != std::string::npos) {
      return platform::refusedInput(
          "the address must be a dotted IPv4 address such as 127.0.0.1 (or leave it out for every address)");
    }
  }
  const auto port = parseDigits(portText, 5);
  if (!port || *port < 1 || *port > 65535) {
    return platform::refusedInput("the port must be a whole number from 1 to 65535");
  }
  result.port = static_cast<std::uint16_t>(*port);
  return result;
}

std::vector<std::string> endpointOptions(const ListenAddress& address, int threads) {
  return {"listening_ports",   address.listeningPorts(),         "num_threads",       std::to_string(threads),
          "request_timeout_ms", std::to_string(RequestTimeoutMs), "enable_keep_alive", "no"};
}

int connectionSocket(const mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  if (!request) return -1;
  const auto peer = platform::Address::parse(request->remote_addr, static_cast<std::uint16_t>(request->remote_port));
  DIR* descriptors = opendir("/proc/self/fd");
  if (!peer || !descriptors) {
    if (descriptors) closedir(descriptors);
    return -1;
  }
  // civetweb keeps the socket to itself; the connection's two addresses single it out.
  int found = -1;
  while (const dirent* entry = readdir(descriptors)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(descriptors)) continue;
    sockaddr_storage local{}, remote{};
    socklen_t localLength = sizeof local, remoteLength = sizeof remote;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
      continue;
    }
    const auto remoteAddress = platform::Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&remote), remoteLength);
    const auto localAddress = platform::Address::fromSockaddr(reinterpret_cast<const sockaddr*>(&local), localLength);
    if (remoteAddress && localAddress && remoteAddress->unmapped() == *peer &&
        localAddress->port() == request->server_port) {
      found = fd;
      break;
    }
  }
  closedir(descriptors);
  return found;
}

const CivetCallbacks* keepingCallbacks() {
  static const CivetCallbacks callbacks = [] {
    CivetCallbacks c;
    c.log_message = keepMessage;
    return c;
  }();
  return &callbacks;
}

platform::Status startListening(const std::function<void()>& start) {
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
  platform::Status started;
  try {
    start();
  } catch (const std::exception& failure) {
    std::lock_guard<std::mutex> hold(messagesMutex);
    const auto end = messages.find('\n');
    // The web server says why in words only: the failure carries no code.
    started = platform::Error{"listen", 0, end == std::string::npos ? std::string(failure.what()) : messages.substr(0, end)};
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

}  // namespace connchk::http
