// A trace as an operator reads it (a table of hops per type, one matrix of all types) and as
// scripts read it (JSON of kind "trace").
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "client/trace.h"

namespace connchk::client {

// "Маршрут типа IP-Клиент (udp), протокол №17: дошел до сервера на узле 3", then one line per hop:
// number, address, round trip in ms and what it said, or "*" for a silent hop.
std::vector<std::string> traceTableLines(const TypeTrace& type);

// Every type in one look: type, protocol number, last hop that answered, its address, verdict.
std::vector<std::string> traceMatrixLines(const TraceResult& result);

// "reached", "refused", "silence", "max-hops", "stopped", "not-traced".
const char* traceEndName(TraceEnd end);

nlohmann::ordered_json traceJson(const TraceRequest& request, const TraceResult& result);

}  // namespace connchk::client
