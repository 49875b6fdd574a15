// Handlers of the row-lock commands. The server keeps row locks itself, in
// the sessions: a row counts as locked while its identifier stands in the
// locked rows of any SessionRecordset of any session. The identifier is the
// data-file offset of the row's record as RecordsetGetCurrentRowOffset gives
// it, compared as a number whatever table it belongs to; every row not yet
// stored yields -1, so those count as one row. The locks are advisory: the
// editing commands never consult them.
//
// Only the session that created a recordset can lock rows through it (the
// lock is kept in that session's entry for the handle). A failed lock
// request is a failed try of a deferrable command: the dispatcher retries
// it on later runs and answers the failure on the 11th try.
#include <algorithm>

#include "engine/database.h"
#include "net/session.h"
#include "protocol/command_table.h"

namespace zt {
namespace {

// The current row's identifier; false when the recordset has no current
// row (or is unknown).
bool CurrentRowIdentifier(CommandContext& ctx, int32_t& identifier) {
  int64_t offset = -1;
  if (!ctx.database.RecordsetGetCurrentRowOffset(ctx.handle, offset)) return false;
  // Data-file offsets stay below 2^31, so nothing is lost.
  identifier = static_cast<int32_t>(offset);
  return true;
}

// The requesting session's entry for the handle; null when it did not
// create that recordset.
SessionRecordset* OwnEntry(CommandContext& ctx) {
  for (SessionRecordset& entry : ctx.session.recordsets) {
    if (entry.handle == ctx.handle) return &entry;
  }
  return nullptr;
}

}  // namespace

// Answers 1 to whoever holds the lock, the asker included.
bool HandleRecordsetIsCurrentRowLocked(CommandContext& ctx) {
  int32_t identifier = 0;
  if (!CurrentRowIdentifier(ctx, identifier)) return false;
  ctx.reply = FlagReply("RECORDSETISCURRENTROWLOCKED", ctx.handle,
                        IsRowLockedByAnySession(ctx.sessions, identifier));
  return true;
}

// A row locked by anybody, the asker and this very recordset included,
// cannot be locked again.
bool HandleRecordsetLockCurrentRow(CommandContext& ctx) {
  int32_t identifier = 0;
  if (!CurrentRowIdentifier(ctx, identifier)) return false;
  if (IsRowLockedByAnySession(ctx.sessions, identifier)) return false;
  if (!ctx.session.AddRowLock(ctx.handle, identifier)) return false;
  ctx.reply = EchoReply("RECORDSETLOCKCURRENTROW", ctx.handle);
  return true;
}

// Only the lock this session holds through this handle can be released.
bool HandleRecordsetUnlockCurrentRow(CommandContext& ctx) {
  int32_t identifier = 0;
  if (!CurrentRowIdentifier(ctx, identifier)) return false;
  if (!IsRowLockedByAnySession(ctx.sessions, identifier)) return false;
  if (!ctx.session.RemoveRowLock(ctx.handle, identifier)) return false;
  ctx.reply = EchoReply("RECORDSETUNLOCKCURRENTROW", ctx.handle);
  return true;
}

// All or nothing: walks every active row; a row locked by another client
// (or through another recordset of this one) ends the walk there and locks
// nothing, so the current row is left on the conflicting row. After
// success the current row is where the walk stopped.
//
// A row this entry already holds is not listed a second time: repeated
// requests would otherwise grow the list without bound, and one unlock
// would no longer release the row.
bool HandleRecordsetLockAll(CommandContext& ctx) {
  std::vector<int32_t>& candidates = ctx.lock_candidates;
  candidates.clear();
  bool conflict = false;
  for (bool moved = ctx.database.RecordsetMoveFirst(ctx.handle); moved;
       moved = ctx.database.RecordsetMoveNext(ctx.handle)) {
    int32_t identifier = 0;
    if (!CurrentRowIdentifier(ctx, identifier)) continue;
    if (IsRowLockedByAnySession(ctx.sessions, identifier) &&
        !ctx.session.HoldsRowLock(ctx.handle, identifier)) {
      conflict = true;
      break;
    }
    candidates.push_back(identifier);
  }
  SessionRecordset* entry = conflict ? nullptr : OwnEntry(ctx);
  if (entry != nullptr) {
    for (const int32_t identifier : candidates) {
      if (std::find(entry->locked_rows.begin(), entry->locked_rows.end(), identifier) ==
          entry->locked_rows.end()) {
        entry->locked_rows.push_back(identifier);
      }
    }
    ctx.reply = EchoReply("RECORDSETLOCKALL", ctx.handle);
  }
  candidates.clear();
  return entry != nullptr;
}

// Succeeds also for a handle this session never created (nothing to empty).
bool HandleRecordsetUnlockAll(CommandContext& ctx) {
  if (SessionRecordset* entry = OwnEntry(ctx)) entry->locked_rows.clear();
  ctx.reply = EchoReply("RECORDSETUNLOCKALL", ctx.handle);
  return true;
}

}  // namespace zt
