// The reply of RECORDSETFETCHROWS (an extension of the protocol;
// docs/protocol.md, "Extension: RECORDSETFETCHROWS"):
//
//   RECORDSETFETCHROWS~h~k~c~end~v(1,1)~...~v(1,c)~v(2,1)~...~v(k,c)
//
// k rows of c values each; end is 1 when no row is left after them.
//
// Value framing: a stored value may hold any byte but NUL (it ends at one),
// so a value may hold "~", STX or ETX, which a reply cannot carry as they
// are. Each of the bytes 0x02, 0x03, 0x10 and "~" is sent as DLE (0x10)
// followed by the byte XOR 0x40 ("B", "C", "P", ">"); every other byte is
// sent as it is. A reply without DLE needs no decoding, and escaped bytes
// are ASCII, so the escaping never cuts a UTF-8 sequence.
//
// The handler (bulk_commands.cc) writes replies with AppendFetchedValue;
// in-process readers (the web console) read them with ParseFetchRowsReply.
// The client library decodes the same framing on its own side.
#ifndef ZT_PROTOCOL_FETCH_ROWS_FORMAT_H_
#define ZT_PROTOCOL_FETCH_ROWS_FORMAT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

// Appends value to out in the framing above.
void AppendFetchedValue(std::string& out, std::string_view value);

struct FetchedRows {
  int64_t rows = 0;
  int64_t columns = 0;
  bool end = false;
  std::vector<std::string> values;  // rows * columns, decoded, row after row
};

// Splits and decodes a success reply; false when reply is not one of that
// shape (a failure among them), or its counts disagree with its values.
[[nodiscard]] bool ParseFetchRowsReply(std::string_view reply, FetchedRows& out);

}  // namespace zt

#endif  // ZT_PROTOCOL_FETCH_ROWS_FORMAT_H_
