// (a) The receive path: arbitrary bytes cut into arbitrary reads go through
// the frame parser, field splitting and command dispatch, against the small
// real database. Two clients take turns, so handles and locks meet.
#include "harness.h"
#include "net/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zt;
  const std::string file = fuzz::ScratchFolder() + "/receive.dat";
  fuzz::CopyFixture(file);
  fuzz::FuzzServer server;
  if (!server.Open(file)) return 0;
  FrameParser parsers[2];
  size_t turn = 0;
  for (const std::string_view read : fuzz::CutIntoReads(data, size)) {
    FrameParser& parser = parsers[turn % 2];
    parser.Append(read);
    std::string message;
    for (;;) {
      const FrameParser::Result result = parser.ExtractMessage(message);
      if (result == FrameParser::Result::kNeedMore) break;
      if (result == FrameParser::Result::kMessage) server.Queue(turn % 2, std::move(message));
      message.clear();
    }
    server.Run();
    ++turn;
  }
  return 0;
}
