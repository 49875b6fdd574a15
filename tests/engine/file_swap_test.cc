// The replacement of several database files at once: a crash anywhere in
// CommitFileSwap leaves, once FinishPendingSwap has run, all the old files
// or all the new ones; a whole marker is finished however far its renames
// got; a torn one leaves the old files; nothing is touched while another
// process holds the database.
#include "engine/file_swap.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/file.h"
#include "engine/filenames.h"
#include "support/kill_point.h"
#include "support/test_support.h"

namespace zt {
namespace {

using testing::ReadFile;
using testing::ScratchFolder;
using testing::WriteFile;

std::string Flip(std::string bytes, size_t at) {
  if (at < bytes.size()) bytes.replace(at, 1, 1, static_cast<char>(bytes[at] ^ 1));
  return bytes;
}

class FileSwapTest : public ::testing::Test {
 protected:
  // The old files hold "old <ext>", their replacements "new <ext>".
  void SetUp() override {
    for (size_t i = 0; i < targets_.size(); ++i) {
      WriteFile(targets_[i], "old " + std::to_string(i));
      WriteFile(sources_[i], "new " + std::to_string(i));
    }
  }
  std::vector<FileRenaming> Renames() const {
    std::vector<FileRenaming> renames;
    for (size_t i = 0; i < targets_.size(); ++i) renames.push_back({sources_[i], targets_[i]});
    return renames;
  }
  // "old", "new", or "mixed" (with what each file holds).
  std::string Contents() const {
    std::string all;
    int olds = 0;
    for (size_t i = 0; i < targets_.size(); ++i) {
      const std::string text = ReadFile(targets_[i]);
      all += text + ";";
      olds += text == "old " + std::to_string(i) ? 1 : 0;
    }
    if (olds == 3) return "old";
    if (all == "new 0;new 1;new 2;") return "new";
    return "mixed: " + all;
  }
  bool LeftoversGone() const {
    for (const std::string& source : sources_) {
      if (PathExists(source)) return false;
    }
    return !PathExists(marker_);
  }
  // Runs CommitFileSwap in a child holding the data file, killed at its
  // nth write, sync or rename; true when it ran to the end instead.
  bool CommitKilledAt(int64_t n) {
    return testing::FinishesBeforeKillPoint(n, [&] {
      File hold;
      bool committed = false;
      std::string error;
      return hold.Open(data_, 0) && CommitFileSwap(data_, Renames(), committed, error) ? 0 : 1;
    });
  }

  ScratchFolder dir_;
  std::string data_ = dir_.File("shop.dat");
  std::string replacement_ = ReplacementDataFileName(data_);
  std::string marker_ = DerivedFileName(data_, kSwapMarkerExtension);
  // The data file last, as compaction orders them.
  std::vector<std::string> targets_ = {DerivedFileName(data_, kDefinitionFileExtension),
                                       DerivedFileName(data_, kIndexFileExtension), data_};
  std::vector<std::string> sources_ = {DerivedFileName(replacement_, kDefinitionFileExtension),
                                       DerivedFileName(replacement_, kIndexFileExtension),
                                       replacement_};
};

TEST_F(FileSwapTest, ReplacementNamesNeverFallOnTheOldFiles) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/db/shop.dat", "/db/shop~new.dat"},
      {"/db/shop", "/db/shop~new.dat"},  // its siblings would be /db/shop.zdf
      {"/d.b/.shop", "/d.b/.shop~new.dat"},
      {"shop.data", "shop~new.data"},
  };
  for (const auto& [data_file, replacement] : cases) {
    EXPECT_EQ(ReplacementDataFileName(data_file), replacement) << data_file;
    EXPECT_NE(DerivedFileName(replacement, ".zdf"), DerivedFileName(data_file, ".zdf"));
  }
}

