// Handlers of the commands that concern the connection and the database as
// a whole: transaction markers, last-error texts, creating, closing and
// probing recordsets, the location information, and the rebuild request.
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/error_log.h"
#include "protocol/client_state.h"
#include "protocol/command_table.h"
#include "protocol/request_processor.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// The value shape without a handle: "~" and each value.
template <typename Texts>
void AppendValues(std::string& reply, const Texts& values) {
  for (const std::string& value : values) {
    reply += kFieldSeparator;
    reply += value;
  }
}

}  // namespace

// The server never opens a transaction: the markers are answered at once
// and change nothing, so the row-editing operations always get a context
// that says no transaction is open.
bool HandleTransactionMarker(CommandContext& ctx) {
  ctx.reply = FindCommand(ctx.field(1))->name;
  return true;
}

// The text the client's own requests last left (the dispatcher keeps it);
// reading it does not clear it, and an empty text leaves the reply ending
// in "~".
bool HandleGetLastErrorText(CommandContext& ctx) {
  ctx.reply = "GETLASTERRORTEXT~" + ctx.client.last_error;
  return true;
}

bool HandleCreateRecordset(CommandContext& ctx) {
  if (ctx.owners.AtLimit(ctx.client)) {
    ctx.database.SetErrorQuietly("CreateRecordset: this connection already holds " +
                                 std::to_string(ctx.owners.max_per_client()) +
                                 " recordsets (MaxRecordsetsPerConnection); close one first");
    ++ctx.owners.refusals;
    LogError("CreateRecordset: refused, MaxRecordsetsPerConnection reached");
    return false;
  }
  int32_t handle = 0;
  if (!ctx.recordsets.CreateRecordset(handle)) return false;
  ctx.owners.Add(handle, ctx.client);
  ctx.reply = EchoReply("CREATERECORDSET", handle);
  return true;
}

// Only the creator reaches here (the dispatcher refuses other clients'
// handles); its entry, with the row locks held through it, goes with it.
bool HandleRecordsetClose(CommandContext& ctx) {
  if (!ctx.recordsets.RecordsetClose(ctx.handle)) {
    // No recordset keeps a text for a handle that does not exist.
    ctx.database.SetErrorQuietly("RecordsetClose: there is no recordset " + IdToText(ctx.handle));
    return false;
  }
  ctx.owners.Remove(ctx.handle, ctx.locks);
  ctx.reply = EchoReply("RECORDSETCLOSE", ctx.handle);
  return true;
}

bool HandleRecordsetIsConnected(CommandContext& ctx) {
  if (!ctx.recordsets.RecordsetIsConnected(ctx.handle)) return false;
  ctx.reply = FlagReply("RECORDSETISCONNECTED", ctx.handle, true);
  return true;
}

bool HandleRecordsetGetLastError(CommandContext& ctx) {
  std::string text;
  if (!ctx.recordsets.RecordsetGetLastErrorText(ctx.handle, &text)) return false;
  ctx.reply = EchoReply("RECORDSETGETLASTERRORTEXT", ctx.handle) + kFieldSeparator + text;
  return true;
}

bool HandleGetLocationInformation(CommandContext& ctx) {
  LocationInformation locations;
  if (!ctx.database.GetLocationInformation(locations)) return false;
  ctx.reply = "GETLOCATIONINFORMATION";
  AppendValues(ctx.reply, locations);
  return true;
}

// Fields 2 to 9 become location texts 1 to 8; those not supplied are empty.
bool HandleSetLocationInformation(CommandContext& ctx) {
  LocationInformation locations;
  for (int k = 0; k < kLocationFieldCount; ++k) {
    locations[static_cast<size_t>(k)] = ctx.field(k + 2);
  }
  if (!ctx.database.SetLocationInformation(locations)) return false;
  ctx.reply = "SETLOCATIONINFORMATION";
  return true;
}

// Extension: the table names, in the definition file's order; a database
// without tables answers the bare name. GETTABLENAMES~COUNT puts their
// number first, so that no list of names reads like a failure (a single
// table named FAILED) or like the bare name.
bool HandleGetTableNames(CommandContext& ctx) {
  std::vector<std::string> names;
  if (!ctx.database.GetTableNames(names)) return false;
  ctx.reply = "GETTABLENAMES";
  if (EqualNoCase(ctx.field(2), "COUNT")) {
    ctx.reply += kFieldSeparator;
    ctx.reply += IdToText(static_cast<int32_t>(names.size()));
  }
  AppendValues(ctx.reply, names);
  return true;
}

// The server offers no rebuild: the request always fails.
bool HandleRebuildDatabase(CommandContext& ctx) {
  ctx.database.SetErrorQuietly("RebuildDatabase: this server does not rebuild databases");
  return false;
}

// Fails only for a missing handle field (the dispatcher's check); an unknown
// handle is ignored by the engine and answered like a known one.
bool HandleRecordsetClearFilters(CommandContext& ctx) {
  ctx.recordsets.RecordsetClearFilters(ctx.handle);
  ctx.reply = EchoReply("RECORDSETCLEARFILTERS", ctx.handle);
  return true;
}

}  // namespace zt
