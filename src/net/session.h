// ClientSession: what the server keeps for one accepted connection, and
// SessionList, all sessions in the order their connections were accepted.
//
// A session owns its receive state (the frame parser), its queue of
// complete requests not yet answered, the replies the socket has not yet
// taken, the recordsets its client created (with the rows it holds locked
// in them) and the DeferralCounter of the request at the head of its queue.
// The socket is the key by which events find the session; a socket is in at
// most one session. Sessions are held by value and move when an earlier one
// is removed: code keeps sockets or positions, never references, across
// anything that adds or removes sessions.
#ifndef ZT_NET_SESSION_H_
#define ZT_NET_SESSION_H_

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/transaction.h"
#include "net/frame.h"
#include "net/socket.h"

namespace zt {

class SessionRecordset {
 public:
  SessionRecordset() = default;
  explicit SessionRecordset(int32_t h) : handle(h) {}
  virtual ~SessionRecordset() = default;
  SessionRecordset(const SessionRecordset&) = default;
  SessionRecordset& operator=(const SessionRecordset&) = default;
  SessionRecordset(SessionRecordset&&) = default;
  SessionRecordset& operator=(SessionRecordset&&) = default;

  int32_t handle = 0;
  // Data-file record offsets of the rows this client holds locked.
  std::vector<int32_t> locked_rows;
};

class ClientSession {
 public:
  ClientSession() = default;
  ClientSession(SocketHandle s, std::string peer) : socket(s), peer_address(std::move(peer)) {}
  virtual ~ClientSession() = default;
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;
  ClientSession(ClientSession&&) = default;
  ClientSession& operator=(ClientSession&&) = default;

  SocketHandle socket = kNoSocket;
  std::string peer_address;          // dotted IPv4; empty when unknown
  std::deque<std::string> requests;  // complete messages, oldest first
  size_t queued_bytes = 0;           // sum of the sizes of requests
  FrameParser receive;               // bytes not yet cut into messages
  // Handed by reference to the row-editing operations. No command changes
  // it: the server never opens a transaction.
  TransactionContext transaction;
  std::vector<SessionRecordset> recordsets;  // in creation order
  int32_t deferral_counter = 0;

  // Reply bytes the socket has not accepted yet, in order; [output_sent,
  // end) is still to go. Replies are appended whole and never reordered.
  std::string output;
  size_t output_sent = 0;
  bool send_failed = false;  // a send failed; later replies are dropped
  bool draining = false;     // the peer closed; delivering the last replies
  uint32_t interest = 0;     // epoll events currently asked for

  size_t pending_output() const { return output.size() - output_sent; }

  void QueueRequest(std::string text) {
    queued_bytes += text.size();
    requests.push_back(std::move(text));
  }
  void PopRequest() {
    queued_bytes -= requests.front().size();
    requests.pop_front();
    deferral_counter = 0;
  }

  // Remembers a recordset this client created.
  void AddRecordset(int32_t handle) { recordsets.emplace_back(handle); }
  // Forgets the first entry with this handle (its locked rows with it).
  void ForgetRecordset(int32_t handle);
  // Row locks held in the entry with this handle.
  bool AddRowLock(int32_t handle, int32_t offset);
  bool RemoveRowLock(int32_t handle, int32_t offset);
  bool HoldsRowLock(int32_t handle, int32_t offset) const;
};

using SessionList = std::vector<ClientSession>;

// Position of the session of a socket, or -1.
int FindSession(const SessionList& sessions, SocketHandle socket);
// True when any entry of any session holds a lock on this record offset.
bool IsRowLockedByAnySession(const SessionList& sessions, int32_t offset);

}  // namespace zt

#endif  // ZT_NET_SESSION_H_
