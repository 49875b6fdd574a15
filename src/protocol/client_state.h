// ClientState: what the server keeps for one client, and RowLockTable, the
// row locks of all clients.
//
// A client's state holds the recordsets it created, each with the rows it
// holds locked through it, and its transaction context. Handles are
// allocated above every handle in use, so a client's handles in ascending
// order are its recordsets in creation order.
//
// Row locks are the server's own and advisory: only the lock commands look
// at them. A row is named by its identifier (the data-file offset of its
// record, -1 for every row not yet stored) and is held by at most one
// recordset of one client. The table finds the holder of a row in O(1) and
// each recordset's rows through its entry, so locking or releasing all the
// rows of a recordset costs time in proportion to those rows alone.
#ifndef ZT_PROTOCOL_CLIENT_STATE_H_
#define ZT_PROTOCOL_CLIENT_STATE_H_

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/transaction.h"
#include "net/session.h"

namespace zt {

class ClientState : public SessionState {
 public:
  struct RecordsetEntry {
    std::unordered_set<int32_t> locked_rows;
  };

  // Handed by reference to the row-editing operations. No command changes
  // it: the server never opens a transaction.
  TransactionContext transaction;
  std::map<int32_t, RecordsetEntry> recordsets;  // by handle: creation order
  // RowLockTable::releases() at the last try of the deferred request at the
  // head of the client's queue: a count that moved on may let it through.
  uint64_t lock_releases_seen = 0;
  // The database-level error text the client's own requests last left
  // (GETLASTERRORTEXT): one client never reads another's failure.
  std::string last_error;

  RecordsetEntry* Entry(int32_t handle) {
    const auto it = recordsets.find(handle);
    return it == recordsets.end() ? nullptr : &it->second;
  }
};

class RowLockTable {
 public:
  bool IsLocked(int32_t row) const { return holders_.count(row) != 0; }
  // Whether this client holds the row through this handle.
  bool HeldBy(int32_t row, const ClientState& client, int32_t handle) const {
    const auto it = holders_.find(row);
    return it != holders_.end() && it->second.client == &client && it->second.handle == handle;
  }
  // Locks a row nobody holds through the client's entry of the handle; false
  // when the row is held or the client has no such entry.
  bool Lock(int32_t row, ClientState& client, int32_t handle) {
    ClientState::RecordsetEntry* entry = client.Entry(handle);
    if (entry == nullptr || IsLocked(row)) return false;
    holders_.emplace(row, Holder{&client, handle});
    entry->locked_rows.insert(row);
    return true;
  }
  // Releases a row the client holds through this handle.
  bool Unlock(int32_t row, ClientState& client, int32_t handle) {
    if (!HeldBy(row, client, handle)) return false;
    holders_.erase(row);
    ++releases_;
    if (ClientState::RecordsetEntry* entry = client.Entry(handle)) entry->locked_rows.erase(row);
    return true;
  }
  // Releases every row of the client's entry for the handle.
  void UnlockAll(ClientState& client, int32_t handle) {
    ClientState::RecordsetEntry* entry = client.Entry(handle);
    if (entry == nullptr) return;
    if (entry->locked_rows.empty()) return;
    for (const int32_t row : entry->locked_rows) holders_.erase(row);
    entry->locked_rows.clear();
    ++releases_;
  }
  size_t size() const { return holders_.size(); }
  // How many times rows were released: a deferred lock request is worth
  // another try only once this moved.
  uint64_t releases() const { return releases_; }

 private:
  struct Holder {
    const ClientState* client;
    int32_t handle;
  };
  std::unordered_map<int32_t, Holder> holders_;
  uint64_t releases_ = 0;
};

}  // namespace zt

#endif  // ZT_PROTOCOL_CLIENT_STATE_H_
