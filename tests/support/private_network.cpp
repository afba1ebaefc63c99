#include "tests/support/private_network.h"

#include "tests/support/network_namespace.h"

namespace connchk::testing {
namespace {
bool ready = false;
std::string problem = "not attempted";
}  // namespace

bool privateNetworkReady() { return ready; }
const std::string& privateNetworkProblem() { return problem; }

}  // namespace connchk::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  connchk::testing::ready = connchk::testing::enterPrivateNetwork(connchk::testing::problem);
  return RUN_ALL_TESTS();
}
