#include "net/session.h"

namespace zt {

int FindSession(const SessionList& sessions, SocketHandle socket) {
  for (size_t i = 0; i < sessions.size(); ++i) {
    if (sessions[i].socket == socket) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace zt
