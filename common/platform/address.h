// A socket address of either family (IPv4 or IPv6, with a port) as a value, its text form, and
// the resolution of what an operator types (a literal or a host name) into one.
// Nothing outside the platform layer needs sockaddr_in, sockaddr_in6 or byte-order calls.
#pragma once

#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/platform/result.h"

namespace connchk::platform {

enum class Family { IPv4, IPv6 };

// Which family a name may resolve to: either (the first address the resolver gives), or one
// forced by the operator (-4, -6).
enum class FamilyChoice { Any, IPv4, IPv6 };

class Address {
 public:
  // 0.0.0.0, port 0.
  Address() = default;

  static Address any(Family family, std::uint16_t port = 0);
  static Address loopback(Family family, std::uint16_t port = 0);
  // 4 bytes for IPv4, 16 for IPv6, in network order (as they stand in a packet header).
  static Address fromBytes(Family family, const std::uint8_t* bytes, std::uint16_t port = 0);

  // A numeric address: dotted IPv4 ("192.0.2.1"), or IPv6 in any RFC 4291 form, optionally in
  // brackets and with a zone ("fe80::1%eth0" or "%2"). An IPv4-mapped IPv6 literal is taken as
  // the IPv4 address it carries. Nothing is looked up; anything else gives nullopt.
  static std::optional<Address> parse(std::string_view text, std::uint16_t port = 0);

  // From a socket address that a call filled in. AF_INET and AF_INET6 only; nullopt for any other
  // family or a length too short for its family. An IPv4-mapped IPv6 address (what a dual-stack
  // socket reports for an IPv4 peer) becomes that IPv4 address; it remembers its mapped form so
  // that a reply through the same socket reaches the peer (see toSockaddr).
  static std::optional<Address> fromSockaddr(const sockaddr* address, socklen_t length);

  Family family() const { return family_; }
  std::uint16_t port() const { return port_; }
  Address withPort(std::uint16_t port) const;
  // The interface index of a link-local IPv6 address, 0 otherwise.
  std::uint32_t scopeId() const { return scope_; }
  // True when this IPv4 address came from a dual-stack socket as ::ffff:a.b.c.d.
  bool isMapped() const { return mapped_; }
  // The same address in its own family's form (for a new socket of family()).
  Address unmapped() const;

  // The address alone: "192.0.2.1", "2001:db8::1" (RFC 5952: lower case, longest zero run as
  // "::"), "fe80::1%eth0" for a link-local address with a zone. A mapped address prints as IPv4.
  std::string text() const;
  // With the port: "192.0.2.1:87", "[2001:db8::1]:87".
  std::string textWithPort() const;

  // The socket address for the calls, in the form the address came in: sockaddr_in for IPv4,
  // sockaddr_in6 for IPv6 and for a mapped IPv4 address. Returns the length to pass.
  socklen_t toSockaddr(sockaddr_storage& out) const;
  // The socket address for a socket of `socketFamily`: an IPv4 address becomes ::ffff:a.b.c.d for
  // an IPv6 (dual-stack) socket, a mapped one plain sockaddr_in for an IPv4 socket.
  socklen_t toSockaddr(sockaddr_storage& out, Family socketFamily) const;

  // Address and port (and zone) equal; the mapped form does not count: ::ffff:127.0.0.1 from a
  // dual-stack socket equals 127.0.0.1.
  bool operator==(const Address& other) const;
  // Orders by family, address, zone, then port: usable as a map key.
  std::strong_ordering operator<=>(const Address& other) const;
  std::size_t hash() const;

 private:
  Family family_ = Family::IPv4;
  std::array<std::uint8_t, 16> bytes_{};  // IPv4 uses the first 4
  std::uint16_t port_ = 0;                // host order
  std::uint32_t scope_ = 0;
  bool mapped_ = false;
};

// Same address, whatever the ports (a sender's statistics count per host).
bool sameHost(const Address& a, const Address& b);

// "IPv4" or "IPv6".
const char* familyName(Family family);

// What an operator typed as the server: a literal (parse) or a host name looked up with
// getaddrinfo. With FamilyChoice::Any the first address the resolver gives is taken (its sort
// prefers IPv6 where both families are reachable); IPv4 or IPv6 takes the first of that family.
// A literal of the other family than the one forced is refused rather than converted. The port
// of the result is 0. A failure's text says why in a line fit for the log.
Result<Address> resolve(const std::string& text, FamilyChoice choice);

// The same, given up as soon as `stopped` holds (it is looked at every 20 ms): getaddrinfo cannot
// be cancelled, so a name is looked up on a thread of its own, which is left to end by itself
// (the resolver's own time-outs end it) and drops its answer. At most MaxLookupsUnderWay such
// threads live at once; beyond them a lookup fails at once rather than pile up.
inline constexpr int MaxLookupsUnderWay = 64;
Result<Address> resolve(const std::string& text, FamilyChoice choice, const std::function<bool()>& stopped);

}  // namespace connchk::platform

template <>
struct std::hash<connchk::platform::Address> {
  std::size_t operator()(const connchk::platform::Address& a) const noexcept { return a.hash(); }
};
