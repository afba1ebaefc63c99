#include "tests/support/rights.h"

#include <fstream>

namespace connchk::testing {

std::vector<std::string> withoutRights() {
  return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all", "--bounding-set=-all", "--"};
}

bool setPingGroupRange(const std::string& range) {
  std::ofstream setting("/proc/sys/net/ipv4/ping_group_range");
  setting << range;
  return setting.flush().good();
}

}  // namespace connchk::testing
