// RequestQueue: one session's complete requests not yet answered, oldest
// first, kept in a single buffer.
//
// Layout of the buffer: the texts one after another, each followed by ETX:
//   [dead prefix][text 1][ETX][text 2][ETX]...
// The frame parser never lets ETX into a message text, so ETX can end each
// one. A queued request costs its text and one byte, nothing per object:
// a queue of a million one-byte requests holds 2 MB, not the 32 bytes or
// more that a string object (and its allocation) would cost each.
//
// The dead prefix is what the answered requests occupied. It is cut off
// once it is half the buffer, so the copying stays linear in the bytes
// queued and the buffer never holds more than twice the live requests;
// an emptied queue starts over at the front, and gives back a buffer that a
// burst made larger than kRetainedQueueCapacity.
//
// bytes() is what the session's bound counts: the buffer's length, dead
// prefix included (the memory really held). memory() is its capacity.
#ifndef ZT_NET_REQUEST_QUEUE_H_
#define ZT_NET_REQUEST_QUEUE_H_

#include <cassert>
#include <cstddef>
#include <string>
#include <string_view>

namespace zt {

// An emptied queue keeps a buffer up to this size for the next requests.
inline constexpr size_t kRetainedQueueCapacity = 64 * 1024;

class RequestQueue {
 public:
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  // Bytes the buffer holds: texts, their terminators and the dead prefix.
  size_t bytes() const { return buffer_.size(); }
  // Bytes allocated for the buffer.
  size_t memory() const { return buffer_.capacity(); }

  // Appends a request; text must not contain ETX (a parsed message never
  // does).
  void push_back(std::string_view text);
  // The oldest request; the view lasts until the next push_back or
  // pop_front. The queue must not be empty.
  std::string_view front() const {
    assert(count_ > 0);
    return std::string_view(buffer_).substr(head_, front_length_);
  }
  // Drops the oldest request. The queue must not be empty.
  void pop_front();
  void clear();

 private:
  // Length of the text that starts at head_ (up to its ETX).
  size_t TextLengthAt(size_t at) const;

  std::string buffer_;
  size_t head_ = 0;          // where the oldest request starts
  size_t front_length_ = 0;  // its length, when count_ > 0
  size_t count_ = 0;
};

}  // namespace zt

#endif  // ZT_NET_REQUEST_QUEUE_H_
