// printf-style formatting into a std::string. Only literal formats are ever passed: nothing
// received or typed is used as a format.
#pragma once

#include <string>

namespace connchk {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace connchk
