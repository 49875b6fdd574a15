#include "protocol/request_processor.h"

#include <chrono>
#include <memory>
#include <optional>

#include "engine/database.h"
#include "protocol/authorisation.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {

// A long request in progress: its own copy of the request (the coroutine
// keeps pointers into it), its context and its clock.
struct RequestDispatcher::Job {
  const Command* command;
  RequestFields fields;
  CommandContext ctx;
  SliceClock clock;
  std::optional<zt::Job<bool>> task;
  uint64_t stamp = 0;  // Stamp() when this attempt began
  int restarts = 0;
  uint64_t errors_before = 0;
  bool writes = false;  // the long UPDATE
  std::chrono::steady_clock::time_point started;

  Job(const Command& c, const RequestFields& f, const CommandContext& base,
      std::chrono::microseconds slice)
      : command(&c),
        fields(f),
        ctx{.database = base.database,
            .recordsets = base.recordsets,
            .client = base.client,
            .locks = base.locks,
            .owners = base.owners,
            .fields = fields,
            .handle = base.handle,
            .reply = {}},
        clock(slice) {}
  void Begin() { task.emplace(command->job(ctx, clock)); }
};

RequestDispatcher::RequestDispatcher(NetServer& net, Database& database, Recordsets& recordsets)
    : net_(net), database_(database), recordsets_(recordsets) {}

RequestDispatcher::~RequestDispatcher() = default;

void RequestDispatcher::SessionClosed(ClientSession& session) {
  auto* client = static_cast<ClientState*>(session.state.get());
  if (client == nullptr) return;
  if (const auto it = jobs_.find(client); it != jobs_.end()) {
    // Given up between slices: a reading job leaves nothing; a long UPDATE
    // was never answered, and nothing else changed while it ran, so what it
    // wrote so far is dropped whole.
    const bool writes = it->second->writes;
    jobs_.erase(it);
    if (writes) {
      database_.DiscardChange();
      database_.EndLongChange();
    }
  }
  if (writer_ == client) {
    writer_ = nullptr;
    writer_started_ = false;
  }
  locks_.RemoveWaiter(*client);
  while (!client->recordsets.empty()) {
    const int32_t handle = client->recordsets.begin()->first;
    owners_.Remove(handle, locks_);
    recordsets_.RecordsetClose(handle);
  }
}

bool RequestDispatcher::ProcessPass(bool retry_due) {
  bool deferred = false;
  // Connections first, then the local sessions.
  std::vector<ClientSession*>& order = pass_order_;
  order.clear();
  for (ClientSession& session : net_.sessions()) order.push_back(&session);
  for (LocalSession& local : locals_) order.push_back(&local);
  // Sessions whose job runs get their slice after everybody else's
  // requests: a short request that came in during a slice waits for that
  // slice at most.
  std::vector<ClientSession*>& with_jobs = with_jobs_;
  with_jobs.clear();
  // No session is added or removed while a run is in progress: handlers
  // only send, and a failed send never removes its session (a local one
  // closed by its owner goes at the end of the run).
  for (ClientSession* const each : order) {
    ClientSession& session = *each;
    auto* client = static_cast<ClientState*>(session.state.get());
    if (session.deferral_counter > 0 && !retry_due && client != nullptr && !client->woken) {
      deferred = true;  // waits for the timer or a release of its row
      continue;
    }
    if (client != nullptr) client->woken = false;  // this pass makes the try
    if (client != nullptr && jobs_.count(client) != 0) {
      with_jobs.push_back(&session);
      continue;
    }
    const auto slice_end = std::chrono::steady_clock::now() + kSessionSlice;
    while (!session.requests.empty() && session.pending_output() < kMaxPendingOutput) {
      const Outcome outcome = Dispatch(session, session.requests.front());
      if (outcome == Outcome::kDeferred) {
        deferred = true;
        break;
      }
      if (outcome == Outcome::kRunning || outcome == Outcome::kWaiting) break;
      session.PopRequest();
      if (std::chrono::steady_clock::now() >= slice_end) break;  // the rest in a later run
    }
  }
  if (!with_jobs.empty()) {
    // The replies made so far leave before the slices: they never wait
    // for one (a commit that fails still answers each writer in order).
    ReleaseReplies();
    net_.SendQueuedReplies();
  }
  for (ClientSession* const each : with_jobs) {
    ClientSession& session = *each;
    const auto job = jobs_.find(static_cast<ClientState*>(session.state.get()));
    if (job == jobs_.end() || session.pending_output() >= kMaxPendingOutput) continue;
    // Its later requests wait for the next run.
    const Outcome outcome = Advance(session, *job->second);
    if (outcome == Outcome::kDeferred) {
      deferred = true;
    } else if (outcome == Outcome::kAnswered || outcome == Outcome::kDropped) {
      session.PopRequest();
    }
  }
  return deferred;
}

