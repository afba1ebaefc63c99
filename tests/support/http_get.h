// HTTP GET for tests through curl (Debian's), and the samples of a Prometheus text page.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace connchk::testing {

struct HttpAnswer {
  int status = 0;  // 0 when nothing answered within the limit
  std::string body;
};

// Gets `url` with curl, giving up after 20 seconds.
HttpAnswer httpGet(const std::string& url, const std::vector<std::string>& headers = {});

// Every sample of a Prometheus text page, keyed by its series as written ("name" or
// "name{label=\"value\",...}"); comment lines are left out.
std::map<std::string, double> samplesOf(const std::string& text);

}  // namespace connchk::testing
