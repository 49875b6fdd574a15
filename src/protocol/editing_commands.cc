// Handlers of the field-value and row-editing commands: one engine call
// each, with the requesting session's TransactionContext. They do not look
// at the server's row locks: only the engine's own checks decide, and
// nothing another client does can make a failed edit succeed later, so
// every failure is answered at once.
#include <string>

#include "engine/database.h"
#include "protocol/client_state.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {

bool HandleRecordsetAddRow(CommandContext& ctx) {
  if (!ctx.recordsets.RecordsetAddRow(ctx.client.transaction, ctx.handle)) return false;
  ctx.reply = EchoReply("RECORDSETADDROW", ctx.handle);
  return true;
}

// Field 4 is required: a field cannot be set to an empty value this way.
bool HandleRecordsetSetFieldValue(CommandContext& ctx) {
  if (!ctx.recordsets.RecordsetSetFieldValue(ctx.client.transaction, ctx.handle,
                                             ctx.field(3).c_str(), ctx.field(4).c_str())) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETSETFIELDVALUE", ctx.handle);
  return true;
}

// The whole value, however wide its column; it is sent as it is, so a value
// holding "~" cannot be told from two values by the client.
bool HandleRecordsetGetFieldValue(CommandContext& ctx) {
  std::string value;
  if (!ctx.recordsets.RecordsetGetFieldValue(ctx.handle, ctx.field(3).c_str(), &value)) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETGETFIELDVALUE", ctx.handle);
  ctx.reply += kFieldSeparator;
  ctx.reply += value;
  return true;
}

// The success reply is built only after the engine has written every change
// to the data file, the definition and the index (positional writes, no
// buffering in the process), so an answered update survives the server
// being killed right after the reply.
Task<bool> HandleRecordsetUpdate(CommandContext& ctx, SliceClock& clock) {
  const int ok = co_await ctx.recordsets.Update(clock, ctx.handle);
  if (!ok) co_return false;
  ctx.reply = EchoReply("RECORDSETUPDATE", ctx.handle);
  co_return true;
}

bool HandleRecordsetDeleteCurrentRow(CommandContext& ctx) {
  int moved_to_next = 0;  // not reported to the client
  if (!ctx.recordsets.RecordsetDeleteCurrentRow(ctx.client.transaction, ctx.handle,
                                                moved_to_next)) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETDELETECURRENTROW", ctx.handle);
  return true;
}

Task<bool> HandleRecordsetDeleteAll(CommandContext& ctx, SliceClock& clock) {
  const int ok = co_await ctx.recordsets.DeleteAll(clock, ctx.handle);
  if (!ok) co_return false;
  ctx.reply = EchoReply("RECORDSETDELETEALL", ctx.handle);
  co_return true;
}

}  // namespace zt
