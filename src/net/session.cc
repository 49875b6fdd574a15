#include "net/session.h"

#include <algorithm>

namespace zt {

void ClientSession::ForgetRecordset(int32_t handle) {
  for (auto it = recordsets.begin(); it != recordsets.end(); ++it) {
    if (it->handle == handle) {
      recordsets.erase(it);
      return;
    }
  }
}

bool ClientSession::AddRowLock(int32_t handle, int32_t offset) {
  for (SessionRecordset& entry : recordsets) {
    if (entry.handle != handle) continue;
    entry.locked_rows.push_back(offset);
    return true;
  }
  return false;
}

bool ClientSession::RemoveRowLock(int32_t handle, int32_t offset) {
  for (SessionRecordset& entry : recordsets) {
    if (entry.handle != handle) continue;
    auto found = std::find(entry.locked_rows.begin(), entry.locked_rows.end(), offset);
    if (found == entry.locked_rows.end()) return false;
    entry.locked_rows.erase(found);
    return true;
  }
  return false;
}

bool ClientSession::HoldsRowLock(int32_t handle, int32_t offset) const {
  for (const SessionRecordset& entry : recordsets) {
    if (entry.handle != handle) continue;
    return std::find(entry.locked_rows.begin(), entry.locked_rows.end(), offset) !=
           entry.locked_rows.end();
  }
  return false;
}

int FindSession(const SessionList& sessions, SocketHandle socket) {
  for (size_t i = 0; i < sessions.size(); ++i) {
    if (sessions[i].socket == socket) return static_cast<int>(i);
  }
  return -1;
}

bool IsRowLockedByAnySession(const SessionList& sessions, int32_t offset) {
  for (const ClientSession& session : sessions) {
    for (const SessionRecordset& entry : session.recordsets) {
      if (std::find(entry.locked_rows.begin(), entry.locked_rows.end(), offset) !=
          entry.locked_rows.end()) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace zt
