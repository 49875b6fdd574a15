// SIGKILL at random moments under a multi-client editing load (single-row
// and multi-row updates, adds, deletes; the clients' updates sent together
// so they share processing runs and log syncs). After each kill the offline
// check must be clean, every acknowledged change must be there, and each
// update in flight at the kill must be there whole or not at all.
//
// ZT_CRASH_KILLS sets the number of kills (a few by default; the long form
// in scripts/crash-test.sh runs hundreds) and ZT_CRASH_SEED the seed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/fields.h"
#include "engine/file.h"
#include "support/server_process.h"
#include "ztadmin/check.h"
#include "ztadmin/commands.h"

namespace zt::testing {
namespace {

using Table = std::map<int, std::string>;  // ID -> VAL
using State = std::map<int, std::optional<std::string>>;

constexpr int kClients = 4;

int EnvOr(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// One client's change: the rows it touches as they were and as they will be.
struct Change {
  State before;
  State after;
};

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(CreateDatabaseFiles(fixture_.folder().File("db.dat"), ItemsSchema(), err)) << err;
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  }

  struct Worker {
    std::unique_ptr<Client> client;
    std::string add;   // handle of the recordset that adds rows
    std::string edit;  // handle of the recordset over the worker's own rows
    std::string owner;
    int next_id = 0;
  };

  static int Handle(const std::string& reply) {
    const size_t at = reply.find('~');
    return at == std::string::npos ? 0 : FieldToInt(std::string_view(reply).substr(at + 1));
  }

  // Connects every worker and makes its recordsets; false when the server
  // is gone.
  bool Connect(std::vector<Worker>& workers) {
    for (int k = 0; k < kClients; ++k) {
      Worker& w = workers[static_cast<size_t>(k)];
      w.owner = "c" + std::to_string(k);
      w.client = fixture_.Connect();
      if (w.client == nullptr) return false;
      w.add = std::to_string(Handle(Ask(*w.client, "CREATERECORDSET")));
      w.edit = std::to_string(Handle(Ask(*w.client, "CREATERECORDSET")));
      if (Ask(*w.client, "RECORDSETOPEN~" + w.add + "~ITEMS") != "RECORDSETOPEN~" + w.add ||
          Ask(*w.client, "RECORDSETADDFILTERCOLUMN~" + w.edit + "~OWNER~=~" + w.owner + "~0") !=
              "RECORDSETADDFILTERCOLUMN~" + w.edit) {
        return false;
      }
    }
    return true;
  }

  std::string Text() {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s;
    const size_t n = 1 + rng_() % 30;
    for (size_t i = 0; i < n; ++i) s += kChars[rng_() % (sizeof kChars - 1)];
    return s;
  }

  // Everything of a change but its final UPDATE, which the caller sends.
  // False (and nothing to update) when the server went away meanwhile.
  bool Prepare(Worker& w, Change& change, std::string& update) {
    const auto ok = [&](const std::string& request) {
      const std::string reply = Ask(*w.client, request);
      return reply.rfind(request.substr(0, request.find('~')), 0) == 0 &&
             reply.find("FAILED") == std::string::npos;
    };
    std::vector<int> mine;
    for (const auto& [id, owner] : owners_) {
      if (owner == w.owner && table_.count(id)) mine.push_back(id);
    }
    const unsigned op = rng_() % 100;
    if (op < 40 || mine.size() < 2) {
      const int rows = 1 + static_cast<int>(rng_() % 2);
      for (int i = 0; i < rows; ++i) {
        const int id = w.next_id++;
        const std::string value = Text();
        if (!ok("RECORDSETADDROW~" + w.add) ||
            !ok("RECORDSETSETFIELDVALUE~" + w.add + "~ID~" + std::to_string(id)) ||
            !ok("RECORDSETSETFIELDVALUE~" + w.add + "~OWNER~" + w.owner) ||
            !ok("RECORDSETSETFIELDVALUE~" + w.add + "~VAL~" + value)) {
          return false;
        }
        owners_[id] = w.owner;
        change.before[id] = std::nullopt;
        change.after[id] = value;
      }
      update = "RECORDSETUPDATE~" + w.add;
      return true;
    }
    // Reopen over the worker's rows, then change two of them or delete one.
    if (!ok("RECORDSETOPEN~" + w.edit + "~ITEMS") || !ok("RECORDSETMOVEFIRST~" + w.edit)) {
      return false;
    }
    const bool remove = op >= 80;
    const size_t wanted = remove ? 1 : 2;
    size_t done = 0;
    for (;;) {
      const std::string prefix = "RECORDSETGETFIELDVALUE~" + w.edit + "~";
      const std::string reply = Ask(*w.client, prefix + "ID");
      if (reply.rfind(prefix, 0) != 0) return false;
      const int id = FieldToInt(std::string_view(reply).substr(prefix.size()));
      if (done < wanted && rng_() % 3 == 0) {
        change.before[id] = table_.at(id);
        if (remove) {
          if (!ok("RECORDSETDELETECURRENTROW~" + w.edit)) return false;
          change.after[id] = std::nullopt;
        } else {
          const std::string value = Text();
          if (!ok("RECORDSETSETFIELDVALUE~" + w.edit + "~VAL~" + value)) return false;
          change.after[id] = value;
        }
        if (++done == wanted) break;
      }
      if (Ask(*w.client, "RECORDSETMOVENEXT~" + w.edit) != "RECORDSETMOVENEXT~" + w.edit) {
        if (done > 0) break;
        if (!ok("RECORDSETMOVEFIRST~" + w.edit)) return false;
      }
    }
    update = "RECORDSETUPDATE~" + w.edit;
    return true;
  }

