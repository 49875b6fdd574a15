// ProcessRequests: answers the queued requests of every session.
//
// A run walks the sessions front to back and answers each session's queue
// in arrival order: split the request into fields, find the command, check
// its required fields, run its handler and send one reply. An unknown or
// empty command name is dropped without a reply.
//
// Deferral rule: when a deferrable command fails on a conflict (a row lock
// held already; the handler says so and names the row), the request stays
// at the head of its queue (the rest of that session's queue waits), the
// session's DeferralCounter goes up by one, and its client is listed in the
// RowLockTable as waiting on that row. The request is tried again only when
// that can change its outcome:
//   - when the retry timer fires: the first run that leaves a request
//     waiting arms it for RetryDelay, later ones leave its expiry as it is,
//     and a run that leaves none waiting stops it;
//   - at once when the row it waits on is released, in the run that
//     released it (so a waiter gets a lock in the run that freed it).
// Nothing else brings a try: requests of other clients, and locks released
// on other rows, cost a waiter nothing, and a release costs tries in
// proportion to the requests waiting on that row. A failed try made once
// kWaitRetryDelays retry delays have passed since the request's first
// failure is answered with the failure reply; a failed try before that
// leaves it waiting, so tries that releases bring early never shorten the
// wait. Every answered or dropped request sets the counter back to 0.
// Slices: a session is answered for kSessionSlice per pass, and a request
// begun is finished; the network layer runs again for the rest.
//
// Long requests (the commands with a job handler: opens, sorts, finds,
// filters, selections, LOCKALL, DELETEALL, UPDATE) run as jobs, a slice of
// kSessionSlice at a time (engine/slices.h): a job that does not end in
// its first slice stays at the head of its session's queue (the session's
// later requests wait behind it, so replies keep their order) and gets the
// next slice in the session's turn of each later pass. Other sessions are
// served between slices. A job's result is the result of the whole request
// run at one moment:
//   - a job that reads the database (or, for LOCKALL, the row locks) and
//     has changed nothing yet is started over when what it read changed
//     between its slices; its moment is the start of its last attempt.
//     After kMaxJobRestarts restarts it holds writers off from its next
//     start, so it ends under any write load;
//   - a job that has begun to change things and still reads holds writers
//     off (requests that write stored data or take or release row locks
//     wait at the head of their queues) until it ends;
//   - a job that works only on what it read and on its own recordset
//     (detached) needs nothing of others;
//   - an UPDATE of more than kLongUpdateRows pending rows is one change
//     written over many slices: it starts only when nothing else is
//     committing or running as a job, and until it ends every other
//     client's request that touches the database waits (requests on a
//     client's own state, such as STARTTRANSACTION, are answered). Its
//     change is sealed and committed once, whole, at its end; a client
//     gone before then leaves nothing of it. A shorter UPDATE runs whole.
// A waiting request is tried again in every run (the network layer keeps
// runs coming while a queue is not empty).
//
// Back-pressure: a session whose unsent replies reach kMaxPendingOutput is
// not answered further in the run; the network layer starts a run again
// once its socket has taken them below the bound.
//
// Handles: a client may use only the recordsets it created. A command on a
// recordset of another client fails at once, as for a handle that does not
// exist; so no client can close, read or change another's recordsets.
//
// Any failure other than a conflict is answered at once: waiting cannot
// mend it.
//
// Each client reads its own database-level error text: whenever a request
// leaves a new text in the Database, the client's copy takes it.
//
// In-process clients (the web console): a local session has no connection;
// its requests are queued by its owner and served in every run after the
// connections' sessions, under every rule above (authorisation, jobs in
// slices, deferral, replies held for the commit). Its replies are handed to
// its owner's function at the end of the run, in order, never from inside
// a handler; the function may queue more requests or close the session.
// A closed local session releases what its client held, like a closed
// connection, at the end of the run.
#ifndef ZT_PROTOCOL_REQUEST_PROCESSOR_H_
#define ZT_PROTOCOL_REQUEST_PROCESSOR_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/net_server.h"
#include "protocol/command_table.h"
#include "protocol/client_state.h"
#include "protocol/fields.h"
#include "protocol/request_stats.h"

