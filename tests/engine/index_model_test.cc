// Model-based test of the B-tree index: random inserts (many equal keys,
// keys of 1 to 120 characters, right-justified numbers), random deletes and
// every kind of search, compared with an ordered multimap that orders keys
// by CompareNoCase and equal keys by insertion order, as the index does.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/index.h"
#include "engine/index_check.h"
#include "support/test_support.h"

namespace zt {
namespace {

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return CompareNoCase(a, b) < 0;
  }
};
using Model = std::multimap<std::string, int64_t, NoCaseLess>;

class KeyMaker {
 public:
  explicit KeyMaker(uint32_t seed) : random_(seed) {
    // A pool of recurring values makes long runs of equal keys.
    for (int i = 0; i < 300; ++i) pool_.push_back(Fresh());
  }

  std::string Next() {
    if (Chance(60)) return pool_[Below(pool_.size())];
    return Fresh();
  }

  // A key near existing ones: a pool key, a prefix of one, or a fresh one.
  std::string Probe() {
    const int kind = static_cast<int>(Below(4));
    std::string key = pool_[Below(pool_.size())];
    if (kind == 0) return key;
    if (kind == 1) return key.substr(0, 1 + Below(key.size()));
    if (kind == 2) return key + "m";
    return Fresh();
  }

  size_t Below(size_t n) { return static_cast<size_t>(random_() % n); }
  bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }

 private:
  std::string Fresh() {
    static const char* const kPrefixes[] = {"OrdersId", "OrdersName", "CustomersCity",
                                            "ORDERSNAME"};
    std::string key = kPrefixes[Below(4)];
    if (Chance(40)) return key + PadLeft(std::to_string(random_() % 5000), 10);
    const size_t length = 1 + Below(Chance(10) ? 120 : 12);
    static const char kLetters[] = "abcdeABCDE _-xyz0189";
    std::string value;
    for (size_t i = 0; i < length; ++i) value += kLetters[Below(sizeof kLetters - 1)];
    if (Chance(10)) return value;  // short keys outside any table prefix
    return key + value;
  }

  std::mt19937 random_;
  std::vector<std::string> pool_;
};

class IndexModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.File("model.zix");
    ASSERT_TRUE(index_.IndexCreate(path_));
    ASSERT_TRUE(index_.IndexOpen(path_, 0));
  }

  void Insert(const std::string& key, int64_t record) {
    ASSERT_TRUE(index_.IndexInsert(key, record)) << key;
    model_.emplace(key.substr(0, kMaxKeyLength), record);
    live_.push_back({key, record});
  }

  void DeleteRandom() {
    if (live_.empty()) return;
    const size_t i = keys_.Below(live_.size());
    const auto [key, record] = live_[i];
    live_[i] = live_.back();
    live_.pop_back();
    ASSERT_TRUE(index_.IndexDelete(key, record)) << key << " " << record;
    auto range = model_.equal_range(key.substr(0, kMaxKeyLength));
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == record) {
        model_.erase(it);
        return;
      }
    }
    FAIL() << "model lost " << key;
  }

  // Checks the cursor against a model position (end = expect failure).
  void Expect(const char* what, const std::string& key, int found, const IndexCursor& cursor,
              Model::const_iterator want) {
    if (want == model_.end()) {
      EXPECT_FALSE(found) << what << " '" << key << "' found '" << cursor.key << "'";
      return;
    }
    ASSERT_TRUE(found) << what << " '" << key << "' should find '" << want->first << "'";
    EXPECT_EQ(cursor.key, want->first) << what << " '" << key << "'";
    EXPECT_EQ(cursor.record, want->second) << what << " '" << key << "'";
  }

  Model::const_iterator Before(Model::const_iterator it) const {
    return it == model_.begin() ? model_.end() : std::prev(it);
  }

  void CheckSearches(int probes) {
    for (int i = 0; i < probes; ++i) {
      const std::string key = keys_.Probe();
      const std::string cut = key.substr(0, kMaxKeyLength);
      const auto lower = model_.lower_bound(cut);
      const auto upper = model_.upper_bound(cut);
      IndexCursor cursor;
      int found = index_.IndexSeekGE(key, cursor);
      Expect("GE", key, found, cursor, lower);
      // Stepping from a search walks the entries in model order.
      if (found && lower != model_.end()) {
        auto it = lower;
        for (int step = 0; step < 3 && found; ++step) {
          found = index_.IndexNext(cursor);
          Expect("Next", key, found, cursor, ++it);
          if (it == model_.end()) break;
        }
      }
      found = index_.IndexSeekGT(key, cursor);
      Expect("GT", key, found, cursor, upper);
      found = index_.IndexSeekLT(key, cursor);
      Expect("LT", key, found, cursor, Before(lower));
      found = index_.IndexSeekLE(key, cursor);
      Expect("LE", key, found, cursor, Before(upper));
      if (found) {
        auto it = Before(upper);
        for (int step = 0; step < 3 && found; ++step) {
          found = index_.IndexPrev(cursor);
          it = Before(it);
          Expect("Prev", key, found, cursor, it);
          if (it == model_.end()) break;
        }
      }
      found = index_.IndexSeekEqual(key, cursor);
      Expect("Equal", key, found, cursor, lower != upper ? lower : model_.cend());
      if (HasFailure()) return;
    }
    // Every live pair is found by SeekExact.
    for (int i = 0; i < probes && !live_.empty(); ++i) {
      const auto& [key, record] = live_[keys_.Below(live_.size())];
      IndexCursor cursor;
      ASSERT_TRUE(index_.IndexSeekExact(key, record, cursor)) << key << " " << record;
      EXPECT_EQ(cursor.record, record);
    }
  }

  void CheckWholeIndex() {
    IndexCheckResult check;
    CheckIndex(index_.handle(), check);
    for (const std::string& problem : check.problems) ADD_FAILURE() << problem;
    auto it = model_.begin();
    for (const IndexCheckEntry& entry : check.entries) {
      if (entry.dead) continue;
      ASSERT_NE(it, model_.end()) << "extra entry " << entry.key;
      ASSERT_EQ(entry.key, it->first);
      ASSERT_EQ(entry.record, it->second);
      ++it;
    }
    EXPECT_EQ(it, model_.end());
    IndexCursor cursor;
    Expect("First", "", index_.IndexFirst(cursor), cursor, model_.begin());
    Expect("Last", "", index_.IndexLast(cursor), cursor, Before(model_.end()));
  }

  testing::ScratchFolder scratch_;
  std::string path_;
  IndexFile index_;
  Model model_;
  std::vector<std::pair<std::string, int64_t>> live_;  // as inserted
  KeyMaker keys_{20261210};
};

TEST_F(IndexModelTest, RandomInsertsDeletesAndSearchesMatchTheModel) {
  constexpr int kBatches = 30;
  constexpr int kBatchSize = 1000;
  int64_t record = 1;
  for (int batch = 0; batch < kBatches; ++batch) {
    for (int i = 0; i < kBatchSize; ++i) {
      // Deletes come in bursts in some batches so that whole runs die.
      const int delete_percent = batch % 5 == 4 ? 60 : 20;
      if (keys_.Chance(delete_percent)) {
        DeleteRandom();
      } else {
        Insert(keys_.Next(), record += 3);
      }
      if (HasFatalFailure()) return;
    }
    CheckSearches(100);
    if (HasFailure()) return;
    if (batch % 10 == 9) CheckWholeIndex();
    if (batch == kBatches / 2) {
      index_.IndexClose();
      ASSERT_TRUE(index_.IndexOpen(path_, 0));
    }
  }
  CheckWholeIndex();
  EXPECT_GT(model_.size(), 10000u);
}

}  // namespace
}  // namespace zt