  static void Apply(Table& table, const State& state) {
    for (const auto& [id, value] : state) {
      if (value) {
        table[id] = *value;
      } else {
        table.erase(id);
      }
    }
  }

  // The table as a fresh client reads it (ID -> VAL).
  Table ReadTable() {
    Table seen;
    auto client = fixture_.Connect();
    EXPECT_NE(client, nullptr);
    if (client == nullptr) return seen;
    const std::string h = std::to_string(Handle(Ask(*client, "CREATERECORDSET")));
    EXPECT_EQ(Ask(*client, "RECORDSETOPEN~" + h + "~ITEMS"), "RECORDSETOPEN~" + h);
    const std::string prefix = "RECORDSETGETFIELDVALUE~" + h + "~";
    if (Ask(*client, "RECORDSETMOVEFIRST~" + h) == "RECORDSETMOVEFIRST~" + h) {
      do {
        const int id = FieldToInt(Ask(*client, prefix + "ID").substr(prefix.size()));
        EXPECT_EQ(seen.count(id), 0u) << "row " << id << " appears twice";
        seen[id] = Ask(*client, prefix + "VAL").substr(prefix.size());
      } while (Ask(*client, "RECORDSETMOVENEXT~" + h) == "RECORDSETMOVENEXT~" + h);
    }
    return seen;
  }

  enum class PowerLoss { kNone, kWhole, kTorn };
  // Kills the server again and again (after each, the power fails too
  // unless kNone) and checks what the restart finds.
  void RunKills(PowerLoss power_loss);

