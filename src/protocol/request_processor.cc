#include "protocol/request_processor.h"

#include <chrono>
#include <memory>

#include "engine/database.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {

void RequestDispatcher::SessionClosed(ClientSession& session) {
  auto* client = static_cast<ClientState*>(session.state.get());
  if (client == nullptr) return;
  locks_.RemoveWaiter(*client);
  while (!client->recordsets.empty()) {
    const int32_t handle = client->recordsets.begin()->first;
    owners_.Remove(handle, locks_);
    recordsets_.RecordsetClose(handle);
  }
}

bool RequestDispatcher::ProcessPass(bool retry_due) {
  bool deferred = false;
  SessionList& sessions = net_.sessions();
  // No session is added or removed while a run is in progress: handlers
  // only send, and a failed send never removes its session.
  for (size_t i = 0; i < sessions.size(); ++i) {
    ClientSession& session = sessions[i];
    auto* client = static_cast<ClientState*>(session.state.get());
    if (session.deferral_counter > 0 && !retry_due && client != nullptr && !client->woken) {
      deferred = true;  // waits for the timer or a release of its row
      continue;
    }
    if (client != nullptr) client->woken = false;  // this pass makes the try
    const auto slice_end = std::chrono::steady_clock::now() + kSessionSlice;
    while (!session.requests.empty() && session.pending_output() < kMaxPendingOutput) {
      if (Dispatch(session, session.requests.front()) == Outcome::kDeferred) {
        deferred = true;
        break;
      }
      session.PopRequest();
      if (std::chrono::steady_clock::now() >= slice_end) break;  // the rest in a later run
    }
  }
  return deferred;
}

void RequestDispatcher::ProcessRequests(bool retry_due) {
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
  CommandContext ctx{.database = database_,
                     .recordsets = recordsets_,
                     .client = *static_cast<ClientState*>(session.state.get()),
                     .locks = locks_,
                     .owners = owners_,
                     .fields = fields_,
                     .handle = FieldToInt(fields_[1]),
                     .reply = {},
                     .lock_candidates = lock_candidates_};
  // A try takes the client off the waiters; one that defers lists it again,
  // under the row it met this time.
  locks_.RemoveWaiter(ctx.client);
  bool ok = command->handler != nullptr;
  for (int number = 1; ok && number <= kMaxFields; ++number) {
    if ((command->required & (1u << number)) && ctx.field(number).empty()) ok = false;
  }
  // Another client's recordset: refused at once, like a missing one (no
  // wait can make it this client's).
  if (ok && TakesHandle(*command) && recordsets_.Find(ctx.handle) != nullptr &&
      !RecordsetOwners::Owns(ctx.client, ctx.handle)) {
    ++stats_.foreign_handles;
    Reply(session, *command, ctx.handle, FailedReply(*command, ctx.handle), /*wrote=*/false);
    Count(*command, started, /*failed=*/true);
    return Outcome::kAnswered;
  }
  if (ok) {
    const uint64_t errors_before = database_.error_count();
    ok = command->handler(ctx);
    if (database_.error_count() != errors_before) database_.GetLastErrorText(&ctx.client.last_error);
  }
  // What the request wrote, whether it succeeded or not, is one change.
  const bool wrote = database_.EndChange();
  if (ok) {
    Reply(session, *command, ctx.handle, std::move(ctx.reply), wrote);
    Count(*command, started, /*failed=*/false);
    return Outcome::kAnswered;
  }
  if (command->deferrable && ctx.conflict) {
    const int64_t now = NowMs();
    if (session.deferral_counter++ == 0) ctx.client.waiting_since_ms = now;
    if (now - ctx.client.waiting_since_ms < int64_t{kWaitRetryDelays} * net_.retry_delay_ms()) {
      ++stats_.of(*command).deferrals;
      locks_.AddWaiter(ctx.conflict_row, ctx.client);
      // A deferred request's writes are still committed with the run.
      if (wrote) Reply(session, *command, ctx.handle, {}, wrote);
      return Outcome::kDeferred;
    }
    session.deferral_counter = 0;
    ++stats_.of(*command).final_failures;
  }
  Reply(session, *command, ctx.handle, FailedReply(*command, ctx.handle), wrote);
  Count(*command, started, /*failed=*/true);
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
    net_.SendToClient(session, text);
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
    if (!held.text.empty()) net_.SendToClient(*held.session, held.text);
  }
  held_.clear();
  held_sessions_.clear();
}

}  // namespace zt
