#include "protocol/command_table.h"

#include <iterator>
#include <unordered_map>

#include "engine/codec.h"

namespace zt {
namespace {

constexpr FailureShape kF = FailureShape::kFailed;
constexpr FailureShape kFlag = FailureShape::kFlagZero;
constexpr bool kDeferrable = true;
constexpr bool kAtOnce = false;
constexpr Access kSession = Access::kSession;
constexpr Access kRead = Access::kRead;
constexpr Access kLock = Access::kLock;
constexpr Access kEdit = Access::kEdit;
constexpr Access kWrite = Access::kWrite;

std::vector<Command> BuildTable() {
  return {
      // Session, transaction and database commands.
      {"STARTTRANSACTION", HandleTransactionMarker, 0, kAtOnce, kF, nullptr, kSession},
      {"COMMITTRANSACTION", HandleTransactionMarker, 0, kAtOnce, kF, nullptr, kSession},
      {"ROLLBACKTRANSACTION", HandleTransactionMarker, 0, kAtOnce, kF, nullptr, kSession},
      {"GETLASTERRORTEXT", HandleGetLastErrorText, 0, kAtOnce, kF, nullptr, kSession},
      {"CREATERECORDSET", HandleCreateRecordset, 0, kAtOnce, kF, nullptr, kSession},
      {"RECORDSETCLOSE", HandleRecordsetClose, Required({2}), kAtOnce, kF, nullptr, kLock},
      {"RECORDSETISCONNECTED", HandleRecordsetIsConnected, Required({2}), kAtOnce, kFlag, nullptr, kSession},
      // There is no command RECORDSETGETLASTERRORTEXT; only the replies say so.
      {"RECORDSETGETLASTERROR", HandleRecordsetGetLastError, Required({2}), kAtOnce, kF,
       "RECORDSETGETLASTERRORTEXT", kSession},
      {"GETLOCATIONINFORMATION", HandleGetLocationInformation, 0, kAtOnce, kF, nullptr, kRead},
      {"SETLOCATIONINFORMATION", HandleSetLocationInformation, Required({2}), kAtOnce, kF, nullptr, kWrite},
      {"REBUILDDATABASE", HandleRebuildDatabase, 0, kAtOnce, kF, nullptr, kWrite},
      // An extension of the protocol: a server without it never answers it.
      {"GETTABLENAMES", HandleGetTableNames, 0, kAtOnce, kF, nullptr, kRead},
      // An extension: AUTHENTICATE~user~password (protocol/authorisation.h).
      {"AUTHENTICATE", HandleAuthenticate, Required({2, 3}), kAtOnce, kF, nullptr, kSession},

      // Open, filter, navigation, bookmark and count commands.
      {"RECORDSETOPEN", nullptr, Required({2, 3}), kAtOnce, kF, nullptr, kRead, HandleRecordsetOpen},
      {"RECORDSETOPENFLOOR", nullptr, Required({2, 3, 4, 5}), kAtOnce, kF,
       nullptr, kRead, HandleRecordsetOpenFloor},
      {"RECORDSETOPENCEILING", nullptr, Required({2, 3, 4, 5}), kAtOnce, kF,
       nullptr, kRead, HandleRecordsetOpenCeiling},
      {"RECORDSETADDFILTERCOLUMN", HandleRecordsetAddFilterColumn, Required({2, 3, 4, 5, 6}),
       kAtOnce, kF, nullptr, kSession},
      {"RECORDSETCLEARFILTERS", HandleRecordsetClearFilters, Required({2}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETFILTERON", nullptr, Required({2, 3}), kAtOnce, kF, nullptr, kRead, HandleRecordsetFilterOn},
      {"RECORDSETCANBOOKMARK", HandleRecordsetCanBookmark, Required({2}), kAtOnce, kFlag, nullptr, kSession},
      {"RECORDSETSETBOOKMARK", HandleRecordsetSetBookmark, Required({2, 3}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETGETBOOKMARK", HandleRecordsetGetBookmark, Required({2}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETGETLASTUPDATEDBOOKMARK", HandleRecordsetGetLastUpdatedBookmark, Required({2}),
       kAtOnce, kF, nullptr, kSession},
      {"RECORDSETGETROWCOUNT", HandleRecordsetGetRowCount, Required({2}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETGETSELECTEDROWCOUNT", HandleRecordsetGetSelectedRowCount, Required({2}), kAtOnce,
       kF, nullptr, kSession},
      {"RECORDSETGETFILTEREDCOUNT", HandleRecordsetGetFilteredCount, Required({2}), kAtOnce, kF,
       nullptr, kSession},
      {"RECORDSETMOVEFIRST", HandleRecordsetMoveFirst, Required({2}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETMOVENEXT", HandleRecordsetMoveNext, Required({2}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETMOVEPREV", HandleRecordsetMovePrev, Required({2}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETMOVELAST", HandleRecordsetMoveLast, Required({2}), kAtOnce, kF, nullptr, kSession},
      // An extension: many rows in one reply (protocol/bulk_commands.cc).
      {"RECORDSETFETCHROWS", HandleRecordsetFetchRows, Required({2, 3}), kAtOnce, kF, nullptr, kRead},

      // Row locks, row editing, find and sort. Only the two lock commands
      // can meet a conflict that waiting may clear: the editing commands do
      // not look at row locks, and the server holds its files exclusively,
      // so no other process's lock stands in their way either.
      {"RECORDSETISCURRENTROWLOCKED", HandleRecordsetIsCurrentRowLocked, Required({2}), kAtOnce,
       kFlag, nullptr, kRead},
      {"RECORDSETLOCKCURRENTROW", HandleRecordsetLockCurrentRow, Required({2}), kDeferrable, kF,
       nullptr, kLock},
      {"RECORDSETUNLOCKCURRENTROW", HandleRecordsetUnlockCurrentRow, Required({2}), kAtOnce, kF,
       nullptr, kLock},
      {"RECORDSETLOCKALL", nullptr, Required({2}), kDeferrable, kF, nullptr, kLock, HandleRecordsetLockAll},
      {"RECORDSETUNLOCKALL", HandleRecordsetUnlockAll, Required({2}), kAtOnce, kF, nullptr, kLock},
      {"RECORDSETADDROW", HandleRecordsetAddRow, Required({2}), kAtOnce, kF, nullptr, kEdit},
      {"RECORDSETSETFIELDVALUE", HandleRecordsetSetFieldValue, Required({2, 3, 4}), kAtOnce, kF,
       nullptr, kEdit},
      {"RECORDSETGETFIELDVALUE", HandleRecordsetGetFieldValue, Required({2, 3}), kAtOnce, kF,
       nullptr, kRead},
      {"RECORDSETUPDATE", nullptr, Required({2}), kAtOnce, kF, nullptr, kWrite, HandleRecordsetUpdate},
      {"RECORDSETDELETECURRENTROW", HandleRecordsetDeleteCurrentRow, Required({2}), kAtOnce, kF,
       nullptr, kEdit},
      {"RECORDSETDELETEALL", nullptr, Required({2}), kAtOnce, kF, nullptr, kEdit, HandleRecordsetDeleteAll},
      {"RECORDSETFINDROW", nullptr, Required({2, 3, 4}), kAtOnce, kF, nullptr, kRead, HandleRecordsetFindRow},
      {"RECORDSETSORT", nullptr, Required({2, 3, 4}), kAtOnce, kF, nullptr, kRead, HandleRecordsetSort},

      // Field metadata and row selection.
      {"RECORDSETGETFIELDCOUNT", HandleRecordsetGetFieldCount, Required({2}), kAtOnce, kF, nullptr, kRead},
      {"RECORDSETGETFIELDNAME", HandleRecordsetGetFieldName, Required({2, 3}), kAtOnce, kF,
       nullptr, kRead},
      {"RECORDSETGETFIELDINFO", HandleRecordsetGetFieldInfo, Required({2, 3}), kAtOnce, kF,
       nullptr, kRead},
      {"RECORDSETISFIELDNULLABLE", HandleRecordsetIsFieldNullable, Required({2, 3}), kAtOnce, kFlag,
       nullptr, kRead},
      {"RECORDSETISFIELDKEYCOLUMN", HandleRecordsetIsFieldKeyColumn, Required({2, 3}), kAtOnce,
       kFlag, nullptr, kRead},
      {"RECORDSETISFIELDBLOB", HandleRecordsetIsFieldBlob, Required({2, 3}), kAtOnce, kFlag,
       nullptr, kRead},
      {"RECORDSETGETFIELDSIZE", HandleRecordsetGetFieldSize, Required({2, 3}), kAtOnce, kF,
       nullptr, kRead},
      {"RECORDSETSELECTROW", HandleRecordsetSelectRow, Required({2, 3}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETDESELECTROW", HandleRecordsetDeselectRow, Required({2, 3}), kAtOnce, kF, nullptr, kSession},
      {"RECORDSETSELECTALL", nullptr, Required({2}), kAtOnce, kF, nullptr, kSession, HandleRecordsetSelectAll},
      {"RECORDSETDESELECTALL", nullptr, Required({2}), kAtOnce, kF, nullptr, kSession, HandleRecordsetDeselectAll},
      {"RECORDSETSELECTROWSRANGE", nullptr, Required({2, 3}), kAtOnce, kF,
       nullptr, kSession, HandleRecordsetSelectRowsRange},
      {"RECORDSETDESELECTROWSRANGE", nullptr, Required({2, 3}), kAtOnce,
       kF, nullptr, kSession, HandleRecordsetDeselectRowsRange},
      {"RECORDSETISROWSELECTED", HandleRecordsetIsRowSelected, Required({2, 3}), kAtOnce, kFlag,
       nullptr, kSession},
      {"RECORDSETMOVETOFIRSTSELECTEDROW", HandleRecordsetMoveToFirstSelectedRow, Required({2}),
       kAtOnce, kF, nullptr, kSession},
      {"RECORDSETMOVETONEXTSELECTEDROW", HandleRecordsetMoveToNextSelectedRow, Required({2}),
       kAtOnce, kF, nullptr, kSession},
      {"RECORDSETMOVETOPREVSELECTEDROW", HandleRecordsetMoveToPrevSelectedRow, Required({2}),
       kAtOnce, kF, nullptr, kSession},
      {"RECORDSETMOVETOLASTSELECTEDROW", HandleRecordsetMoveToLastSelectedRow, Required({2}),
       kAtOnce, kF, nullptr, kSession},
  };
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The first command of each group; the table lists the groups in this
// order, each as one run.
struct GroupStart {
  const char* first;
  CommandGroup group;
};
constexpr GroupStart kGroupStarts[] = {
    {"STARTTRANSACTION", CommandGroup::kSession},
    {"RECORDSETOPEN", CommandGroup::kNavigation},
    {"RECORDSETISCURRENTROWLOCKED", CommandGroup::kRowLock},
    {"RECORDSETADDROW", CommandGroup::kEditing},
    {"RECORDSETFINDROW", CommandGroup::kFindSort},
    {"RECORDSETGETFIELDCOUNT", CommandGroup::kFieldInfo},
    {"RECORDSETSELECTROW", CommandGroup::kSelection},
};
static_assert(std::size(kGroupStarts) == kCommandGroups);

}  // namespace

const std::vector<Command>& CommandTable() {
  static const std::vector<Command> table = BuildTable();
  return table;
}

bool TakesHandle(const Command& command) {
  return std::string_view(command.name).starts_with("RECORDSET");
}

CommandGroup GroupOf(const Command& command) {
  static const std::vector<CommandGroup> groups = [] {
    std::vector<CommandGroup> out;
    CommandGroup group = CommandGroup::kSession;
    for (const Command& each : CommandTable()) {
      for (const GroupStart& start : kGroupStarts) {
        if (std::string_view(each.name) == start.first) group = start.group;
      }
      out.push_back(group);
    }
    return out;
  }();
  return groups[static_cast<size_t>(&command - CommandTable().data())];
}

const char* CommandGroupName(CommandGroup group) {
  switch (group) {
    case CommandGroup::kSession:
      return "session";
    case CommandGroup::kNavigation:
      return "navigation";
    case CommandGroup::kRowLock:
      return "row_lock";
    case CommandGroup::kEditing:
      return "editing";
    case CommandGroup::kFindSort:
      return "find_sort";
    case CommandGroup::kFieldInfo:
      return "field_info";
    case CommandGroup::kSelection:
      return "selection";
  }
  return "unknown";
}

const Command* FindCommand(std::string_view name) {
  static const std::unordered_map<std::string, const Command*> by_name = [] {
    std::unordered_map<std::string, const Command*> map;
    for (const Command& command : CommandTable()) map.emplace(command.name, &command);
    return map;
  }();
  if (name.empty() || name.size() > 64) return nullptr;  // longer than any name
  const auto found = by_name.find(Upper(name));
  return found == by_name.end() ? nullptr : found->second;
}

std::string EchoReply(const char* name, int32_t handle) {
  return std::string(name) + kFieldSeparator + IdToText(handle);
}

std::string FlagReply(const char* name, int32_t handle, bool yes) {
  return EchoReply(name, handle) + kFieldSeparator + (yes ? '1' : '0');
}

std::string FailureReply(const char* name) { return std::string(name) + "~FAILED"; }

}  // namespace zt
