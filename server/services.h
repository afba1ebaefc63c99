// The server's fifteen services and what they share. Each service is one thread procedure that
// owns its sockets and buffers; they meet only in the activity log and the sender statistics.
#pragma once

#include <cstdint>
#include <string>

#include "common/activity_log.h"
#include "server/sender_statistics.h"

namespace connchk::server {

struct ServerContext {
  ActivityLog& log;
  SenderStatistics& statistics;
};

// The received-packet line: "Принят пакет от <address> (unresolved)" followed by `tail`, for
// instance ", протокол TCP, 32 байт данных". Formatted once; nothing received is a format.
std::string receivedPacketLine(const std::string& dottedAddress, const std::string& tail);
void ReportReceivedPacket(ServerContext& server, const std::string& dottedAddress, const std::string& tail);

// Each returns -1 when it cannot start; after start-up it serves until the process ends.
int RawIpService(ServerContext& server, std::uint32_t protocol);
int EchoUdpService(ServerContext& server);
int EchoTcpService(ServerContext& server);
int TerminalUdpService(ServerContext& server);

// The raw responders' protocol numbers, in start-up order.
inline constexpr std::uint32_t RawServiceProtocols[] = {1, 53, 55, 56, 110, 111, 112, 113, 114, 115, 116, 117};

// Starts the services as detached threads, in order: the twelve raw responders, then the UDP
// echo, the TCP echo and the terminal exchange. The context must live until the process ends.
void startServices(ServerContext& server);

// The lines the services share.
inline constexpr const char* WaitingLine = "Ожидание нового запроса";
inline constexpr const char* ErroneousRequestLine = "Принят ошибочный запрос";
inline constexpr const char* ClientClosedLine = "Клиент закрыл соединение";

}  // namespace connchk::server