void RequestDispatcher::ProcessRequests(bool retry_due) {
  in_run_ = true;
  uint64_t wakes = locks_.wakes();
  bool deferred = ProcessPass(retry_due);
  // Rows released in the pass may let the requests waiting on them (and
  // passed over before the release) through: they get their try now. Each
  // further pass needs a waiter woken by a release that an answered request
  // made, so this ends with the queues.
  while (deferred && locks_.wakes() != wakes) {
    wakes = locks_.wakes();
    deferred = ProcessPass(/*retry_due=*/false);
  }
  ReleaseReplies();
  // The timer runs only while some request waits for its next try; a run
  // that answered everything at once leaves it alone (both calls are free
  // when the timer is already as asked).
  if (deferred) {
    net_.ArmRetryTimer();
  } else {
    net_.StopRetryTimer();
  }
  in_run_ = false;
  DeliverLocal();
}

ClientSession& RequestDispatcher::OpenLocal(const SessionIdentity& identity, std::string peer,
                                            LocalReplyFunction on_reply) {
  LocalSession& local = locals_.emplace_back();
  local.identity = identity;
  local.identity.certificate_checked = true;
  local.peer_address = std::move(peer);
  local.accepted_ms = NowMs();
  local.on_reply = std::move(on_reply);
  return local;
}

void RequestDispatcher::AskLocal(ClientSession& local, std::string_view request) {
  local.QueueRequest(request);
  net_.RequestRun();
}

void RequestDispatcher::CloseLocal(ClientSession& local) {
  static_cast<LocalSession&>(local).closed = true;
  if (!in_run_ && !delivering_) DeliverLocal();
}

bool RequestDispatcher::HasOwnWork() const {
  for (const LocalSession& local : locals_) {
    if (!local.closed && !local.requests.empty() && local.deferral_counter == 0) return true;
  }
  return false;
}

void RequestDispatcher::DeliverLocal() {
  // An owner's function may queue requests (they wait for the next run) or
  // close its session; it never opens one, so the list only shrinks here.
  delivering_ = true;
  for (LocalSession& local : locals_) {
    std::vector<std::string> replies = std::move(local.replies);
    local.replies.clear();
    for (std::string& reply : replies) {
      if (local.closed) break;
      local.on_reply(std::move(reply));
    }
  }
  delivering_ = false;
  for (auto it = locals_.begin(); it != locals_.end();) {
    if (!it->closed) {
      ++it;
      continue;
    }
    SessionClosed(*it);
    it = locals_.erase(it);
  }
}

void RequestDispatcher::Send(ClientSession& session, std::string_view text) {
  if (!locals_.empty()) {
    if (auto* local = dynamic_cast<LocalSession*>(&session)) {
      local->replies.emplace_back(text);
      return;
    }
  }
  net_.SendToClient(session, text);
}

std::vector<SessionView> RequestDispatcher::DescribeSessions() const {
  std::vector<SessionView> views;
  const auto describe = [&](const ClientSession& session, bool local) {
    SessionView view;
    view.peer = session.peer_address;
    view.connected_ms = session.accepted_ms;
    view.requests = session.requests_received;
    view.user = session.identity.authenticated ? session.identity.user : std::string();
    view.tls = session.identity.tls;
    view.local = local;
    view.waiting = session.deferral_counter > 0;
    if (const auto* client = static_cast<const ClientState*>(session.state.get())) {
      view.recordsets = client->recordsets.size();
      for (const auto& [handle, entry] : client->recordsets) view.row_locks += entry.locked_rows.size();
      view.running_job = jobs_.count(client) != 0;
    }
    views.push_back(std::move(view));
  };
  for (const ClientSession& session : net_.sessions()) describe(session, false);
  for (const LocalSession& local : locals_) describe(local, true);
  return views;
}

bool RequestDispatcher::MayRun(const ClientState& client, Access access) const {
  if (access == Access::kSession) return true;
  if (writer_ != nullptr && writer_ != &client) return false;
  if (access != Access::kWrite && access != Access::kLock) return true;
  for (const auto& [owner, job] : jobs_) {
    if (owner != &client && job->clock.reads() == SliceClock::Reads::kHolding) return false;
  }
  return true;
}

