// Handlers of the field-metadata and row-selection commands: each calls one
// engine operation (recordset/metadata.cc, recordset/selection.cc) with the
// handle and the numbers of fields 3 and 4, and answers in the echo, value
// or flag shape. None is deferrable; none checks which session created the
// recordset. The yes/no questions fail into the flag "0" (the command table
// says so), so a negative answer and an invalid question look the same.
#include <string>

#include "engine/codec.h"
#include "engine/database.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// The echo reply under the command's own name, for the commands whose
// success carries nothing but the handle.
bool Echo(CommandContext& ctx, int result) {
  if (!result) return false;
  ctx.reply = EchoReply(FindCommand(ctx.field(1))->name, ctx.handle);
  return true;
}

bool Flag(CommandContext& ctx, int result) {
  if (!result) return false;
  ctx.reply = FlagReply(FindCommand(ctx.field(1))->name, ctx.handle, true);
  return true;
}

int32_t Number(const CommandContext& ctx, int field) { return FieldToInt(ctx.field(field)); }

}  // namespace

// ---- Field metadata -------------------------------------------------------

bool HandleRecordsetGetFieldCount(CommandContext& ctx) {
  int32_t count = 0;
  if (!ctx.recordsets.RecordsetGetFieldCount(ctx.handle, count)) return false;
  ctx.reply = EchoReply("RECORDSETGETFIELDCOUNT", ctx.handle) + kFieldSeparator + IdToText(count);
  return true;
}

bool HandleRecordsetGetFieldName(CommandContext& ctx) {
  std::string name;
  if (!ctx.recordsets.RecordsetGetFieldName(ctx.handle, Number(ctx, 3), name)) return false;
  ctx.reply = EchoReply("RECORDSETGETFIELDNAME", ctx.handle) + kFieldSeparator + name;
  return true;
}

// Name, type as the definition stores its text, size.
bool HandleRecordsetGetFieldInfo(CommandContext& ctx) {
  std::string name, type;
  int32_t size = 0;
  if (!ctx.recordsets.RecordsetGetFieldInfo(ctx.handle, Number(ctx, 3), name, type, size)) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETGETFIELDINFO", ctx.handle) + kFieldSeparator + name +
              kFieldSeparator + type + kFieldSeparator + IdToText(size);
  return true;
}

bool HandleRecordsetIsFieldNullable(CommandContext& ctx) {
  return Flag(ctx, ctx.recordsets.RecordsetIsFieldNullable(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetIsFieldKeyColumn(CommandContext& ctx) {
  return Flag(ctx, ctx.recordsets.RecordsetIsFieldKeyColumn(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetIsFieldBlob(CommandContext& ctx) {
  return Flag(ctx, ctx.recordsets.RecordsetIsFieldABlob(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetGetFieldSize(CommandContext& ctx) {
  int32_t size = 0;
  if (!ctx.recordsets.RecordsetGetFieldSize(ctx.handle, Number(ctx, 3), size)) return false;
  ctx.reply = EchoReply("RECORDSETGETFIELDSIZE", ctx.handle) + kFieldSeparator + IdToText(size);
  return true;
}

// ---- Row selection --------------------------------------------------------

bool HandleRecordsetSelectRow(CommandContext& ctx) {
  return Echo(ctx, ctx.recordsets.RecordsetSelectRow(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetDeselectRow(CommandContext& ctx) {
  return Echo(ctx, ctx.recordsets.RecordsetDeselectRow(ctx.handle, Number(ctx, 3)));
}

Task<bool> HandleRecordsetSelectAll(CommandContext& ctx, SliceClock& clock) {
  co_return Echo(ctx, co_await ctx.recordsets.MarkRows(clock, ctx.handle, 0, 0, true, true));
}

Task<bool> HandleRecordsetDeselectAll(CommandContext& ctx, SliceClock& clock) {
  co_return Echo(ctx, co_await ctx.recordsets.MarkRows(clock, ctx.handle, 0, 0, false, true));
}

// Field 4 is not required: a missing last row reaches the engine as 0, which
// then refuses the range.
Task<bool> HandleRecordsetSelectRowsRange(CommandContext& ctx, SliceClock& clock) {
  co_return Echo(ctx, co_await ctx.recordsets.MarkRows(clock, ctx.handle, Number(ctx, 3),
                                                       Number(ctx, 4), true, false));
}

Task<bool> HandleRecordsetDeselectRowsRange(CommandContext& ctx, SliceClock& clock) {
  co_return Echo(ctx, co_await ctx.recordsets.MarkRows(clock, ctx.handle, Number(ctx, 3),
                                                       Number(ctx, 4), false, false));
}

bool HandleRecordsetIsRowSelected(CommandContext& ctx) {
  return Flag(ctx, ctx.recordsets.RecordsetIsRowSelected(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetMoveToFirstSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.recordsets.RecordsetMoveToFirstSelectedRow(ctx.handle));
}

bool HandleRecordsetMoveToNextSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.recordsets.RecordsetMoveToNextSelectedRow(ctx.handle));
}

bool HandleRecordsetMoveToPrevSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.recordsets.RecordsetMoveToPrevSelectedRow(ctx.handle));
}

bool HandleRecordsetMoveToLastSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.recordsets.RecordsetMoveToLastSelectedRow(ctx.handle));
}

// ---- Find and sort ----------------------------------------------------------

Task<bool> HandleRecordsetFindRow(CommandContext& ctx, SliceClock& clock) {
  co_return Echo(ctx, co_await ctx.recordsets.FindRow(clock, ctx.handle, ctx.field(3).c_str(),
                                                      ctx.field(4).c_str()));
}

// Field 4 is a number: non-zero sorts ascending, 0 descending.
Task<bool> HandleRecordsetSort(CommandContext& ctx, SliceClock& clock) {
  co_return Echo(ctx, co_await ctx.recordsets.Sort(clock, ctx.handle, ctx.field(3).c_str(),
                                                   Number(ctx, 4)));
}

}  // namespace zt
