#include "harness.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "engine/error_log.h"
#include "engine/file.h"

namespace zt::fuzz {
namespace {

void Quiet(std::string_view) {}

std::string ReadAll(const std::string& path) {
  std::string out;
  if (!ReadWholeFile(path, out)) out.clear();
  return out;
}

}  // namespace

DatabaseSchema FixtureSchema() {
  DatabaseSchema schema;
  schema.tables.push_back({"CUSTOMER",
                           {{"ID", 1, 6, true, false},
                            {"NAME", 0, 20, true, false},
                            {"CITY", 0, 12, false, false},
                            {"FAX", 0, 8, false, true}}});
  schema.tables.push_back({"ORDERS",
                           {{"NO", 1, 8, true, false},
                            {"CUSTOMER", 2, 6, true, false},
                            {"QTY", 3, 5, false, false}}});
  schema.locations = {"Main St 1", "Springfield", "", "", "", "", "", "Shop"};
  return schema;
}

const std::string& ScratchFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/ztfuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    SetErrorLogFolder(std::string(made) + "/work");
    return std::string(made);
  }();
  return folder;
}

void CopyFixture(const std::string& data_file) {
  static const std::vector<std::string> pristine = [] {
    const std::string base = ScratchFolder() + "/fixture";
    std::string err;
    if (!CreateDatabaseFiles(base + ".dat", FixtureSchema(), err)) std::abort();
    {
      FuzzServer server;
      if (!server.Open(base + ".dat")) std::abort();
      const char* rows[] = {
          "CREATERECORDSET", "RECORDSETOPEN~1~CUSTOMER",
          "RECORDSETADDROW~1", "RECORDSETSETFIELDVALUE~1~ID~7",
          "RECORDSETSETFIELDVALUE~1~NAME~Smith", "RECORDSETSETFIELDVALUE~1~CITY~Leeds",
          "RECORDSETADDROW~1", "RECORDSETSETFIELDVALUE~1~ID~12",
          "RECORDSETSETFIELDVALUE~1~NAME~Jones", "RECORDSETADDROW~1",
          "RECORDSETSETFIELDVALUE~1~ID~3", "RECORDSETSETFIELDVALUE~1~NAME~Brown",
          "RECORDSETUPDATE~1", "RECORDSETOPEN~1~ORDERS",
          "RECORDSETADDROW~1", "RECORDSETSETFIELDVALUE~1~NO~100",
          "RECORDSETSETFIELDVALUE~1~CUSTOMER~7", "RECORDSETSETFIELDVALUE~1~QTY~2.5",
          "RECORDSETADDROW~1", "RECORDSETSETFIELDVALUE~1~NO~101",
          "RECORDSETSETFIELDVALUE~1~CUSTOMER~-3", "RECORDSETUPDATE~1",
      };
      for (const char* row : rows) server.Queue(0, row);
      server.Run();
    }
    std::vector<std::string> files;
    for (const char* extension : {".dat", ".zdf", ".zix"}) files.push_back(ReadAll(base + extension));
    return files;
  }();
  const std::string stem = data_file.substr(0, data_file.size() - 4);
  const char* extensions[] = {".dat", ".zdf", ".zix"};
  for (size_t i = 0; i < pristine.size(); ++i) {
    if (!ReplaceFileContent(stem + extensions[i], pristine[i])) std::abort();
  }
}

namespace {

class FuzzAccounts : public AccountStore {
 public:
  std::optional<Account> Verify(std::string_view user, std::string_view password) override {
    return password == kPassword ? Find(user) : std::nullopt;
  }
  std::optional<Account> Find(std::string_view user) override {
    if (user == "fuzz") return Account{.name = "fuzz", .may_write = true, .may_lock = true};
    if (user == "ro") return Account{.name = "ro", .may_write = false, .may_lock = false};
    if (user == "rl") return Account{.name = "rl", .may_write = false, .may_lock = true};
    return std::nullopt;
  }
};

}  // namespace

bool FuzzServer::Open(const std::string& data_file, bool with_users) {
  database_ = std::make_unique<Database>(ScratchFolder() + "/work");
  recordsets_ = std::make_unique<Recordsets>(*database_, uint64_t{64} << 20);
  net_ = std::make_unique<NetServer>(loop_, Quiet);
  net_->set_retry_delay(1);
  dispatcher_ = std::make_unique<RequestDispatcher>(*net_, *database_, *recordsets_);
  net_->set_processor(dispatcher_.get());
  if (with_users) {
    accounts_ = std::make_unique<FuzzAccounts>();
    authoriser_ = std::make_unique<Authoriser>(
        *accounts_, *recordsets_,
        AuthPolicy{.require = true, .failure_delay_ms = 1, .max_failure_delay_ms = 2}, Quiet);
    dispatcher_->set_authoriser(authoriser_.get());
  }
  return database_->OpenDatabase(data_file.c_str(), 0) != 0;
}

void FuzzServer::Queue(size_t client, std::string request) {
  SessionList& sessions = net_->sessions();
  while (sessions.size() <= client) sessions.emplace_back(kNoSocket, "127.0.0.1");
  sessions[client].QueueRequest(std::move(request));
}

void FuzzServer::Run() {
  // Deferred requests get their tries as the timer would give them.
  for (int run = 0; run < 200; ++run) {
    dispatcher_->ProcessRequests(/*retry_due=*/run > 0);
    bool waiting = false;
    for (ClientSession& session : net_->sessions()) {
      session.output.clear();
      session.output_sent = 0;
      waiting = waiting || !session.requests.empty();
    }
    if (!waiting) break;
  }
}

FuzzServer::~FuzzServer() {
  if (!net_) return;
  for (ClientSession& session : net_->sessions()) dispatcher_->SessionClosed(session);
  net_->sessions().clear();
  recordsets_->CloseAllRecordsets();
  database_->CloseDatabase();
}

std::vector<std::string_view> CutIntoReads(const uint8_t* data, size_t size) {
  std::vector<std::string_view> reads;
  size_t at = 0;
  while (at < size) {
    const size_t n = std::min<size_t>(data[at] + 1u, size - at - 1);
    reads.emplace_back(reinterpret_cast<const char*>(data) + at + 1, n);
    at += 1 + n;
  }
  return reads;
}

}  // namespace zt::fuzz
