// Message framing on a client connection.
//
// Every message, in both directions, is one frame: STX (0x02), the message
// text, ETX (0x03). There is no length prefix; the two bytes are the only
// structure, and the text never holds STX, ETX or NUL.
//
// FrameParser is the receive side of one connection: bytes go in with
// Append, complete messages come out of ExtractMessage. It is pure (no
// sockets, no logging) so that every framing rule can be tested on bytes.
//
// Rules, applied byte by byte as the bytes are scanned:
//   - bytes outside a frame are dropped;
//   - STX opens a message; a run of STX opens one message, and an STX inside
//     a message drops the text collected so far and opens a new one;
//   - ETX closes the open message; an empty message (STX ETX) is dropped;
//   - NUL bytes are dropped where they stand (the text around them is kept).
// Limits, enforced while the ETX is still missing: a message longer than
// kMaxMessageLength is refused once, and its remaining bytes are dropped up
// to the next STX or ETX. The parser therefore holds at most one partial
// message (kMaxMessageLength bytes) and the bytes of the last Append that
// are not yet scanned, whatever a client sends.
//
// Cost: every byte is scanned once, so cutting many messages out of one read
// is linear in its size.
#ifndef ZT_NET_FRAME_H_
#define ZT_NET_FRAME_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zt {

inline constexpr char kStx = 0x02;
inline constexpr char kEtx = 0x03;

// The longest message text accepted: the request processor splits requests
// in a working buffer of 4092 bytes (the text and its terminator).
inline constexpr size_t kMaxMessageLength = 4091;

class FrameParser {
 public:
  enum class Result {
    kNeedMore,  // no complete message in the bytes appended so far
    kMessage,   // `message` holds the next complete message
    kRefused,   // a message outgrew kMaxMessageLength and is being dropped
  };

  // Takes the bytes of one read. NUL bytes are dropped here.
  void Append(std::string_view bytes);

  // Cuts the next message out of the appended bytes. Call until kNeedMore;
  // kRefused is reported once per over-long message and scanning can go on
  // at once.
  Result ExtractMessage(std::string& message);

  // Whether a message has begun (its STX is in) and its ETX is still to
  // come, after the last ExtractMessage that returned kNeedMore.
  bool mid_message() const { return state_ != State::kOutside; }

  // Bytes held: the partial message plus the bytes not yet scanned.
  size_t buffered() const { return partial_.size() + (pending_.size() - scanned_); }

 private:
  enum class State { kOutside, kInMessage, kDiscarding };

  State state_ = State::kOutside;
  std::string partial_;  // text of the open message (at most kMaxMessageLength)
  std::string pending_;  // appended bytes; [0, scanned_) already consumed
  size_t scanned_ = 0;
};

// Appends the frame STX text ETX to out, leaving what out already holds.
// Frame bytes inside text (possible only in values read back from damaged
// files) are replaced by '?', so that a reply can never split into two
// frames on the client side.
void AppendFrame(std::string& out, std::string_view text);

// The frame of text on its own (AppendFrame to an empty string).
std::string MakeFrame(std::string_view text);

}  // namespace zt

#endif  // ZT_NET_FRAME_H_
