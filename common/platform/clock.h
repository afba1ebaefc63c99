// Clock and sleeping, as the log and the tests need them.
#pragma once

#include <string>

namespace connchk::platform {

// The local time of day as "HH:mm:ss" (24-hour, leading zeros).
std::string localTimeOfDay();

void sleepMs(int ms);

}  // namespace connchk::platform