uint64_t RequestDispatcher::Stamp(const Job& job) const {
  // LOCKALL reads the row locks; every other job the database.
  return job.command->access == Access::kLock ? locks_.changes() : database_.change_count();
}

RequestDispatcher::Outcome RequestDispatcher::Advance(ClientSession& session, Job& job) {
  // Nothing that reads the database runs beside a long UPDATE: the others
  // wait for its end.
  if (writer_started_ && writer_ != &job.ctx.client && job.command->access != Access::kSession) {
    return Outcome::kRunning;
  }
  if (job.clock.reads() == SliceClock::Reads::kRestartable && Stamp(job) != job.stamp) {
    ++stats_.job_restarts;
    job.task.reset();
    job.clock.Restart();
    job.ctx.reply.clear();
    job.ctx.conflict = false;
    if (++job.restarts >= kMaxJobRestarts) job.clock.Hold();
    job.stamp = Stamp(job);
    job.Begin();
  }
  ++stats_.job_slices;
  const uint64_t errors_before = database_.error_count();
  const bool done = job.task->Step(job.clock);
  if (database_.error_count() != errors_before) database_.GetLastErrorText(&job.ctx.client.last_error);
  if (!done) return Outcome::kRunning;
  // The job is over: its session's queue moves on.
  const std::unique_ptr<Job> finished = std::move(jobs_.at(&job.ctx.client));
  jobs_.erase(&finished->ctx.client);
  const bool ok = finished->task->result();
  bool wrote = false;
  if (finished->writes) {
    database_.EndLongChange();
    writer_ = nullptr;
    writer_started_ = false;
    wrote = database_.EndChange();
  }
  return Conclude(session, *finished->command, finished->ctx, ok, wrote, finished->started);
}

RequestDispatcher::Outcome RequestDispatcher::Dispatch(ClientSession& session,
                                                       std::string_view request) {
  SplitFields(request, fields_);
  const Command* command = FindCommand(fields_[0]);
  if (command == nullptr) {
    ++stats_.unknown_commands;
    return Outcome::kDropped;
  }
  const auto started = std::chrono::steady_clock::now();

  if (session.state == nullptr) session.state = std::make_unique<ClientState>();
  if (authoriser_ != nullptr) {
    std::string answer;
    switch (authoriser_->Admit(session, *command, fields_,
                               *static_cast<ClientState*>(session.state.get()), answer)) {
      case Admission::kProceed:
        break;
      case Admission::kWait:
        ++session.deferral_counter;
        return Outcome::kDeferred;
      case Admission::kAnswer:
        Reply(session, *command, FieldToInt(fields_[1]), answer, /*wrote=*/false);
        Count(*command, started, /*failed=*/answer != command->name);
        return Outcome::kAnswered;
    }
  }
  CommandContext ctx{.database = database_,
                     .recordsets = recordsets_,
                     .client = *static_cast<ClientState*>(session.state.get()),
                     .locks = locks_,
                     .owners = owners_,
                     .fields = fields_,
                     .handle = FieldToInt(fields_[1]),
                     .reply = {}};
  bool ok = command->handler != nullptr || command->job != nullptr;
  for (int number = 1; ok && number <= kMaxFields; ++number) {
    if ((command->required & (1u << number)) && ctx.field(number).empty()) ok = false;
  }
  // Another client's recordset: refused at once, like a missing one (no
  // wait can make it this client's).
  if (ok && TakesHandle(*command) && recordsets_.Find(ctx.handle) != nullptr &&
      !RecordsetOwners::Owns(ctx.client, ctx.handle)) {
    locks_.RemoveWaiter(ctx.client);
    ++stats_.foreign_handles;
    Reply(session, *command, ctx.handle, FailedReply(*command, ctx.handle), /*wrote=*/false);
    Count(*command, started, /*failed=*/true);
    return Outcome::kAnswered;
  }
  if (ok && !MayRun(ctx.client, command->access)) {
    ++stats_.job_waits;
    return Outcome::kWaiting;
  }
  // A try takes the client off the waiters; one that defers lists it again,
  // under the row it met this time.
  locks_.RemoveWaiter(ctx.client);
  const bool long_update = ok && command->job == HandleRecordsetUpdate &&
                           recordsets_.PendingRows(ctx.handle) > kLongUpdateRows;
  if (long_update && !writer_started_) {
    // It starts once nothing else is committing or running as a job; from
    // now on nobody else starts touching the database.
    writer_ = &ctx.client;
    if (!held_.empty() || !jobs_.empty()) {
      ++stats_.job_waits;
      return Outcome::kWaiting;
    }
    writer_started_ = true;
    database_.BeginLongChange();
  }
  if (ok && command->job != nullptr && (long_update || command->job != HandleRecordsetUpdate)) {
    auto job = std::make_unique<Job>(*command, fields_, ctx, job_slice_);
    job->writes = long_update;
    job->started = started;
    job->stamp = Stamp(*job);
    job->Begin();
    Job& running = *job;
    jobs_.emplace(&ctx.client, std::move(job));
    const Outcome outcome = Advance(session, running);
    if (outcome == Outcome::kRunning) ++stats_.jobs;
    return outcome;
  }
  if (ok) {
    const uint64_t errors_before = database_.error_count();
    if (command->handler != nullptr) {
      ok = command->handler(ctx);
    } else {
      SliceClock whole = SliceClock::Whole();
      ok = RunWhole(command->job(ctx, whole));
    }
    if (database_.error_count() != errors_before) database_.GetLastErrorText(&ctx.client.last_error);
  }
  // What the request wrote, whether it succeeded or not, is one change
  // (none while a long UPDATE is being written: its change is open).
  const bool wrote = database_.long_change() ? false : database_.EndChange();
  return Conclude(session, *command, ctx, ok, wrote, started);
}

