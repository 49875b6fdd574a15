// Handlers of the commands that open a recordset, filter it, move through
// its rows, keep positions as bookmarks and count its rows. Each calls one
// recordset operation of the Database with the handle and the trimmed field
// texts; none checks which session created the recordset.
#include "engine/database.h"
#include "protocol/command_table.h"

namespace zt {
namespace {

// The value reply: "<name>~<handle>~<value>".
std::string ValueReply(const char* name, int32_t handle, int32_t value) {
  return EchoReply(name, handle) + kFieldSeparator + IdToText(value);
}

}  // namespace

bool HandleRecordsetOpen(CommandContext& ctx) {
  if (!ctx.database.RecordsetOpen(ctx.handle, ctx.field(3).c_str())) return false;
  ctx.reply = EchoReply("RECORDSETOPEN", ctx.handle);
  return true;
}

bool HandleRecordsetOpenFloor(CommandContext& ctx) {
  if (!ctx.database.RecordsetOpenFloor(ctx.handle, ctx.field(3).c_str(), ctx.field(4).c_str(),
                                       ctx.field(5).c_str())) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETOPENFLOOR", ctx.handle);
  return true;
}

bool HandleRecordsetOpenCeiling(CommandContext& ctx) {
  if (!ctx.database.RecordsetOpenCeiling(ctx.handle, ctx.field(3).c_str(), ctx.field(4).c_str(),
                                         ctx.field(5).c_str())) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETOPENCEILING", ctx.handle);
  return true;
}

// Field 7 is optional and then 0, like every missing numeric field.
bool HandleRecordsetAddFilterColumn(CommandContext& ctx) {
  if (!ctx.database.RecordsetAddFilterColumn(ctx.handle, ctx.field(3).c_str(),
                                             ctx.field(4).c_str(), ctx.field(5).c_str(),
                                             FieldToInt(ctx.field(6)), FieldToInt(ctx.field(7)))) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETADDFILTERCOLUMN", ctx.handle);
  return true;
}

// The value (field 4) is optional: without it the filter-on value is empty.
bool HandleRecordsetFilterOn(CommandContext& ctx) {
  if (!ctx.database.RecordsetFilterOn(ctx.handle, ctx.field(3).c_str(), ctx.field(4).c_str())) {
    return false;
  }
  ctx.reply = EchoReply("RECORDSETFILTERON", ctx.handle);
  return true;
}

bool HandleRecordsetCanBookmark(CommandContext& ctx) {
  if (!ctx.database.RecordsetCanBookmark(ctx.handle)) return false;
  ctx.reply = FlagReply("RECORDSETCANBOOKMARK", ctx.handle, true);
  return true;
}

bool HandleRecordsetSetBookmark(CommandContext& ctx) {
  if (!ctx.database.RecordsetSetBookmark(ctx.handle, FieldToInt(ctx.field(3)))) return false;
  ctx.reply = EchoReply("RECORDSETSETBOOKMARK", ctx.handle);
  return true;
}

bool HandleRecordsetGetBookmark(CommandContext& ctx) {
  int32_t bookmark = 0;
  if (!ctx.database.RecordsetGetBookmark(ctx.handle, bookmark)) return false;
  ctx.reply = ValueReply("RECORDSETGETBOOKMARK", ctx.handle, bookmark);
  return true;
}

bool HandleRecordsetGetLastUpdatedBookmark(CommandContext& ctx) {
  int32_t bookmark = 0;
  if (!ctx.database.RecordsetGetLastUpdatedBookmark(ctx.handle, bookmark)) return false;
  ctx.reply = ValueReply("RECORDSETGETLASTUPDATEDBOOKMARK", ctx.handle, bookmark);
  return true;
}

bool HandleRecordsetGetRowCount(CommandContext& ctx) {
  int32_t count = 0;
  if (!ctx.database.RecordsetGetRowCount(ctx.handle, count)) return false;
  ctx.reply = ValueReply("RECORDSETGETROWCOUNT", ctx.handle, count);
  return true;
}

bool HandleRecordsetGetSelectedRowCount(CommandContext& ctx) {
  int32_t count = 0;
  if (!ctx.database.RecordsetGetSelectedRowCount(ctx.handle, count)) return false;
  ctx.reply = ValueReply("RECORDSETGETSELECTEDROWCOUNT", ctx.handle, count);
  return true;
}

bool HandleRecordsetGetFilteredCount(CommandContext& ctx) {
  int32_t count = 0;
  if (!ctx.database.RecordsetGetFilteredCount(ctx.handle, count)) return false;
  ctx.reply = ValueReply("RECORDSETGETFILTEREDCOUNT", ctx.handle, count);
  return true;
}

bool HandleRecordsetMoveFirst(CommandContext& ctx) {
  if (!ctx.database.RecordsetMoveFirst(ctx.handle)) return false;
  ctx.reply = EchoReply("RECORDSETMOVEFIRST", ctx.handle);
  return true;
}

bool HandleRecordsetMoveNext(CommandContext& ctx) {
  if (!ctx.database.RecordsetMoveNext(ctx.handle)) return false;
  ctx.reply = EchoReply("RECORDSETMOVENEXT", ctx.handle);
  return true;
}

bool HandleRecordsetMovePrev(CommandContext& ctx) {
  if (!ctx.database.RecordsetMovePrev(ctx.handle)) return false;
  ctx.reply = EchoReply("RECORDSETMOVEPREV", ctx.handle);
  return true;
}

bool HandleRecordsetMoveLast(CommandContext& ctx) {
  if (!ctx.database.RecordsetMoveLast(ctx.handle)) return false;
  ctx.reply = EchoReply("RECORDSETMOVELAST", ctx.handle);
  return true;
}

}  // namespace zt
