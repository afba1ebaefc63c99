// Which way a test's requests leave this host, and with what TTL.
//
// By default the routing table chooses. An operator may name an interface (the socket is tied to
// it with SO_BINDTODEVICE: only that interface's routes are looked at, as `ping -I eth1` does;
// tying needs CAP_NET_RAW on older kernels and always once a socket is tied) or one of this host's
// addresses (the socket is bound to it: the requests carry it as their source, and the route stays
// the table's). The TTL (the hop limit over IPv6) is set on every kind of socket alike: UDP, TCP,
// raw and ICMP. Every mode that opens a socket towards the server calls applyWayOut before its
// first send or connect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/platform/address.h"

namespace connchk::platform {

inline constexpr int MinHopLimit = 1;
inline constexpr int MaxHopLimit = 255;

struct WayOut {
  enum class Kind { Table, Interface, Address };
  Kind kind = Kind::Table;
  std::string name;  // Interface: the interface's name; Address: the address as typed
  Address address;   // Address: this host's address to send from (port 0)
  int hopLimit = 0;  // MinHopLimit..MaxHopLimit; 0 leaves the system's default

  bool viaTable() const { return kind == Kind::Table; }
  // Anything that differs from a plain socket: a way named or a TTL set.
  bool shaped() const { return kind != Kind::Table || hopLimit != 0; }
};

// What an operator typed as the way out: an address literal is an address (a link-local IPv6
// address keeps its zone); anything else is taken as an interface name, which must be 1 to 15
// characters without '/', ':' or blanks. nullopt with `problem` (English) when it is neither.
std::optional<WayOut> parseWayOut(const std::string& text, std::string& problem);

// Whether the way can be taken on this host now: an interface that exists and is up, an address
// that one of this host's interfaces holds.
enum class WayOutFault { None, NoSuchInterface, InterfaceDown, NotThisHostsAddress };
WayOutFault wayOutFault(const WayOut& way);
// The same in words: empty when it can be taken, otherwise why not (English), for the refusal
// before anything is sent.
std::string wayOutProblem(const WayOut& way);

// Puts the way and the TTL on a fresh socket of `family`, before it connects or sends: the TTL
// (IP_TTL or IPV6_UNICAST_HOPS), the interface (SO_BINDTODEVICE), and a bind to the way's address
// with `localPort`, or to the family's any-address when only a port is asked for (the terminal
// exchange's 855). An address of the other family than the socket's fails with EAFNOSUPPORT.
// A failure names the call ("setsockopt IP_TTL", "SO_BINDTODEVICE", "bind"), its code, and a line
// for the log (Russian) where the cause is not the bind itself.
Status applyWayOut(int fd, Family family, const WayOut& way, std::uint16_t localPort = 0);

// A way out with the name an operator gave it, for those who choose among ways by name (the
// exporter's probes): "vpn=tun0"; without "LABEL=" the label is the way's own text.
struct LabelledWay {
  std::string label;
  WayOut way;
};

// "[LABEL=]NAME|ADDRESS"; a label is 1 to 32 letters, digits, '-', '_' or '.'. nullopt with
// `problem` (English) otherwise.
std::optional<LabelledWay> parseLabelledWay(const std::string& text, std::string& problem);

// " через интерфейс eth1" or " с адреса 192.0.2.5", then ", TTL 1" where a TTL was set; empty for
// the table's way without a TTL. Made to follow "Соединение с %s, порт %i" and the like.
std::string wayOutPhrase(const WayOut& way);

}  // namespace connchk::platform