namespace zt {

class Authoriser;
class Database;
class Recordsets;
struct Command;

// Which client created each open recordset: a recordset closed by anyone
// leaves its creator's state with it, so a handle reused later is never
// mistaken for the old one.
class RecordsetOwners {
 public:
  // How many recordsets one client may hold ([SERVER]
  // MaxRecordsetsPerConnection).
  void set_max_per_client(size_t max) { max_per_client_ = max; }
  bool AtLimit(const ClientState& client) const {
    return client.recordsets.size() >= max_per_client_;
  }
  size_t max_per_client() const { return max_per_client_; }
  uint64_t refusals = 0;  // CREATERECORDSETs refused at the limit
  // Whether the client created the open recordset of this handle.
  static bool Owns(const ClientState& client, int32_t handle) {
    return client.recordsets.count(handle) != 0;
  }
  void Add(int32_t handle, ClientState& client) {
    owners_[handle] = &client;
    client.recordsets[handle];
  }
  // Forgets the handle and its creator's entry (with the entry's locks).
  void Remove(int32_t handle, RowLockTable& locks) {
    const auto it = owners_.find(handle);
    if (it == owners_.end()) return;
    locks.UnlockAll(*it->second, handle);
    it->second->recordsets.erase(handle);
    owners_.erase(it);
  }

 private:
  std::unordered_map<int32_t, ClientState*> owners_;
  size_t max_per_client_ = 256;
};

// A session's share of a run: once its requests have taken this long, the
// rest of its queue waits for the next run (other clients go first).
inline constexpr std::chrono::milliseconds kSessionSlice{2};

// A job started over this many times holds writers off from its next start.
inline constexpr int kMaxJobRestarts = 2;
// An UPDATE of more pending rows than this is written in slices.
inline constexpr size_t kLongUpdateRows = 256;

// Retry delays a deferrable request waits, from its first failed try,
// before a failed try is answered with its failure.
inline constexpr int kWaitRetryDelays = 10;

// What the console shows of one session (a connection's or a local one).
struct SessionView {
  std::string peer;
  int64_t connected_ms = 0;  // NowMs() at the accept
  uint64_t requests = 0;
  std::string user;  // empty: not authenticated
  bool tls = false;
  bool local = false;
  size_t recordsets = 0;
  size_t row_locks = 0;
  bool waiting = false;  // its head request waits for a lock, a job or a retry
  bool running_job = false;
};

// The replies of a local session, in order.
using LocalReplyFunction = std::function<void(std::string reply)>;

class RequestDispatcher : public RequestProcessor {
 public:
  RequestDispatcher(NetServer& net, Database& database, Recordsets& recordsets);
  ~RequestDispatcher() override;

  void ProcessRequests(bool retry_due) override;
  // The length of a job's slice (tests shorten it; zero: one step a slice).
  void set_job_slice(std::chrono::microseconds slice) { job_slice_ = slice; }
  void set_max_recordsets_per_client(size_t max) { owners_.set_max_per_client(max); }
  // Every request is first put to the authoriser (protocol/authorisation.h);
  // null (the default): every request runs.
  void set_authoriser(Authoriser* authoriser) { authoriser_ = authoriser; }
  // Closes every recordset the client created, in creation order (a handle
  // that another client already closed is no longer listed), with its locks.
  void SessionClosed(ClientSession& session) override;

  // A local session with this identity and peer address (the address the
  // authoriser's rules see). Lives until CloseLocal.
  ClientSession& OpenLocal(const SessionIdentity& identity, std::string peer,
                           LocalReplyFunction on_reply);
  // Queues a request and asks the network layer for a run.
  void AskLocal(ClientSession& local, std::string_view request);
  // The session goes at the end of the current run (at once outside one).
  void CloseLocal(ClientSession& local);
  bool HasOwnWork() const override;
  size_t local_count() const { return locals_.size(); }
  // Every session's view, connections first.
  std::vector<SessionView> DescribeSessions() const;

