// (b) Sequences of well-formed requests: each command of the table with
// handles 0..3, the fixture's tables and columns, filter operators,
// numbers and long values, from two clients; with the first byte odd, on a
// server that requires authentication (user names and the password are
// among the values, so inputs reach the paths before and after it).
#include <string>

#include "harness.h"
#include "protocol/command_table.h"

namespace {

// Reads the input a byte at a time; zeros once it is used up.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::string Field(Bytes& in) {
  static const char* const kOperators[] = {"=", "<", ">", "<=", ">=", "<>", "LIKE", "!"};
  static const char* const kValues[] = {"", "0", "1", "-1", "7", "12", "2147483648", "3.5e9",
                                        "Smith", "S", " ", "~", "%", "fuzz", "ro", "rl", "pw"};
  const uint8_t kind = in.next();
  switch (kind % 8) {
    case 0:
      return std::to_string(in.next() % 4);  // a handle
    case 1:
      return zt::fuzz::kTables[in.next() % std::size(zt::fuzz::kTables)];
    case 2:
      return zt::fuzz::kColumns[in.next() % std::size(zt::fuzz::kColumns)];
    case 3:
      return kOperators[in.next() % std::size(kOperators)];
    case 4:
      return kValues[in.next() % std::size(kValues)];
    case 5:
      return std::to_string(static_cast<int32_t>(in.next() << 24 | in.next() << 16 | in.next()));
    case 6:
      return std::string(static_cast<size_t>(in.next()) * 17, static_cast<char>('A' + kind % 26));
    default: {
      std::string raw;
      for (uint8_t n = in.next() % 12; n > 0; --n) raw += static_cast<char>(in.next());
      return raw;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zt;
  const std::string file = fuzz::ScratchFolder() + "/request.dat";
  fuzz::CopyFixture(file);
  fuzz::FuzzServer server;
  if (!server.Open(file, size > 0 && (data[0] & 1) != 0)) return 0;
  const std::vector<Command>& table = CommandTable();
  Bytes in(data, size);
  for (int requests = 0; in.more() && requests < 64; ++requests) {
    const uint8_t head = in.next();
    std::string request = table[in.next() % table.size()].name;
    for (int fields = head % 6; fields > 0; --fields) request += "~" + Field(in);
    server.Queue(head >> 7, std::move(request));
    if (head & 0x40) server.Run();
  }
  server.Run();
  return 0;
}
