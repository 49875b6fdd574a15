// The background verification: it finds what the log cannot vouch for (an
// index that disagrees with the records, damaged records), finds nothing in
// a sound database however the clients change it between slices, and
// every slice ends at its deadline.
#include "engine/database_verify.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/database.h"
#include "engine/index.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zt::testing {
namespace {

using Clock = std::chrono::steady_clock;

class DatabaseVerifyTest : public ::testing::Test {
 public:
  void SetUp() override {
    // Each case of a table gets a database of its own.
    verifier_.reset();
    db_.reset();
    path_ = folder_.File("shop" + std::to_string(++databases_) + ".dat");
    CreateDatabase(path_, SmallShopSchema());
    AddShopOrders(path_);
    db_ = std::make_unique<Database>(folder_.File("work"));
    ASSERT_EQ(db_->OpenDatabase(path_.c_str(), 0), 1);
    verifier_ = std::make_unique<DatabaseVerifier>(*db_);
  }
  // Runs the verification whole; between slices (each of one clock read)
  // between() runs.
  DatabaseVerifier& Verify(const std::function<void()>& between = {}) {
    verifier_->Begin();
    while (verifier_->Step(Clock::time_point::min())) {
      if (between) between();
    }
    return *verifier_;
  }
  // The offset of the first live order the index names.
  int64_t FirstOrder() {
    IndexCursor cursor;
    EXPECT_EQ(db_->index().IndexSeekGE("OrdersId", cursor), 1);
    return cursor.record;
  }

  ScratchFolder folder_;
  std::string path_;
  int databases_ = 0;
  std::unique_ptr<Database> db_;
  std::unique_ptr<DatabaseVerifier> verifier_;
};

TEST_F(DatabaseVerifyTest, ASoundDatabaseVerifiesClean) {
  const DatabaseVerifier& v = Verify();
  EXPECT_EQ(v.state(), DatabaseVerifier::State::kClean)
      << (v.problems().empty() ? "" : v.problems().front());
  EXPECT_EQ(v.done(), v.total());
  EXPECT_GT(v.total(), 0);
}

TEST_F(DatabaseVerifyTest, FindsWhatTheLogCannotVouchFor) {
  struct Case {
    const char* name;
    std::function<void(DatabaseVerifyTest&)> damage;
    bool index_damaged;
    bool records_damaged;
    const char* found;
  };
  const Case cases[] = {
      {"an index entry for no record",
       [](DatabaseVerifyTest& t) {
         ASSERT_EQ(t.db_->index().IndexInsert("OrdersId    9999", 12345), 1);
       },
       true, false, "no record starts there"},
      {"an index entry for a record without that key",
       [](DatabaseVerifyTest& t) {
         ASSERT_EQ(t.db_->index().IndexInsert("OrdersId    9999", t.FirstOrder()), 1);
       },
       true, false, "holds no such key"},
      {"a record key missing from the index",
       [](DatabaseVerifyTest& t) {
         IndexCursor cursor;
         ASSERT_EQ(t.db_->index().IndexSeekGE("OrdersId", cursor), 1);
         ASSERT_EQ(t.db_->index().IndexDelete(cursor.key, cursor.record), 1);
       },
       true, false, "is missing from the index"},
      {"a damaged record header",
       [](DatabaseVerifyTest& t) {
         const int64_t record = t.FirstOrder();
         PokeByte(t.path_, static_cast<long>(record), '#');
         ASSERT_EQ(t.db_->DropCaches(), 1);
       },
       true, true, "no record header at"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.damage(*this);
    const DatabaseVerifier& v = Verify();
    EXPECT_EQ(v.state(), DatabaseVerifier::State::kDamaged);
    EXPECT_EQ(v.index_damaged(), c.index_damaged);
    EXPECT_EQ(v.records_damaged(), c.records_damaged);
    bool found = false;
    for (const std::string& p : v.problems()) found = found || p.find(c.found) != std::string::npos;
    EXPECT_TRUE(found) << (v.problems().empty() ? "(none)" : v.problems().front());
    EXPECT_LE(v.problems().size(), DatabaseVerifier::kKeptProblems);
  }
}

TEST_F(DatabaseVerifyTest, ChangesBetweenSlicesAreNoProblem) {
  // Each slice does a few units; between two of them a client adds an
  // order, changes one or deletes one, so pages split and records move
  // while the verification walks them.
  int step = 0;
  int next_id = 1000;
  std::string err;
  const DatabaseVerifier& v = Verify([&] {
    ++step;
    int64_t offset = -1;
    if (step % 3 == 0) {
      const std::string data = ShopOrder(next_id++);
      ASSERT_EQ(db_->AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "Orders", &err), 1)
          << err;
    } else if (step % 3 == 1) {
      offset = FirstOrder();
      ASSERT_EQ(db_->DeleteRecord("Orders", offset, &err), 1) << err;
    } else {
      offset = FirstOrder();
      const std::string data = ShopOrder(next_id++);
      ASSERT_EQ(db_->UpdateRecord(data, static_cast<int32_t>(data.size()), offset, "Orders", &err), 1)
          << err;
    }
  });
  EXPECT_GT(step, 3);
  EXPECT_EQ(v.state(), DatabaseVerifier::State::kClean)
      << (v.problems().empty() ? "" : v.problems().front());
}

}  // namespace
}  // namespace zt::testing
