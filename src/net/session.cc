#include "net/session.h"

#include <chrono>

namespace zt {

int FindSession(const SessionList& sessions, SocketHandle socket) {
  for (size_t i = 0; i < sessions.size(); ++i) {
    if (sessions[i].socket == socket) return static_cast<int>(i);
  }
  return -1;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace zt
