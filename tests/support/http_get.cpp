#include "tests/support/http_get.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace connchk::testing {

HttpAnswer httpGet(const std::string& url, const std::vector<std::string>& headers) {
  std::vector<std::string> command{"curl", "-s", "-g", "--max-time", "20", "-w", "\n%{http_code}"};
  for (const std::string& header : headers) {
    command.push_back("-H");
    command.push_back(header);
  }
  command.push_back(url);
  std::vector<char*> argv;
  for (auto& part : command) argv.push_back(part.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);

  HttpAnswer answer;
  const auto last = all.rfind('\n');
  if (last == std::string::npos) return answer;
  answer.status = std::atoi(all.c_str() + last + 1);
  answer.body = all.substr(0, last);
  return answer;
}

std::map<std::string, double> samplesOf(const std::string& text) {
  std::map<std::string, double> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.rfind(' ');
    if (space == std::string::npos) continue;
    samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
  }
  return samples;
}

}  // namespace connchk::testing
