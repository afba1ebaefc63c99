// Running a program the way an ordinary user would: no capabilities, not root.
#pragma once

#include <string>
#include <vector>

namespace connchk::testing {

// setpriv as user and group nobody (65534) with no supplementary groups and every capability
// gone, even from the bounding set; put in front of a command.
std::vector<std::string> withoutRights();
// setpriv with the right to open raw sockets gone, and every other right kept.
inline const std::vector<std::string> DropRawRight = {"setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw", "--"};

// net.ipv4.ping_group_range of the calling thread's network namespace, e.g. "65534 65534" lets
// group nobody open ICMP echo sockets, "1 0" lets no one.
bool setPingGroupRange(const std::string& range);

}  // namespace connchk::testing
