// A randomized editing workload of several clients, compared with an
// in-memory model of the table; then the offline check, then the server is
// killed with SIGKILL right after an acknowledged update and started again:
// every acknowledged change must be there, and the index must agree.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/fields.h"
#include "support/server_process.h"
#include "ztadmin/check.h"

namespace zt::testing {
namespace {

struct Item {
  std::string owner;
  std::string value;
};
using Model = std::map<int, Item>;

constexpr int kClients = 3;
constexpr int kSteps = 400;
constexpr int kOwners = 5;

class EditingWorkloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(CreateDatabaseFiles(fixture_.folder().File("db.dat"), ItemsSchema(), err)) << err;
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  }

  // One client with two recordsets: `add` for new rows, `edit` reopened on
  // one row at a time through a key filter.
  struct Worker {
    std::unique_ptr<Client> client;
    int add = 0;
    int edit = 0;
    int next_id = 0;
    std::vector<int> ids;  // rows this worker owns in the model
  };

  // The number after the first "~" of a reply (0 when there is none).
  static int Handle(const std::string& reply) {
    const size_t at = reply.find('~');
    return at == std::string::npos ? 0 : FieldToInt(std::string_view(reply).substr(at + 1));
  }

  // Sends request and expects the echo of handle h (or an exact reply).
  static void Echo(Client& client, const std::string& request, const std::string& expected) {
    ASSERT_EQ(Ask(client, request), expected) << request;
  }

  std::string RandomText(size_t max_length) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ.,-";
    const size_t n = 1 + rng_() % max_length;
    std::string s;
    for (size_t i = 0; i < n; ++i) s += kChars[rng_() % (sizeof kChars - 1)];
    return s;
  }

  std::string RandomOwner() { return "o" + std::to_string(rng_() % kOwners); }

  // Positions the worker's edit recordset on the row of id.
  void Position(Worker& w, int id) {
    const std::string h = std::to_string(w.edit);
    Echo(*w.client, "RECORDSETCLEARFILTERS~" + h, "RECORDSETCLEARFILTERS~" + h);
    Echo(*w.client, "RECORDSETADDFILTERCOLUMN~" + h + "~ID~=~" + std::to_string(id) + "~1",
         "RECORDSETADDFILTERCOLUMN~" + h);
    Echo(*w.client, "RECORDSETOPEN~" + h + "~ITEMS", "RECORDSETOPEN~" + h);
    Echo(*w.client, "RECORDSETGETFIELDVALUE~" + h + "~ID",
         "RECORDSETGETFIELDVALUE~" + h + "~" + std::to_string(id));
  }

  void Step(Worker& w) {
    const unsigned op = rng_() % 100;
    if (op < 40 || w.ids.empty()) {
      // One or two new rows, stored by one update.
      const std::string h = std::to_string(w.add);
      const int rows = 1 + static_cast<int>(rng_() % 2);
      std::vector<std::pair<int, Item>> added;
      for (int i = 0; i < rows; ++i) {
        const int id = w.next_id++;
        Item item{RandomOwner(), RandomText(40)};
        Echo(*w.client, "RECORDSETADDROW~" + h, "RECORDSETADDROW~" + h);
        Echo(*w.client, "RECORDSETSETFIELDVALUE~" + h + "~ID~" + std::to_string(id),
             "RECORDSETSETFIELDVALUE~" + h);
        Echo(*w.client, "RECORDSETSETFIELDVALUE~" + h + "~OWNER~" + item.owner,
             "RECORDSETSETFIELDVALUE~" + h);
        Echo(*w.client, "RECORDSETSETFIELDVALUE~" + h + "~VAL~" + item.value,
             "RECORDSETSETFIELDVALUE~" + h);
        added.emplace_back(id, item);
      }
      Echo(*w.client, "RECORDSETUPDATE~" + h, "RECORDSETUPDATE~" + h);
      for (const auto& [id, item] : added) {
        model_[id] = item;
        w.ids.push_back(id);
      }
      return;
    }
    const size_t pick = rng_() % w.ids.size();
    const int id = w.ids[pick];
    const std::string h = std::to_string(w.edit);
    Position(w, id);
    Echo(*w.client, "RECORDSETGETFIELDVALUE~" + h + "~VAL",
         "RECORDSETGETFIELDVALUE~" + h + "~" + model_[id].value);
    if (op < 75) {
      Item item = model_[id];
      item.value = RandomText(60);                      // sometimes longer than the column
      if (rng_() % 3 == 0) item.owner = RandomOwner();  // a key change
      Echo(*w.client, "RECORDSETSETFIELDVALUE~" + h + "~VAL~" + item.value,
           "RECORDSETSETFIELDVALUE~" + h);
      Echo(*w.client, "RECORDSETSETFIELDVALUE~" + h + "~OWNER~" + item.owner,
           "RECORDSETSETFIELDVALUE~" + h);
      Echo(*w.client, "RECORDSETUPDATE~" + h, "RECORDSETUPDATE~" + h);
      item.value = item.value.substr(0, 40);
      model_[id] = item;
    } else {
      Echo(*w.client, "RECORDSETDELETECURRENTROW~" + h, "RECORDSETDELETECURRENTROW~" + h);
      Echo(*w.client, "RECORDSETUPDATE~" + h, "RECORDSETUPDATE~" + h);
      model_.erase(id);
      w.ids.erase(w.ids.begin() + static_cast<long>(pick));
    }
  }

  // Every row of the table as a fresh client reads it.
  Model ReadTable(Client& client, const std::string& filter_owner = "") {
    const std::string h = std::to_string(Handle(Ask(client, "CREATERECORDSET")));
    if (!filter_owner.empty()) {
      EXPECT_EQ(Ask(client, "RECORDSETADDFILTERCOLUMN~" + h + "~OWNER~=~" + filter_owner + "~0"),
                "RECORDSETADDFILTERCOLUMN~" + h);
    }
    EXPECT_EQ(Ask(client, "RECORDSETOPEN~" + h + "~ITEMS"), "RECORDSETOPEN~" + h);
    Model seen;
    const std::string value_prefix = "RECORDSETGETFIELDVALUE~" + h + "~";
    auto get = [&](const char* column) {
      const std::string reply = Ask(client, "RECORDSETGETFIELDVALUE~" + h + "~" + column);
      EXPECT_EQ(reply.rfind(value_prefix, 0), 0u) << reply;
      return reply.substr(value_prefix.size());
    };
    if (Ask(client, "RECORDSETMOVEFIRST~" + h) == "RECORDSETMOVEFIRST~" + h) {
      do {
        const int id = FieldToInt(get("ID"));
        EXPECT_EQ(seen.count(id), 0u) << "row " << id << " appears twice";
        seen[id] = Item{get("OWNER"), get("VAL")};
      } while (Ask(client, "RECORDSETMOVENEXT~" + h) == "RECORDSETMOVENEXT~" + h);
    }
    EXPECT_EQ(Ask(client, "RECORDSETCLOSE~" + h), "RECORDSETCLOSE~" + h);
    return seen;
  }

  // The table and, through key-filtered opens (index walks), every owner's
  // rows agree with the model.
  void ExpectServerMatchesModel() {
    auto client = fixture_.Connect();
    ASSERT_NE(client, nullptr);
    const Model table = ReadTable(*client);
    ASSERT_EQ(table.size(), model_.size());
    for (const auto& [id, item] : model_) {
      const auto found = table.find(id);
      ASSERT_NE(found, table.end()) << "row " << id << " is missing";
      EXPECT_EQ(found->second.owner, item.owner) << "row " << id;
      EXPECT_EQ(found->second.value, item.value) << "row " << id;
    }
    for (int o = 0; o < kOwners; ++o) {
      const std::string owner = "o" + std::to_string(o);
      std::set<int> expected, seen;
      for (const auto& [id, item] : model_) {
        if (item.owner == owner) expected.insert(id);
      }
      for (const auto& entry : ReadTable(*client, owner)) seen.insert(entry.first);
      EXPECT_EQ(seen, expected) << "owner " << owner;
    }
  }

  void ExpectCheckClean() {
    std::ostringstream out, err;
    EXPECT_EQ(admin::CheckCommand(fixture_.folder().File("db.dat"), out, err), 0)
        << out.str() << err.str();
  }

  ServerFixture fixture_{false};
  std::mt19937 rng_{20261210};
  Model model_;
};

