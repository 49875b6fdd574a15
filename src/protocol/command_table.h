// The command table: every protocol command as data. The dispatcher
// (request_processor.h) does the common work from it once: find the command
// by its name without regard to case, check the required fields, call the
// handler, send the reply or the failure reply, and apply the deferral rule
// to the deferrable commands.
#ifndef ZT_PROTOCOL_COMMAND_TABLE_H_
#define ZT_PROTOCOL_COMMAND_TABLE_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "engine/slices.h"
#include "protocol/fields.h"

namespace zt {

class Database;
class Recordsets;
class ClientState;
class RowLockTable;
class RecordsetOwners;

// What a handler sees of one request.
struct CommandContext {
  Database& database;
  Recordsets& recordsets;
  ClientState& client;          // the requesting client's state
  RowLockTable& locks;          // every client's row locks
  RecordsetOwners& owners;      // which client created each recordset
  const RequestFields& fields;  // fields[0] is the command name
  int32_t handle;               // field 2 as a number
  std::string reply;            // the success reply text, set by the handler
  // Set by a handler whose failure another client's action can clear (a
  // row lock held elsewhere): only such a failure of a deferrable command
  // waits for another try. Every other failure is answered at once, since
  // no waiting mends a missing handle or a blank key.
  bool conflict = false;
  // With conflict: the row found locked. The request waits for a release
  // of this row (or the retry timer), not of any other.
  int32_t conflict_row = 0;
  const std::string& field(int number) const { return fields[static_cast<size_t>(number - 1)]; }
};

// A handler calls one engine operation. true: ctx.reply holds the success
// reply; false: the dispatcher sends the command's failure reply.
using CommandHandler = bool (*)(CommandContext& ctx);

// The handler of a command whose work grows with the table or the
// recordset: a coroutine the dispatcher runs a slice at a time
// (engine/slices.h), with the same result as a CommandHandler. What the
// clock says of its reads decides what others may do between its slices
// (request_processor.h).
using JobHandler = Task<bool> (*)(CommandContext& ctx, SliceClock& clock);

// How a command answers when it fails.
enum class FailureShape {
  kFailed,    // "<reply name>~FAILED"
  kFlagZero,  // "<name>~<handle>~0": the yes/no questions never fail
};

// What a command touches beyond the requesting client's own recordsets.
// The dispatcher lets a request run beside another client's long job (see
// request_processor.h) only when their kinds of access agree, and a
// read-only user is refused every kEdit and kWrite command.
enum class Access : uint8_t {
  kSession,  // the client's own state and recordsets in memory only
  kRead,     // reads stored data (records, definitions, index) or row locks
  kLock,     // takes or releases row locks (changes what others see of them)
  kEdit,     // prepares a change of stored data in a recordset (pending rows)
  kWrite,    // writes stored data
};

struct Command {
  const char* name;
  // Null for a long command (job) and while the engine operation behind the
  // command does not exist: with neither, the command always fails, with
  // its failure reply.
  CommandHandler handler;
  uint16_t required;  // bit k: field k must be non-empty
  bool deferrable;    // conflicts are retried (see the deferral rule)
  FailureShape failure;
  const char* reply_name;  // the name replies carry; null: the command name
  Access access;
  JobHandler job = nullptr;  // a long command's handler
};

constexpr uint16_t Required(std::initializer_list<int> numbers) {
  uint16_t mask = 0;
  for (int n : numbers) mask = static_cast<uint16_t>(mask | (1u << n));
  return mask;
}

// All commands, in the order the protocol lists them.
const std::vector<Command>& CommandTable();

// What a command acts on. The metrics keep one latency histogram per
// group; the groups follow the sections of the table.
enum class CommandGroup : uint8_t {
  kSession,     // transactions, errors, create/close, location, rebuild
  kNavigation,  // open, filters, moves, bookmarks, counts
  kRowLock,
  kEditing,     // add, set, get, update, delete
  kFindSort,
  kFieldInfo,   // field metadata
  kSelection,
};
inline constexpr size_t kCommandGroups = 7;
CommandGroup GroupOf(const Command& command);
// "session", "navigation", "row_lock", "editing", "find_sort",
// "field_info", "selection".
const char* CommandGroupName(CommandGroup group);

// Whether field 2 of the command names a recordset: every RECORDSET...
// command does.
bool TakesHandle(const Command& command);

// The command whose name equals name without regard to case; null if none.
const Command* FindCommand(std::string_view name);

// Reply builders (the shapes every reply is made of).
std::string EchoReply(const char* name, int32_t handle);
std::string FlagReply(const char* name, int32_t handle, bool yes);
std::string FailureReply(const char* name);

// Handlers, grouped by what they act on.
bool HandleTransactionMarker(CommandContext& ctx);
bool HandleGetLastErrorText(CommandContext& ctx);
bool HandleCreateRecordset(CommandContext& ctx);
bool HandleRecordsetClose(CommandContext& ctx);
bool HandleRecordsetIsConnected(CommandContext& ctx);
bool HandleRecordsetGetLastError(CommandContext& ctx);
bool HandleGetLocationInformation(CommandContext& ctx);
bool HandleSetLocationInformation(CommandContext& ctx);
bool HandleRebuildDatabase(CommandContext& ctx);
bool HandleGetTableNames(CommandContext& ctx);
// AUTHENTICATE is answered by the Authoriser (protocol/authorisation.h);
// this handler runs only on a server without users, and fails.
bool HandleAuthenticate(CommandContext& ctx);
bool HandleRecordsetClearFilters(CommandContext& ctx);
// Open, filter, navigation, bookmarks and counts
// (protocol/recordset_commands.cc).
Task<bool> HandleRecordsetOpen(CommandContext& ctx, SliceClock& clock);
Task<bool> HandleRecordsetOpenFloor(CommandContext& ctx, SliceClock& clock);
Task<bool> HandleRecordsetOpenCeiling(CommandContext& ctx, SliceClock& clock);
bool HandleRecordsetAddFilterColumn(CommandContext& ctx);
Task<bool> HandleRecordsetFilterOn(CommandContext& ctx, SliceClock& clock);
bool HandleRecordsetCanBookmark(CommandContext& ctx);
bool HandleRecordsetSetBookmark(CommandContext& ctx);
bool HandleRecordsetGetBookmark(CommandContext& ctx);
bool HandleRecordsetGetLastUpdatedBookmark(CommandContext& ctx);
bool HandleRecordsetGetRowCount(CommandContext& ctx);
bool HandleRecordsetGetSelectedRowCount(CommandContext& ctx);
bool HandleRecordsetGetFilteredCount(CommandContext& ctx);
bool HandleRecordsetMoveFirst(CommandContext& ctx);
bool HandleRecordsetMoveNext(CommandContext& ctx);
bool HandleRecordsetMovePrev(CommandContext& ctx);
bool HandleRecordsetMoveLast(CommandContext& ctx);
// Extension: many rows in one reply (protocol/bulk_commands.cc).
bool HandleRecordsetFetchRows(CommandContext& ctx);
// Row locks (protocol/row_lock_commands.cc).
bool HandleRecordsetIsCurrentRowLocked(CommandContext& ctx);
bool HandleRecordsetLockCurrentRow(CommandContext& ctx);
bool HandleRecordsetUnlockCurrentRow(CommandContext& ctx);
Task<bool> HandleRecordsetLockAll(CommandContext& ctx, SliceClock& clock);
bool HandleRecordsetUnlockAll(CommandContext& ctx);
// Field values and row editing (protocol/editing_commands.cc).
bool HandleRecordsetAddRow(CommandContext& ctx);
bool HandleRecordsetSetFieldValue(CommandContext& ctx);
bool HandleRecordsetGetFieldValue(CommandContext& ctx);
Task<bool> HandleRecordsetUpdate(CommandContext& ctx, SliceClock& clock);
bool HandleRecordsetDeleteCurrentRow(CommandContext& ctx);
Task<bool> HandleRecordsetDeleteAll(CommandContext& ctx, SliceClock& clock);
// Find and sort, field metadata and row selection
// (protocol/metadata_selection_commands.cc).
Task<bool> HandleRecordsetFindRow(CommandContext& ctx, SliceClock& clock);
Task<bool> HandleRecordsetSort(CommandContext& ctx, SliceClock& clock);
bool HandleRecordsetGetFieldCount(CommandContext& ctx);
bool HandleRecordsetGetFieldName(CommandContext& ctx);
bool HandleRecordsetGetFieldInfo(CommandContext& ctx);
bool HandleRecordsetIsFieldNullable(CommandContext& ctx);
bool HandleRecordsetIsFieldKeyColumn(CommandContext& ctx);
bool HandleRecordsetIsFieldBlob(CommandContext& ctx);
bool HandleRecordsetGetFieldSize(CommandContext& ctx);
bool HandleRecordsetSelectRow(CommandContext& ctx);
bool HandleRecordsetDeselectRow(CommandContext& ctx);
Task<bool> HandleRecordsetSelectAll(CommandContext& ctx, SliceClock& clock);
Task<bool> HandleRecordsetDeselectAll(CommandContext& ctx, SliceClock& clock);
Task<bool> HandleRecordsetSelectRowsRange(CommandContext& ctx, SliceClock& clock);
Task<bool> HandleRecordsetDeselectRowsRange(CommandContext& ctx, SliceClock& clock);
bool HandleRecordsetIsRowSelected(CommandContext& ctx);
bool HandleRecordsetMoveToFirstSelectedRow(CommandContext& ctx);
bool HandleRecordsetMoveToNextSelectedRow(CommandContext& ctx);
bool HandleRecordsetMoveToPrevSelectedRow(CommandContext& ctx);
bool HandleRecordsetMoveToLastSelectedRow(CommandContext& ctx);

}  // namespace zt

#endif  // ZT_PROTOCOL_COMMAND_TABLE_H_
