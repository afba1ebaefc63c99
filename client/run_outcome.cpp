#include "client/run_outcome.h"

namespace connchk::client {

const char* roundResultName(RoundResult result) {
  switch (result) {
    case RoundResult::Answered: return "answered";
    case RoundResult::TimedOut: return "timeout";
    case RoundResult::ReceiveError: return "receive-error";
    case RoundResult::SendError: return "send-error";
    case RoundResult::Closed: return "closed";
  }
  return "unknown";
}

}  // namespace connchk::client
