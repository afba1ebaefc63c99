#include "common/console_view.h"

namespace connchk {

void ConsoleView::appendLine(const std::string& line) {
  const std::string text = prefix_ + line + "\n";
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void alertOnStderr(const std::string& program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program.c_str(), message.c_str());
  std::fflush(stderr);
}

}  // namespace connchk