  ServerFixture fixture_{false};
  std::mt19937 rng_{static_cast<unsigned>(EnvOr("ZT_CRASH_SEED", 20261210))};
  Table table_;                      // every acknowledged change applied
  std::map<int, std::string> owners_;  // ID -> owner, of every row ever made
};

void CrashTest::RunKills(PowerLoss power_loss) {
  const int kills = EnvOr("ZT_CRASH_KILLS", 3);
  const std::string copies = fixture_.folder().File("synced");
  if (power_loss != PowerLoss::kNone) {
    // The server keeps each file's synced state where the power loss below
    // finds it.
    ASSERT_EQ(fixture_.server().Stop(), 0);
    ASSERT_EQ(MakeFolder(copies), 1);
    ::setenv("ZT_TEST_SYNCED_COPIES", copies.c_str(), 1);
    const bool started = fixture_.Start();
    ::unsetenv("ZT_TEST_SYNCED_COPIES");
    ASSERT_TRUE(started) << ReadFile(fixture_.output());
  }
  int acknowledged = 0, in_flight = 0, whole = 0, absent = 0;
  std::vector<Worker> workers(kClients);
  for (int k = 0; k < kClients; ++k) workers[static_cast<size_t>(k)].next_id = (k + 1) * 1000000;
  for (int kill = 0; kill < kills; ++kill) {
    ASSERT_TRUE(Connect(workers)) << ReadFile(fixture_.output());
    // The kill comes at a random moment of the rounds below.
    const pid_t pid = fixture_.server().pid();
    const int delay_ms = 5 + static_cast<int>(rng_() % 120);
    std::thread killer([pid, delay_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      ::kill(pid, SIGKILL);
    });
    std::vector<Change> pending;
    bool alive = true;
    while (alive) {
      // Each worker prepares a change; then all updates go out together.
      std::vector<Change> changes(kClients);
      std::vector<std::string> updates(kClients);
      for (int k = 0; k < kClients && alive; ++k) {
        alive = Prepare(workers[static_cast<size_t>(k)], changes[static_cast<size_t>(k)],
                        updates[static_cast<size_t>(k)]);
      }
      if (!alive) break;
      for (int k = 0; k < kClients; ++k) {
        if (!workers[static_cast<size_t>(k)].client->SendFrame(updates[static_cast<size_t>(k)])) {
          alive = false;
        }
      }
      for (int k = 0; k < kClients; ++k) {
        std::string reply;
        const auto& update = updates[static_cast<size_t>(k)];
        if (alive && workers[static_cast<size_t>(k)].client->ReceiveText(reply, kReplyTimeoutMs)) {
          ASSERT_EQ(reply, update) << "an update failed";
          Apply(table_, changes[static_cast<size_t>(k)].after);
          ++acknowledged;
        } else {
          alive = false;
          pending.push_back(changes[static_cast<size_t>(k)]);
        }
      }
    }
    killer.join();
    fixture_.server().WaitForExit();
    for (Worker& w : workers) w.client.reset();
    if (power_loss != PowerLoss::kNone) {
      // Every write no completed sync covers is lost (whole, or sector by
      // sector at random).
      ASSERT_EQ(SimulatePowerLossFrom(copies, rng_(), power_loss == PowerLoss::kTorn), 1);
      for (const std::string& name : ListFolder(copies, "")) FileDelete(copies + "/" + name);
      ::setenv("ZT_TEST_SYNCED_COPIES", copies.c_str(), 1);
    }

    // The offline check replays the server's log first.
    admin::SetToolOptions({.config_file = "", .work_folder = fixture_.folder().File("work")});
    std::ostringstream out, err;
    ASSERT_EQ(admin::CheckCommand(fixture_.folder().File("db.dat"), out, err), 0)
        << out.str() << err.str();
    const bool started = fixture_.Start();
    ::unsetenv("ZT_TEST_SYNCED_COPIES");
    ASSERT_TRUE(started) << ReadFile(fixture_.output());
    Table found = ReadTable();
    // Each change in flight: whole or absent; then it is part of the truth.
    for (const Change& change : pending) {
      ++in_flight;
      State now;
      for (const auto& [id, value] : change.after) {
        const auto it = found.find(id);
        now[id] = it == found.end() ? std::nullopt : std::optional<std::string>(it->second);
      }
      if (now == change.after) {
        ++whole;
        Apply(table_, change.after);
      } else {
        ++absent;
        EXPECT_EQ(now, change.before) << "a change in flight was found in part";
      }
    }
    ASSERT_EQ(found, table_) << "after kill " << kill;
  }
  std::printf("%s: kills %d, changes acknowledged %d, in flight %d (whole %d, absent %d)\n",
              power_loss == PowerLoss::kNone    ? "process crash"
              : power_loss == PowerLoss::kWhole ? "power loss"
                                                : "power loss, torn sectors",
              kills, acknowledged, in_flight, whole, absent);
}

TEST_F(CrashTest, KillsLoseNoAcknowledgedChangeAndLeaveNoPartialOne) { RunKills(PowerLoss::kNone); }

TEST_F(CrashTest, PowerLossLosesNoSyncedChangeAndLeavesNoPartialOne) {
  RunKills(PowerLoss::kWhole);
}

TEST_F(CrashTest, TornPowerLossLosesNoSyncedChangeAndLeavesNoPartialOne) {
  RunKills(PowerLoss::kTorn);
}

}  // namespace
}  // namespace zt::testing
