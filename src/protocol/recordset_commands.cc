// Handlers of the open, filter, navigation, bookmark and count commands:
// one engine operation each, on any handle the client knows (none of them
// asks whether the requesting session created the recordset).
#include <string>

#include "engine/database.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// The echo reply when ok; a false result makes the dispatcher send the
// command's failure reply.
bool Echo(CommandContext& ctx, const char* name, int ok) {
  if (!ok) return false;
  ctx.reply = EchoReply(name, ctx.handle);
  return true;
}

bool Value(CommandContext& ctx, const char* name, int ok, int32_t value) {
  if (!ok) return false;
  ctx.reply = EchoReply(name, ctx.handle) + kFieldSeparator + IdToText(value);
  return true;
}

}  // namespace

Task<bool> HandleRecordsetOpen(CommandContext& ctx, SliceClock& clock) {
  const int ok = co_await ctx.recordsets.Open(clock, ctx.handle, ctx.field(3).c_str());
  co_return Echo(ctx, "RECORDSETOPEN", ok);
}

Task<bool> HandleRecordsetOpenFloor(CommandContext& ctx, SliceClock& clock) {
  const int ok = co_await ctx.recordsets.OpenFloor(clock, ctx.handle, ctx.field(3).c_str(),
                                                   ctx.field(4).c_str(), ctx.field(5).c_str());
  co_return Echo(ctx, "RECORDSETOPENFLOOR", ok);
}

Task<bool> HandleRecordsetOpenCeiling(CommandContext& ctx, SliceClock& clock) {
  const int ok = co_await ctx.recordsets.OpenCeiling(clock, ctx.handle, ctx.field(3).c_str(),
                                                     ctx.field(4).c_str(), ctx.field(5).c_str());
  co_return Echo(ctx, "RECORDSETOPENCEILING", ok);
}

// Field 7 may be missing and then counts as 0.
bool HandleRecordsetAddFilterColumn(CommandContext& ctx) {
  return Echo(ctx, "RECORDSETADDFILTERCOLUMN",
              ctx.recordsets.RecordsetAddFilterColumn(
                  ctx.handle, ctx.field(3).c_str(), ctx.field(4).c_str(), ctx.field(5).c_str(),
                  FieldToInt(ctx.field(6)), FieldToInt(ctx.field(7))));
}

// Field 4 (the value) may be missing: an empty value shows every row again.
Task<bool> HandleRecordsetFilterOn(CommandContext& ctx, SliceClock& clock) {
  const int ok =
      co_await ctx.recordsets.FilterOn(clock, ctx.handle, ctx.field(3).c_str(), ctx.field(4).c_str());
  co_return Echo(ctx, "RECORDSETFILTERON", ok);
}

bool HandleRecordsetCanBookmark(CommandContext& ctx) {
  if (!ctx.recordsets.RecordsetCanBookmark(ctx.handle)) return false;
  ctx.reply = FlagReply("RECORDSETCANBOOKMARK", ctx.handle, true);
  return true;
}

bool HandleRecordsetSetBookmark(CommandContext& ctx) {
  return Echo(ctx, "RECORDSETSETBOOKMARK",
              ctx.recordsets.RecordsetSetBookmark(ctx.handle, FieldToInt(ctx.field(3))));
}

bool HandleRecordsetGetBookmark(CommandContext& ctx) {
  int32_t bookmark = 0;
  const int ok = ctx.recordsets.RecordsetGetBookmark(ctx.handle, bookmark);
  return Value(ctx, "RECORDSETGETBOOKMARK", ok, bookmark);
}

bool HandleRecordsetGetLastUpdatedBookmark(CommandContext& ctx) {
  int32_t bookmark = 0;
  const int ok = ctx.recordsets.RecordsetGetLastUpdatedBookmark(ctx.handle, bookmark);
  return Value(ctx, "RECORDSETGETLASTUPDATEDBOOKMARK", ok, bookmark);
}

bool HandleRecordsetGetRowCount(CommandContext& ctx) {
  int32_t count = 0;
  const int ok = ctx.recordsets.RecordsetGetRowCount(ctx.handle, count);
  return Value(ctx, "RECORDSETGETROWCOUNT", ok, count);
}

bool HandleRecordsetGetSelectedRowCount(CommandContext& ctx) {
  int32_t count = 0;
  const int ok = ctx.recordsets.RecordsetGetSelectedRowCount(ctx.handle, count);
  return Value(ctx, "RECORDSETGETSELECTEDROWCOUNT", ok, count);
}

bool HandleRecordsetGetFilteredCount(CommandContext& ctx) {
  int32_t count = 0;
  const int ok = ctx.recordsets.RecordsetGetFilteredCount(ctx.handle, count);
  return Value(ctx, "RECORDSETGETFILTEREDCOUNT", ok, count);
}

bool HandleRecordsetMoveFirst(CommandContext& ctx) {
  return Echo(ctx, "RECORDSETMOVEFIRST", ctx.recordsets.RecordsetMoveFirst(ctx.handle));
}

bool HandleRecordsetMoveNext(CommandContext& ctx) {
  return Echo(ctx, "RECORDSETMOVENEXT", ctx.recordsets.RecordsetMoveNext(ctx.handle));
}

bool HandleRecordsetMovePrev(CommandContext& ctx) {
  return Echo(ctx, "RECORDSETMOVEPREV", ctx.recordsets.RecordsetMovePrev(ctx.handle));
}

bool HandleRecordsetMoveLast(CommandContext& ctx) {
  return Echo(ctx, "RECORDSETMOVELAST", ctx.recordsets.RecordsetMoveLast(ctx.handle));
}

}  // namespace zt
