// The frame parser on bytes alone: which messages come out of which bytes,
// what is kept for later, and the limits that hold whatever a client sends.
#include "net/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zt {
namespace {

// '<' and '>' stand for STX and ETX, '@' for NUL, in the readable texts.
std::string Bytes(std::string_view readable) {
  std::string out;
  for (const char c : readable) {
    out += c == '<' ? kStx : c == '>' ? kEtx : c == '@' ? '\0' : c;
  }
  return out;
}

// Feeds each chunk as one read and collects the messages in order.
std::vector<std::string> Extract(FrameParser& parser, const std::vector<std::string>& chunks,
                                 int* refused = nullptr) {
  std::vector<std::string> messages;
  std::string message;
  for (const std::string& chunk : chunks) {
    parser.Append(Bytes(chunk));
    for (;;) {
      const FrameParser::Result result = parser.ExtractMessage(message);
      if (result == FrameParser::Result::kNeedMore) break;
      if (result == FrameParser::Result::kRefused) {
        if (refused) ++*refused;
        continue;
      }
      messages.push_back(message);
    }
  }
  return messages;
}

struct FrameCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> expected;
  size_t left_buffered;
};

class FrameCases : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameCases, YieldsTheExpectedMessages) {
  const FrameCase& c = GetParam();
  FrameParser parser;
  EXPECT_EQ(Extract(parser, c.chunks), c.expected);
  EXPECT_EQ(parser.buffered(), c.left_buffered);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, FrameCases,
    ::testing::Values(FrameCase{"Plain", {"<PQR>"}, {"PQR"}, 0},
                      FrameCase{"StxRunOpensOneMessage", {"<<<PQR>"}, {"PQR"}, 0},
                      FrameCase{"StrayBytesBeforeStxDropped", {"xyz<PQR>"}, {"PQR"}, 0},
                      FrameCase{"NoStxAtAllDropped", {"xyz"}, {}, 0},
                      FrameCase{"EtxWithoutStxDropped", {"PQ>"}, {}, 0},
                      FrameCase{"IncompleteKept", {"<PQ"}, {}, 2},
                      FrameCase{"SplitMessageCompletedLater", {"<PQ", "R>"}, {"PQR"}, 0},
                      FrameCase{"SplitInsideStxRun", {"<<", "<P>"}, {"P"}, 0},
                      FrameCase{"StxInsideMessageRestarts", {"<PQ<ST>"}, {"ST"}, 0},
                      FrameCase{"EmptyMessageDropped", {"<><PQ>"}, {"PQ"}, 0},
                      FrameCase{"TwoInOneRead", {"<PQ><ST>"}, {"PQ", "ST"}, 0},
                      FrameCase{"ThreeInOneReadInOrder", {"<a>junk<b><c~d>"}, {"a", "b", "c~d"}, 0},
                      FrameCase{"TildeIsOrdinary", {"<~~>"}, {"~~"}, 0},
                      FrameCase{"TrailingBytesAfterEtxDropped",
                                {"<CONNECTIONSTATUS>~SUCCEEDED"},
                                {"CONNECTIONSTATUS"},
                                0},
                      // A NUL is dropped where it stands; the bytes behind it survive and
                      // a later message in the same read is still extracted.
                      FrameCase{"NulDroppedTextKept", {"<PQ@ST>"}, {"PQST"}, 0},
                      FrameCase{"NulDoesNotHideLaterMessage", {"<P@>@<Q>"}, {"P", "Q"}, 0},
                      FrameCase{"OnlyNulInFrameIsEmpty", {"<@>"}, {}, 0}),
    [](const ::testing::TestParamInfo<FrameCase>& param) { return std::string(param.param.name); });

TEST(FrameLimits, MessageOfMaximumLengthIsAccepted) {
  FrameParser parser;
  const std::string text(kMaxMessageLength, 'a');
  int refused = 0;
  EXPECT_EQ(Extract(parser, {"<" + text + ">"}, &refused), std::vector<std::string>{text});
  EXPECT_EQ(refused, 0);
}

TEST(FrameLimits, OverlongMessageRefusedOnceAndNextMessageServed) {
  FrameParser parser;
  int refused = 0;
  const std::string text(kMaxMessageLength + 1, 'a');
  EXPECT_EQ(Extract(parser, {"<" + text + "><ok>"}, &refused), std::vector<std::string>{"ok"});
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(parser.buffered(), 0u);
}

TEST(FrameLimits, OverlongMessageRefusedBeforeItsEtxArrives) {
  FrameParser parser;
  int refused = 0;
  // Endless bytes after an STX, in many reads: refused once, and the parser
  // never holds more than one message's worth.
  Extract(parser, {"<"}, &refused);
  for (int i = 0; i < 100; ++i) {
    Extract(parser, {std::string(1000, 'x')}, &refused);
    EXPECT_LE(parser.buffered(), kMaxMessageLength);
  }
  EXPECT_EQ(refused, 1);
  // Its ETX ends the discarding; a new frame is served again.
  EXPECT_EQ(Extract(parser, {"xx><good>"}, &refused), std::vector<std::string>{"good"});
  EXPECT_EQ(refused, 1);
}

TEST(FrameLimits, StxDuringDiscardStartsAFreshMessage) {
  FrameParser parser;
  int refused = 0;
  const std::string text(kMaxMessageLength + 10, 'a');
  EXPECT_EQ(Extract(parser, {"<" + text, "<fresh>"}, &refused), std::vector<std::string>{"fresh"});
  EXPECT_EQ(refused, 1);
}

TEST(FrameLimits, BytesWithoutAnyFrameAreNotKept) {
  FrameParser parser;
  for (int i = 0; i < 100; ++i) {
    Extract(parser, {std::string(10000, 'z')});
    EXPECT_EQ(parser.buffered(), 0u);
  }
}

TEST(FrameLimits, ManyMessagesInOneReadAllComeOut) {
  std::string read;
  for (int i = 0; i < 20000; ++i) read += "<msg>";
  FrameParser parser;
  EXPECT_EQ(Extract(parser, {read}).size(), 20000u);
  EXPECT_EQ(parser.buffered(), 0u);
}

TEST(MakeFrame, WrapsTextAndNeutralisesFrameBytes) {
  EXPECT_EQ(MakeFrame("A~1"), Bytes("<A~1>"));
  EXPECT_EQ(MakeFrame(std::string("a\x02"
                                  "b\x03"
                                  "c",
                                  5)),
            Bytes("<a?b?c>"));
  EXPECT_EQ(MakeFrame(""), Bytes("<>"));
}

TEST(AppendFrame, KeepsWhatTheBufferHeldAndNeutralisesOnlyTheNewText) {
  // Replies of a run share one output buffer: earlier frames stay intact.
  std::string out = Bytes("<A~1>");
  AppendFrame(out, std::string("b\x03", 2));
  AppendFrame(out, "C");
  EXPECT_EQ(out, Bytes("<A~1><b?><C>"));
}

}  // namespace
}  // namespace zt