TEST_F(FileSwapTest, KilledAnywhereTheFilesAreAllOldOrAllNew) {
  std::string whole_marker;
  bool finished = false;
  bool seen_new = false;
  for (int64_t n = 1; n < 50 && !finished; ++n) {
    SCOPED_TRACE(n);
    SetUp();
    finished = CommitKilledAt(n);
    if (!finished && PathExists(marker_) && Contents() == "old" && whole_marker.empty()) {
      whole_marker = ReadFile(marker_);
    }
    std::string error;
    ASSERT_TRUE(FinishPendingSwap(data_, error)) << error;
    const std::string contents = Contents();
    EXPECT_TRUE(contents == "old" || contents == "new") << contents;
    // Once a kill point leaves the new files, every later one does too.
    EXPECT_FALSE(seen_new && contents == "old");
    seen_new = seen_new || contents == "new";
    EXPECT_TRUE(LeftoversGone());
  }
  EXPECT_TRUE(finished);
  EXPECT_TRUE(seen_new);
  EXPECT_FALSE(whole_marker.empty()) << "no kill point fell between the commit and the renames";
}

TEST_F(FileSwapTest, AWholeMarkerIsFinishedHoweverFarItsRenamesGot) {
  // A committed marker: the one left by the first kill point that ends in
  // the new files although no rename was made yet.
  std::string marker;
  for (int64_t n = 1; n < 50 && marker.empty(); ++n) {
    SetUp();
    ASSERT_FALSE(CommitKilledAt(n));
    if (Contents() != "old" || !PathExists(marker_)) continue;
    const std::string left = ReadFile(marker_);
    std::string error;
    ASSERT_TRUE(FinishPendingSwap(data_, error)) << error;
    if (Contents() == "new") marker = left;
  }
  ASSERT_FALSE(marker.empty());
  for (size_t made = 0; made <= targets_.size(); ++made) {
    SCOPED_TRACE(made);
    SetUp();
    WriteFile(marker_, marker);
    for (size_t i = 0; i < made; ++i) ASSERT_TRUE(FileRename(sources_[i], targets_[i]));
    std::string error;
    ASSERT_TRUE(FinishPendingSwap(data_, error)) << error;
    EXPECT_EQ(Contents(), "new");
    EXPECT_TRUE(LeftoversGone());
  }

  // Damaged, it was never a commit: the old files stand.
  const std::vector<std::pair<const char*, std::function<std::string(std::string)>>> damages = {
      {"empty", [](std::string) { return std::string(); }},
      {"magic only", [](std::string m) { return m.substr(0, 8); }},
      {"last byte missing", [](std::string m) { return m.substr(0, m.size() - 1); }},
      {"a name's byte changed", [](std::string m) { return Flip(std::move(m), 20); }},
      {"checksum changed", [](std::string m) { return Flip(std::move(m), m.size() - 1); }},
      {"a byte more", [](std::string m) { return m + "x"; }},
      {"not a marker", [](std::string) { return std::string(100000, 'z'); }},
  };
  for (const auto& [name, damage] : damages) {
    SCOPED_TRACE(name);
    SetUp();
    WriteFile(marker_, damage(marker));
    std::string error;
    ASSERT_TRUE(FinishPendingSwap(data_, error)) << error;
    EXPECT_EQ(Contents(), "old");
    EXPECT_TRUE(LeftoversGone());
  }
}

TEST_F(FileSwapTest, NothingIsTouchedWhileAnotherProcessHoldsTheDatabase) {
  File holder;
  ASSERT_TRUE(holder.Open(data_, 0));
  std::string error;
  // Replacement files without a marker are someone's work in progress.
  EXPECT_TRUE(FinishPendingSwap(data_, error)) << error;
  EXPECT_TRUE(PathExists(replacement_));
  // With a marker, the open must wait for the holder.
  WriteFile(marker_, "whatever");
  EXPECT_FALSE(FinishPendingSwap(data_, error));
  EXPECT_NE(error.find("held by another process"), std::string::npos) << error;
  EXPECT_EQ(Contents(), "old");
  EXPECT_TRUE(PathExists(marker_));
  holder.Close();
  EXPECT_TRUE(FinishPendingSwap(data_, error)) << error;
  EXPECT_EQ(Contents(), "old");
  EXPECT_TRUE(LeftoversGone());
}

}  // namespace
}  // namespace zt
