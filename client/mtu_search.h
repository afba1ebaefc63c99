// The search for the largest request a path carries whole, apart from how a request is sent: a
// bisection over request sizes driven by a probe that tries one size once. A size passes when any
// of its tries is answered; it fails when a hop (or this host) says the packet is too big, or when
// every try is lost. One lost packet is not a limit: a size fails by silence only after several
// tries, more of them once the path has been seen to lose packets of sizes that pass, and the limit
// found by silence is tried that often again before it stands.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace connchk::client {

// What one try of one size found.
struct MtuTry {
  enum class Kind {
    Answered,  // the answer came
    Lost,      // nothing came before the wait ended
    TooBig,    // a hop said "fragmentation needed" / "packet too big", or this host refused the send
    Stopped,   // Stop was asked for
  };
  Kind kind = Kind::Lost;
  int reportedMtu = 0;     // the MTU the hop (or this host's link) named; 0 when none was named
  std::string reportedBy;  // the hop's address; empty for this host's own link

  static MtuTry answered() { return of(Kind::Answered); }
  static MtuTry lost() { return of(Kind::Lost); }
  static MtuTry stopped() { return of(Kind::Stopped); }
  static MtuTry tooBig(int mtu, std::string by) {
    MtuTry t = of(Kind::TooBig);
    t.reportedMtu = mtu;
    t.reportedBy = std::move(by);
    return t;
  }

 private:
  static MtuTry of(Kind kind) {
    MtuTry t;
    t.kind = kind;
    return t;
  }
};

struct MtuSearchLimits {
  std::uint32_t smallest = 12;   // requests are never smaller
  std::uint32_t largest = 1500;  // nor larger
  int tries = 3;                 // tries before silence counts as a limit
  int triesOnLossyPath = 8;      // the same once a size that passed lost a try
};

struct MtuSearchResult {
  std::optional<std::uint32_t> largest;  // the largest size answered; none when even the smallest failed
  std::optional<std::uint32_t> smallestRefused;  // the smallest size that failed; none: no limit met
  bool refusedInSilence = false;  // that size failed without any word from the path: a black hole
  int reportedMtu = 0;            // the smallest MTU a hop named during the search; 0: none
  std::string reportedBy;         // that hop's address
  int localMtu = 0;               // the MTU this host's own link named when it refused a size; 0: none
  bool stopped = false;
  int triesMade = 0;
};

// `overhead` is what the network adds to a request of this kind (IP and transport headers): a
// reported MTU m makes m - overhead the next size tried, so that an honest path is found at once.
MtuSearchResult searchLargestRequest(const MtuSearchLimits& limits, std::uint32_t overhead,
                                     const std::function<MtuTry(std::uint32_t size)>& tryOnce);

}  // namespace connchk::client