  const RowLockTable& locks() const { return locks_; }
  const RequestStats& stats() const { return stats_; }
  // CREATERECORDSETs refused by MaxRecordsetsPerConnection.
  uint64_t recordset_limit_refusals() const { return owners_.refusals; }

 private:
  // kRunning: a job was started and goes on in later slices; kWaiting: the
  // request may not run beside another client's job yet.
  enum class Outcome { kAnswered, kDropped, kDeferred, kRunning, kWaiting };
  struct Job;
  Outcome Dispatch(ClientSession& session, std::string_view request);
  // Whether a request of this access may run now beside other sessions'
  // jobs (false: it waits).
  bool MayRun(const ClientState& client, Access access) const;
  // Gives the session's job its next slice (or starts it over); kRunning
  // while it goes on.
  Outcome Advance(ClientSession& session, Job& job);
  // What a job's reads depend on, now.
  uint64_t Stamp(const Job& job) const;
  // The end of a handler's run, job or not: error text, reply, counters,
  // the deferral rule.
  Outcome Conclude(ClientSession& session, const Command& command, CommandContext& ctx, bool ok,
                   bool wrote, std::chrono::steady_clock::time_point started);
  // One pass over the sessions; see the deferral rule.
  bool ProcessPass(bool retry_due);
  // An answered request: its counters and its group's latency.
  void Count(const Command& command, std::chrono::steady_clock::time_point started, bool failed);
  static std::string FailedReply(const Command& command, int32_t handle);
  // Sends a reply, or holds it until the run's changes are committed: a
  // reply to a request that wrote, and every later reply of its session.
  void Reply(ClientSession& session, const Command& command, int32_t handle, std::string text,
             bool wrote);
  // The end of a run: commits its changes (one log sync for all of them),
  // then sends the held replies; when the commit fails, each request that
  // wrote is answered with its failure instead.
  void ReleaseReplies();

  // Sends to a connection's session, or keeps for a local one's owner.
  void Send(ClientSession& session, std::string_view text);
  // Hands local sessions their replies, then drops the closed ones.
  void DeliverLocal();

  struct LocalSession : ClientSession {
    LocalReplyFunction on_reply;
    std::vector<std::string> replies;  // made in the run, not yet handed over
    bool closed = false;
  };

  struct HeldReply {
    ClientSession* session;
    const Command* command;
    int32_t handle;
    std::string text;  // empty: a deferred request that wrote
    bool wrote;
  };

  NetServer& net_;
  Authoriser* authoriser_ = nullptr;
  Database& database_;
  Recordsets& recordsets_;
  RowLockTable locks_;
  RecordsetOwners owners_;
  RequestStats stats_;
  std::vector<HeldReply> held_;
  std::unordered_set<const ClientSession*> held_sessions_;
  RequestFields fields_;  // reused by every request of every run
  std::chrono::microseconds job_slice_{std::chrono::duration_cast<std::chrono::microseconds>(
      kSessionSlice)};
  // The running jobs, one per client at most. Clients, not sessions, are
  // the keys: a session moves when an earlier one is removed, its state
  // stays where it is.
  std::unordered_map<const ClientState*, std::unique_ptr<Job>> jobs_;
  // The client whose long UPDATE runs, or waits to start (nobody else
  // touches the database meanwhile); null: none.
  const ClientState* writer_ = nullptr;
  bool writer_started_ = false;
  std::list<LocalSession> locals_;  // stable addresses: owners keep references
  bool in_run_ = false;
  bool delivering_ = false;  // DeliverLocal is handing replies over
  std::vector<ClientSession*> pass_order_;  // ProcessPass's scratch
  std::vector<ClientSession*> with_jobs_;   // ProcessPass's scratch
};

}  // namespace zt

#endif  // ZT_PROTOCOL_REQUEST_PROCESSOR_H_