TEST_F(EditingWorkloadTest, RandomEditsSurviveAKill) {
  std::vector<Worker> workers(kClients);
  for (int k = 0; k < kClients; ++k) {
    Worker& w = workers[static_cast<size_t>(k)];
    w.client = fixture_.Connect();
    ASSERT_NE(w.client, nullptr);
    w.add = Handle(Ask(*w.client, "CREATERECORDSET"));
    w.edit = Handle(Ask(*w.client, "CREATERECORDSET"));
    Echo(*w.client, "RECORDSETOPEN~" + std::to_string(w.add) + "~ITEMS",
         "RECORDSETOPEN~" + std::to_string(w.add));
    w.next_id = (k + 1) * 100000;
  }
  for (int step = 0; step < kSteps; ++step) {
    Step(workers[rng_() % kClients]);
    if (::testing::Test::HasFatalFailure()) return;
  }
  ExpectServerMatchesModel();

  // The last acknowledged change, then SIGKILL at once.
  Worker& last = workers[0];
  const std::string h = std::to_string(last.add);
  const int id = last.next_id++;
  Echo(*last.client, "RECORDSETADDROW~" + h, "RECORDSETADDROW~" + h);
  Echo(*last.client, "RECORDSETSETFIELDVALUE~" + h + "~ID~" + std::to_string(id),
       "RECORDSETSETFIELDVALUE~" + h);
  Echo(*last.client, "RECORDSETSETFIELDVALUE~" + h + "~OWNER~o1", "RECORDSETSETFIELDVALUE~" + h);
  Echo(*last.client, "RECORDSETSETFIELDVALUE~" + h + "~VAL~the last word",
       "RECORDSETSETFIELDVALUE~" + h);
  Echo(*last.client, "RECORDSETUPDATE~" + h, "RECORDSETUPDATE~" + h);
  fixture_.server().Kill();
  model_[id] = Item{"o1", "the last word"};

  ExpectCheckClean();
  ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  ExpectServerMatchesModel();
}

}  // namespace
}  // namespace zt::testing
