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
  if (!ctx.database.RecordsetGetFieldCount(ctx.handle, count)) return false;
  ctx.reply = EchoReply("RECORDSETGETFIELDCOUNT", ctx.handle) + kFieldSeparator + IdToText(count);
  return true;
}

bool HandleRecordsetGetFieldName(CommandContext& ctx) {
  std::string name;
  if (!ctx.database.RecordsetGetFieldName(ctx.handle, Number(ctx, 3), name)) return false;
  ctx.reply = EchoReply("RECORDSETGETFIELDNAME", ctx.handle) + kFieldSeparator + name;
  return true;
}

// Name, type as the definition stores its text, size.
bool HandleRecordsetGetFieldInfo(CommandContext& ctx) {
  std::string name, type;
  int32_t size = 0;
  if (!ctx.database.RecordsetGetFieldInfo(ctx.handle, Number(ctx, 3), name, type, size)) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETGETFIELDINFO", ctx.handle) + kFieldSeparator + name +
              kFieldSeparator + type + kFieldSeparator + IdToText(size);
  return true;
}

bool HandleRecordsetIsFieldNullable(CommandContext& ctx) {
  return Flag(ctx, ctx.database.RecordsetIsFieldNullable(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetIsFieldKeyColumn(CommandContext& ctx) {
  return Flag(ctx, ctx.database.RecordsetIsFieldKeyColumn(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetIsFieldBlob(CommandContext& ctx) {
  return Flag(ctx, ctx.database.RecordsetIsFieldABlob(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetGetFieldSize(CommandContext& ctx) {
  int32_t size = 0;
  if (!ctx.database.RecordsetGetFieldSize(ctx.handle, Number(ctx, 3), size)) return false;
  ctx.reply = EchoReply("RECORDSETGETFIELDSIZE", ctx.handle) + kFieldSeparator + IdToText(size);
  return true;
}

// ---- Row selection --------------------------------------------------------

bool HandleRecordsetSelectRow(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetSelectRow(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetDeselectRow(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetDeselectRow(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetSelectAll(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetSelectAll(ctx.handle));
}

bool HandleRecordsetDeselectAll(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetDeselectAll(ctx.handle));
}

// Field 4 is not required: a missing last row reaches the engine as 0, which
// then refuses the range.
bool HandleRecordsetSelectRowsRange(CommandContext& ctx) {
  return Echo(ctx,
              ctx.database.RecordsetSelectRowsRange(ctx.handle, Number(ctx, 3), Number(ctx, 4)));
}

bool HandleRecordsetDeselectRowsRange(CommandContext& ctx) {
  return Echo(ctx,
              ctx.database.RecordsetDeselectRowsRange(ctx.handle, Number(ctx, 3), Number(ctx, 4)));
}

bool HandleRecordsetIsRowSelected(CommandContext& ctx) {
  return Flag(ctx, ctx.database.RecordsetIsRowSelected(ctx.handle, Number(ctx, 3)));
}

bool HandleRecordsetMoveToFirstSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetMoveToFirstSelectedRow(ctx.handle));
}

bool HandleRecordsetMoveToNextSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetMoveToNextSelectedRow(ctx.handle));
}

bool HandleRecordsetMoveToPrevSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetMoveToPrevSelectedRow(ctx.handle));
}

bool HandleRecordsetMoveToLastSelectedRow(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetMoveToLastSelectedRow(ctx.handle));
}

// ---- Find and sort ----------------------------------------------------------

bool HandleRecordsetFindRow(CommandContext& ctx) {
  return Echo(
      ctx, ctx.database.RecordsetFindRow(ctx.handle, ctx.field(3).c_str(), ctx.field(4).c_str()));
}

// Field 4 is a number: non-zero sorts ascending, 0 descending.
bool HandleRecordsetSort(CommandContext& ctx) {
  return Echo(ctx, ctx.database.RecordsetSort(ctx.handle, ctx.field(3).c_str(), Number(ctx, 4)));
}

}  // namespace zt
