// Every line the server logs, written once. Operators and their scripts read these lines in the
// log files of servers old and new, so the texts of the established lines never change; the lines
// about connections and exchanges that the server ends by itself were added later, in the same
// style.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/log_bounds.h"

namespace connchk::server::messages {

inline constexpr const char* WaitingForRequest = "Ожидание нового запроса";
inline constexpr const char* ErroneousRequest = "Принят ошибочный запрос";
inline constexpr const char* ClientClosed = "Клиент закрыл соединение";
inline constexpr const char* NoServiceStarted = "Ни одна служба не запустилась, сервер завершает работу";

// The protocols' labels in the lines of the UDP echo, the TCP echo and the terminal exchange.
inline constexpr const char* UdpEchoLabel = "IP-Клиент";
inline constexpr const char* TcpEchoLabel = "TCP";
inline constexpr const char* TerminalLabel = "TELM-UDP";

// A raw responder's protocol: its number and, where the server's table has one, its name:
// "№53 (ВЕЛТ-IP)".
std::string rawProtocolTitle(std::uint32_t protocol);

// Start-up: "Старт сервера, протокол TCP", "Старт сервера, протокол №53 (ВЕЛТ-IP)".
std::string startLine(const char* protocol);
std::string rawStartLine(std::uint32_t protocol);
std::string socketOpenFailed(int error);
std::string bindFailed(int error);
std::string listenFailed(int error);
// A raw responder whose IPv6 socket cannot be opened goes on with IPv4 alone, and says so.
std::string ipv6SocketFailed(int error);

std::string receiveFailed(int error);
std::string sendFailed(int error);
std::string bytesSent(ssize_t sent);
std::string bytesSentToTerminal(ssize_t sent, std::uint32_t terminal);

// The received-packet line: "Принят пакет от 10.1.2.3 (unresolved), протокол TCP, 32 байт данных",
// with the protocol's label, its number ("протокол №53"), or, for a confirmation without the
// reply marker, without the comma after the bracket. Formatted once; nothing received is a format.
std::string receivedPacketLine(const std::string& dottedAddress, const std::string& tail);
std::string packetTail(const char* protocol, std::size_t length);
std::string numberedPacketTail(std::uint32_t protocol, std::size_t length);
std::string unconfirmedPacketTail(const char* protocol, std::size_t length);

// A TCP connection the server ends: quiet for too long, its answer stuck, or one too many.
std::string connectionIdle(const std::string& dottedAddress, int seconds);
std::string connectionSendStuck(const std::string& dottedAddress, int seconds);
std::string connectionRefused(const std::string& dottedAddress, int open);
std::string connectionRefusedForSource(const std::string& dottedAddress, int open);

// The log's bound: once a second per service, the requests whose lines were left out; the
// disk's room below the margin the log keeps free (in MB), and back above it.
std::string requestLinesLeftOut(const std::string& protocol, const LeftOut& left);
std::string diskLow(std::uint64_t freeBytes, std::uint64_t marginBytes);
inline constexpr const char* DiskRoomAgain = "На диске снова достаточно места, строки запросов записываются";
// The protocol a service names in its lines, by its slot: "IP-Клиент", "TCP", "№53 (ВЕЛТ-IP)".
std::string serviceTitle(std::size_t slot);

// A terminal request that binds nothing: its port is another program's (now or lately), or its
// source (or the service) has as many exchanges as it may, each still awaiting its confirmation.
std::string terminalPortForeign(std::uint32_t terminal);
std::string exchangeRefused(std::uint32_t terminal);

// A terminal exchange that gives way to a newer request before its confirmation came.
std::string exchangeAbandoned(std::uint32_t terminal);

}  // namespace connchk::server::messages
