// Handlers of the row-lock commands. The server keeps row locks itself, in
// the RowLockTable (protocol/client_state.h): a row counts as locked while
// any recordset of any client holds it. The identifier is the data-file
// offset of the row's record as RecordsetGetCurrentRowOffset gives it,
// compared as a number whatever table it belongs to; every row not yet
// stored yields -1, so those count as one row. The locks are advisory: the
// editing commands never consult them.
//
// Only the client that created a recordset can lock rows through it (the
// lock is kept in that client's entry for the handle). A lock request that
// meets a row locked already is a conflict, on that row: the dispatcher
// retries it when that row is released or the retry timer fires, and
// answers the failure once it has waited ten retry delays. Any other
// failure (no such recordset, no current row, not this client's recordset)
// is answered at once.
#include "protocol/client_state.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// The current row's identifier; false when the recordset has no current
// row (or is unknown).
bool CurrentRowIdentifier(CommandContext& ctx, int32_t& identifier) {
  int64_t offset = -1;
  if (!ctx.recordsets.RecordsetGetCurrentRowOffset(ctx.handle, offset)) return false;
  // Data-file offsets stay below 2^31, so nothing is lost.
  identifier = static_cast<int32_t>(offset);
  return true;
}

}  // namespace

// Answers 1 to whoever holds the lock, the asker included.
bool HandleRecordsetIsCurrentRowLocked(CommandContext& ctx) {
  int32_t identifier = 0;
  if (!CurrentRowIdentifier(ctx, identifier)) return false;
  ctx.reply = FlagReply("RECORDSETISCURRENTROWLOCKED", ctx.handle, ctx.locks.IsLocked(identifier));
  return true;
}

// A row locked by anybody, the asker and this very recordset included,
// cannot be locked again: that is the one failure worth another try.
bool HandleRecordsetLockCurrentRow(CommandContext& ctx) {
  int32_t identifier = 0;
  if (!CurrentRowIdentifier(ctx, identifier)) return false;
  if (ctx.client.Entry(ctx.handle) == nullptr) return false;  // not this client's recordset
  if (!ctx.locks.Lock(identifier, ctx.client, ctx.handle)) {
    ctx.conflict = true;
    ctx.conflict_row = identifier;
    return false;
  }
  ctx.reply = EchoReply("RECORDSETLOCKCURRENTROW", ctx.handle);
  return true;
}

// Only the lock this client holds through this handle can be released.
bool HandleRecordsetUnlockCurrentRow(CommandContext& ctx) {
  int32_t identifier = 0;
  if (!CurrentRowIdentifier(ctx, identifier)) return false;
  if (!ctx.locks.Unlock(identifier, ctx.client, ctx.handle)) return false;
  ctx.reply = EchoReply("RECORDSETUNLOCKCURRENTROW", ctx.handle);
  return true;
}

// All or nothing: walks every active row; a row locked by another client
// (or through another recordset of this one) ends the walk there and locks
// nothing, so the current row is left on the conflicting row. After
// success the current row is where the walk stopped. A row this entry
// already holds stays held once.
// In slices: the walk only reads the locks (restarted when they change
// meanwhile); the locking holds other lock requests off until it is done.
Task<bool> HandleRecordsetLockAll(CommandContext& ctx, SliceClock& clock) {
  std::vector<int32_t> candidates;
  bool conflict = false;
  for (bool moved = ctx.recordsets.RecordsetMoveFirst(ctx.handle); moved;
       moved = ctx.recordsets.RecordsetMoveNext(ctx.handle)) {
    co_await clock.Pause();
    int32_t identifier = 0;
    if (!CurrentRowIdentifier(ctx, identifier)) continue;
    if (ctx.locks.IsLocked(identifier) && !ctx.locks.HeldBy(identifier, ctx.client, ctx.handle)) {
      conflict = true;
      ctx.conflict_row = identifier;
      break;
    }
    candidates.push_back(identifier);
  }
  ctx.conflict = conflict;
  const bool owned = !conflict && ctx.client.Entry(ctx.handle) != nullptr;
  if (!owned) co_return false;
  clock.Hold();
  // A row already held through this entry stays as it is (Lock refuses it).
  for (const int32_t identifier : candidates) {
    co_await clock.Pause();
    ctx.locks.Lock(identifier, ctx.client, ctx.handle);
  }
  ctx.reply = EchoReply("RECORDSETLOCKALL", ctx.handle);
  co_return true;
}

// Succeeds also for a handle this client never created (nothing to empty).
bool HandleRecordsetUnlockAll(CommandContext& ctx) {
  ctx.locks.UnlockAll(ctx.client, ctx.handle);
  ctx.reply = EchoReply("RECORDSETUNLOCKALL", ctx.handle);
  return true;
}

}  // namespace zt