RequestDispatcher::Outcome RequestDispatcher::Conclude(ClientSession& session,
                                                       const Command& command,
                                                       CommandContext& ctx, bool ok, bool wrote,
                                                       std::chrono::steady_clock::time_point started) {
  if (ok) {
    Reply(session, command, ctx.handle, std::move(ctx.reply), wrote);
    Count(command, started, /*failed=*/false);
    return Outcome::kAnswered;
  }
  if (command.deferrable && ctx.conflict) {
    const int64_t now = NowMs();
    if (session.deferral_counter++ == 0) ctx.client.waiting_since_ms = now;
    if (now - ctx.client.waiting_since_ms < int64_t{kWaitRetryDelays} * net_.retry_delay_ms()) {
      ++stats_.of(command).deferrals;
      locks_.AddWaiter(ctx.conflict_row, ctx.client);
      // A deferred request's writes are still committed with the run.
      if (wrote) Reply(session, command, ctx.handle, {}, wrote);
      return Outcome::kDeferred;
    }
    session.deferral_counter = 0;
    ++stats_.of(command).final_failures;
  }
  Reply(session, command, ctx.handle, FailedReply(command, ctx.handle), wrote);
  Count(command, started, /*failed=*/true);
  return Outcome::kAnswered;
}

void RequestDispatcher::Count(const Command& command, std::chrono::steady_clock::time_point started,
                              bool failed) {
  CommandCounters& counters = stats_.of(command);
  ++counters.requests;
  if (failed) ++counters.failures;
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
  stats_.latency[static_cast<size_t>(GroupOf(command))].Observe(spent.count());
}

std::string RequestDispatcher::FailedReply(const Command& command, int32_t handle) {
  const char* reply_name = command.reply_name ? command.reply_name : command.name;
  return command.failure == FailureShape::kFlagZero ? FlagReply(reply_name, handle, false)
                                                    : FailureReply(reply_name);
}

void RequestDispatcher::Reply(ClientSession& session, const Command& command, int32_t handle,
                              std::string text, bool wrote) {
  // A session's replies leave in order: once one waits for the commit, the
  // ones after it wait too.
  if (!wrote && (held_.empty() || held_sessions_.count(&session) == 0)) {
    Send(session, text);
    return;
  }
  held_sessions_.insert(&session);
  held_.push_back(HeldReply{&session, &command, handle, std::move(text), wrote});
}

void RequestDispatcher::ReleaseReplies() {
  if (held_.empty()) return;
  std::string why;
  const bool durable = database_.Commit(&why);
  stats_.Committed(durable, why);
  for (HeldReply& held : held_) {
    if (!durable && held.wrote) {
      // The change is gone: its request fails, with the reason where the
      // client looks for it.
      const std::string text = std::string(held.command->name) +
                               ": The change could not be made durable: " + why;
      if (Recordset* recordset = recordsets_.Find(held.handle)) {
        recordset->SetError(text);
      } else {
        database_.SetErrorQuietly(text);
      }
      if (held.text.empty()) continue;  // deferred: it is tried again
      held.text = FailedReply(*held.command, held.handle);
    }
    if (!held.text.empty()) Send(*held.session, held.text);
  }
  held_.clear();
  held_sessions_.clear();
}

}  // namespace zt
