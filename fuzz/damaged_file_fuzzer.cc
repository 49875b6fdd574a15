// (c) A database whose definition, index or data file has been mutated,
// driven through a fixed script of opens with filters, moves, reads, sorts
// and edits. The input is a list of patches: a file byte, a 3-byte offset
// and the bytes to write there.
#include <string>

#include "engine/file.h"
#include "harness.h"

namespace {

constexpr const char* kScript[] = {
    "CREATERECORDSET",
    "RECORDSETADDFILTERCOLUMN~1~ID~>~1~1",
    "RECORDSETOPEN~1~CUSTOMER",
    "RECORDSETGETROWCOUNT~1",
    "RECORDSETMOVEFIRST~1",
    "RECORDSETGETFIELDVALUE~1~NAME",
    "RECORDSETGETFIELDVALUE~1~CITY",
    "RECORDSETMOVENEXT~1",
    "RECORDSETGETFIELDVALUE~1~ID",
    "RECORDSETSORT~1~NAME~1",
    "RECORDSETFINDROW~1~NAME~S",
    "RECORDSETMOVELAST~1",
    "RECORDSETGETFIELDINFO~1~0",
    "RECORDSETLOCKALL~1",
    "RECORDSETSETFIELDVALUE~1~CITY~York",
    "RECORDSETUPDATE~1",
    "RECORDSETADDROW~1",
    "RECORDSETSETFIELDVALUE~1~ID~99",
    "RECORDSETSETFIELDVALUE~1~NAME~New",
    "RECORDSETUPDATE~1",
    "RECORDSETDELETECURRENTROW~1",
    "RECORDSETUPDATE~1",
    "RECORDSETCLEARFILTERS~1",
    "RECORDSETOPENCEILING~1~ORDERS~NO~100",
    "RECORDSETGETFIELDVALUE~1~QTY",
    "RECORDSETOPEN~1~ORDERS",
    "RECORDSETSORT~1~QTY~0",
    "RECORDSETMOVEFIRST~1",
    "RECORDSETGETFIELDVALUE~1~CUSTOMER",
    "RECORDSETDELETEALL~1",
    "RECORDSETUPDATE~1",
    "GETLOCATIONINFORMATION",
    "RECORDSETCLOSE~1",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zt;
  const std::string stem = fuzz::ScratchFolder() + "/damaged";
  fuzz::CopyFixture(stem + ".dat");
  const char* extensions[] = {".dat", ".zdf", ".zix"};
  size_t at = 0;
  while (at + 5 <= size) {
    const std::string path = stem + extensions[data[at] % 3];
    const int64_t offset = data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
    const size_t n = std::min<size_t>(data[at + 4] % 16 + 1, size - at - 5);
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return 0;
    if (bytes.empty()) return 0;
    const size_t where = static_cast<size_t>(offset) % bytes.size();
    bytes.replace(where, std::min(n, bytes.size() - where),
                  reinterpret_cast<const char*>(data) + at + 5, std::min(n, bytes.size() - where));
    if (!ReplaceFileContent(path, bytes)) return 0;
    at += 5 + n;
  }
  fuzz::FuzzServer server;
  if (!server.Open(stem + ".dat")) return 0;
  for (const char* request : kScript) server.Queue(0, request);
  server.Run();
  return 0;
}
