// The log files hold Windows-1251 text; the code, the window and the terminal use UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace connchk {

// Converts UTF-8 text to Windows-1251 bytes. A character without a Windows-1251 form, and any
// byte that is not valid UTF-8, becomes "?".
std::string toWindows1251(const std::string& utf8);
// The same, appended to `out`.
void appendWindows1251(std::string& out, std::string_view utf8);

// The reverse, for tests and tools that read the log files back.
std::string fromWindows1251(const std::string& bytes);

}  // namespace connchk
