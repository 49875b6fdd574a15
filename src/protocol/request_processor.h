// ProcessRequests: answers the queued requests of every session.
//
// A run walks the sessions front to back and answers each session's queue
// in arrival order: split the request into fields, find the command, check
// its required fields, run its handler and send one reply. An unknown or
// empty command name is dropped without a reply.
//
// Deferral rule: when a deferrable command fails, the session's
// DeferralCounter goes up by one; up to 10 the request stays at the head of
// its queue (the rest of that session's queue waits) and the run arms the
// retry timer; the 11th failure is answered with the failure reply. Every
// answered or dropped request sets the counter back to 0. The first run
// that leaves a request deferred arms the timer and later ones leave its
// expiry as it is; a run that leaves none deferred stops it. Since reads
// also start runs, the tries are counted, not timed.
#ifndef ZT_PROTOCOL_REQUEST_PROCESSOR_H_
#define ZT_PROTOCOL_REQUEST_PROCESSOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include "net/net_server.h"
#include "protocol/fields.h"

namespace zt {

class Database;

// Tries of a deferrable request before its failure is answered.
inline constexpr int kMaxDeferrals = 10;

class RequestDispatcher : public RequestProcessor {
 public:
  RequestDispatcher(NetServer& net, Database& database) : net_(net), database_(database) {}

  void ProcessRequests() override;

 private:
  enum class Outcome { kAnswered, kDropped, kDeferred };
  Outcome Dispatch(ClientSession& session, const std::string& request);

  NetServer& net_;
  Database& database_;
  RequestFields fields_;                  // reused by every request of every run
  std::vector<int32_t> lock_candidates_;  // see CommandContext
};

}  // namespace zt

#endif  // ZT_PROTOCOL_REQUEST_PROCESSOR_H_
