// What the fuzz targets share: a small real database in a scratch folder
// and the server's request path without sockets.
//
// A FuzzServer owns a Database, its Recordsets, an event loop that is
// never run, the NetServer and the RequestDispatcher, exactly as the
// server wires them. Requests go into one client session's queue and a
// processing run answers them; the replies pile up in the session's output
// and are dropped. Every input starts from the same pristine files, so a
// crash reproduces from its input alone.
#ifndef ZT_FUZZ_HARNESS_H_
#define ZT_FUZZ_HARNESS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "net/event_loop.h"
#include "net/net_server.h"
#include "protocol/authorisation.h"
#include "protocol/request_processor.h"
#include "recordset/recordsets.h"

namespace zt::fuzz {

// Two tables, keys of both kinds, a dropped column: the fixture every
// target drives.
DatabaseSchema FixtureSchema();
// Column names of the fixture (for the structured targets).
inline constexpr const char* kColumns[] = {"ID", "NAME", "CITY", "FAX", "NO", "CUSTOMER", "QTY"};
inline constexpr const char* kTables[] = {"CUSTOMER", "ORDERS"};

// The scratch folder of this process, made once.
const std::string& ScratchFolder();

// Writes the pristine fixture database (a few rows in each table) to
// ScratchFolder()/fixture.dat once, and copies it to data_file.
void CopyFixture(const std::string& data_file);

class FuzzServer {
 public:
  // Opens data_file (false when the open fails, as for a damaged file).
  // With users, the server has the accounts of FuzzAccounts and requires
  // authentication: requests go through the authoriser first.
  bool Open(const std::string& data_file, bool with_users = false);
  // Queues the requests of one client and answers them; `clients` sessions
  // exist, requests go to session `client`.
  void Queue(size_t client, std::string request);
  void Run();
  ~FuzzServer();

 private:
  std::unique_ptr<Database> database_;
  std::unique_ptr<Recordsets> recordsets_;
  EventLoop loop_;
  std::unique_ptr<NetServer> net_;
  std::unique_ptr<RequestDispatcher> dispatcher_;
  std::unique_ptr<AccountStore> accounts_;
  std::unique_ptr<Authoriser> authoriser_;
};

// The users of a FuzzServer opened with users: "fuzz" (read-write), "ro"
// (read-only) and "rl" (read, row locks), each with the password "pw".
inline constexpr const char* kUsers[] = {"fuzz", "ro", "rl", "nobody"};
inline constexpr char kPassword[] = "pw";

// Splits an input into reads: each read is one length byte and that many
// bytes (a crude but stable way to cut arbitrary bytes arbitrarily).
std::vector<std::string_view> CutIntoReads(const uint8_t* data, size_t size);

}  // namespace zt::fuzz

#endif  // ZT_FUZZ_HARNESS_H_
