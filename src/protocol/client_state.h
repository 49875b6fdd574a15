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
//
// Waiters: a client whose head request waits (see the deferral rule in
// request_processor.h) is listed under the one row its last try met locked.
// Releasing a row wakes the clients listed under it, and only those, and
// forgets them: a release costs time in proportion to the requests waiting
// on that row, and locks churning elsewhere wake nobody. A woken client
// whose next try meets a row locked again is listed anew.
// Invariant: client.waiting_row is set exactly while the client is listed.
#ifndef ZT_PROTOCOL_CLIENT_STATE_H_
#define ZT_PROTOCOL_CLIENT_STATE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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
  // The wait of the deferred request at the head of the client's queue:
  // when its first try failed (NowMs), the row it is listed under in the
  // RowLockTable's waiters (none: not listed), and whether a release of that
  // row woke it since its last try (it is then worth a try at once).
  int64_t waiting_since_ms = 0;
  std::optional<int32_t> waiting_row;
  bool woken = false;
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
    ++changes_;
    return true;
  }
  // Releases a row the client holds through this handle.
  bool Unlock(int32_t row, ClientState& client, int32_t handle) {
    if (!HeldBy(row, client, handle)) return false;
    Release(row);
    if (ClientState::RecordsetEntry* entry = client.Entry(handle)) entry->locked_rows.erase(row);
    return true;
  }
  // Releases every row of the client's entry for the handle.
  void UnlockAll(ClientState& client, int32_t handle) {
    ClientState::RecordsetEntry* entry = client.Entry(handle);
    if (entry == nullptr) return;
    for (const int32_t row : entry->locked_rows) Release(row);
    entry->locked_rows.clear();
  }
  size_t size() const { return holders_.size(); }
  // Goes up with every row locked or released: a long request that read
  // the locks knows whether they still stand.
  uint64_t changes() const { return changes_; }

  // Lists the client under the row its head request found locked (moving it
  // from any row it was listed under).
  void AddWaiter(int32_t row, ClientState& client) {
    RemoveWaiter(client);
    waiters_[row].push_back(&client);
    client.waiting_row = row;
  }
  // Takes the client off the waiters (its request was answered, or it is
  // going away).
  void RemoveWaiter(ClientState& client) {
    if (!client.waiting_row) return;
    const auto it = waiters_.find(*client.waiting_row);
    client.waiting_row.reset();
    if (it == waiters_.end()) return;
    std::vector<ClientState*>& listed = it->second;
    for (size_t i = 0; i < listed.size(); ++i) {
      if (listed[i] == &client) {
        listed[i] = listed.back();
        listed.pop_back();
        break;
      }
    }
    if (listed.empty()) waiters_.erase(it);
  }
  // How many waiters releases have woken: a run that moved it has requests
  // worth another try.
  uint64_t wakes() const { return wakes_; }
  // Rows with at least one waiter listed.
  size_t rows_waited_on() const { return waiters_.size(); }

 private:
  struct Holder {
    const ClientState* client;
    int32_t handle;
  };
  // Frees the row and wakes whoever waits on it.
  void Release(int32_t row) {
    holders_.erase(row);
    ++changes_;
    const auto it = waiters_.find(row);
    if (it == waiters_.end()) return;
    for (ClientState* client : it->second) {
      client->woken = true;
      client->waiting_row.reset();
    }
    wakes_ += it->second.size();
    waiters_.erase(it);
  }

  std::unordered_map<int32_t, Holder> holders_;
  std::unordered_map<int32_t, std::vector<ClientState*>> waiters_;
  uint64_t wakes_ = 0;
  uint64_t changes_ = 0;
};

}  // namespace zt

#endif  // ZT_PROTOCOL_CLIENT_STATE_H_
