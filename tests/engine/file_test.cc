#include "engine/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zt {
namespace {

using testing::ScratchFolder;
using testing::WriteFile;

TEST(FileLockRegion, RefusesRegionsPastTheEndOfTheFile) {
  ScratchFolder dir;
  const std::string path = dir.File("data");
  WriteFile(path, std::string(100, 'x'));
  File h;
  ASSERT_TRUE(h.Open(path, 1));
  EXPECT_TRUE(FileLockRegion(h.handle(), 90, 10));  // ends exactly at the end
  EXPECT_TRUE(FileUnlockRegion(h.handle(), 90, 10));
  EXPECT_FALSE(FileLockRegion(h.handle(), 91, 10));
  EXPECT_FALSE(FileUnlockRegion(h.handle(), 91, 10));
  EXPECT_FALSE(FileLockRegion(h.handle(), -1, 10));
  h.Close();
}

TEST(FileLockRegion, IsOneAttemptAgainstAnotherOpen) {
  ScratchFolder dir;
  const std::string path = dir.File("data");
  WriteFile(path, std::string(100, 'x'));
  File a, b;
  ASSERT_TRUE(a.Open(path, 1));
  ASSERT_TRUE(b.Open(path, 1));
  ASSERT_TRUE(FileLockRegion(a.handle(), 0, 50));
  EXPECT_FALSE(FileLockRegion(b.handle(), 40, 20));  // overlaps: fails at once, no wait
  EXPECT_TRUE(FileLockRegion(b.handle(), 50, 50));   // disjoint
  ASSERT_TRUE(FileUnlockRegion(a.handle(), 0, 50));
  EXPECT_TRUE(FileLockRegion(b.handle(), 40, 10));
  a.Close();
  b.Close();
}

TEST(FileOpen, ShareModes) {
  ScratchFolder dir;
  const std::string path = dir.File("data");
  WriteFile(path, "abc");
  File first, second;
  ASSERT_TRUE(first.Open(path, 0));
  EXPECT_FALSE(second.Open(path, 0)) << "a second exclusive open must fail";
  EXPECT_FALSE(second.Open(path, 1)) << "a shared open of an exclusive file must fail";
  EXPECT_EQ(second.handle(), kNoFile);
  first.Close();

  ASSERT_TRUE(first.Open(path, 1));
  EXPECT_TRUE(second.Open(path, 1));
  File third;
  EXPECT_FALSE(third.Open(path, 0));
  first.Close();
  second.Close();
  EXPECT_FALSE(third.Open(dir.File("missing"), 1));
}

TEST(FileReadWrite, PositionalTransfersAndShortReads) {
  ScratchFolder dir;
  const std::string path = dir.File("data");
  ASSERT_TRUE(FileCreate(path));
  File h;
  ASSERT_TRUE(h.Open(path, 0));
  int64_t offset = -7;
  ASSERT_TRUE(FileAppend(h.handle(), "hello", 5, offset));
  EXPECT_EQ(offset, 0);
  ASSERT_TRUE(FileAppend(h.handle(), "world", 5, offset));
  EXPECT_EQ(offset, 5);
  ASSERT_TRUE(FileWriteAt(h.handle(), "W", 1, 5));
  char buffer[10];
  ASSERT_TRUE(FileReadAt(h.handle(), buffer, 10, 0));
  EXPECT_EQ(std::string(buffer, 10), "helloWorld");
  EXPECT_FALSE(FileReadAt(h.handle(), buffer, 2, 9)) << "a read past the end must fail";
  EXPECT_EQ(FileLength(h.handle()), 10);
  h.Close();
  EXPECT_TRUE(FileCreate(path)) << "create truncates";
  ASSERT_TRUE(h.Open(path, 0));
  EXPECT_EQ(FileLength(h.handle()), 0);
  h.Close();
  EXPECT_TRUE(FileDelete(path));
  EXPECT_FALSE(FileDelete(path));
}

// Staged writes in every arrangement against each other (apart, adjoining
// on either side, inside one, across several, in runs written back to
// front): reads see exactly what plain writes would have left, through a
// commit in the middle, and so does the file once the extents are applied.
TEST(FileStaged, ReadsAndTheAppliedFileMatchPlainWrites) {
  ScratchFolder dir;
  for (const unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    const std::string path = dir.File("staged" + std::to_string(seed));
    ASSERT_TRUE(FileCreate(path));
    File h;
    ASSERT_TRUE(h.Open(path, 0));
    std::string model(4096, 'a');
    ASSERT_TRUE(FileWriteAt(h.handle(), model.data(), model.size(), 0));
    FileStageWrites(h.handle());
    std::mt19937 random(seed);
    const auto write = [&](int64_t at, size_t n) {
      const std::string bytes(n, static_cast<char>('b' + random() % 24));
      ASSERT_TRUE(FileWriteAt(h.handle(), bytes.data(), n, at));
      if (model.size() < at + n) model.resize(at + n, '\0');
      model.replace(static_cast<size_t>(at), n, bytes);
    };
    for (int64_t run = 7; run >= 0; --run) write(1000 + run * 64, 64);  // back to front
    for (int i = 0; i < 400; ++i) {
      write(static_cast<int64_t>(random() % 6000), 1 + random() % 300);
      if (i == 200) FileCommitStaged(h.handle());
    }
    ASSERT_EQ(FileLength(h.handle()), static_cast<int64_t>(model.size()));
    std::string read(model.size(), '\0');
    ASSERT_TRUE(FileReadAt(h.handle(), read.data(), read.size(), 0));
    EXPECT_TRUE(read == model);
    FileCommitStaged(h.handle());
    ASSERT_TRUE(FileApplyStaged(h.handle()));
    FileUnstage(h.handle());
    h.Close();
    EXPECT_TRUE(testing::ReadFile(path) == model);
  }
}

// A spill that writes the newest staged bytes to a store file, as the log
// does with a part of a large change.
class StoreSpill : public StagedSpill {
 public:
  StoreSpill(FileHandle file, FileHandle store) : file_(file), store_(store) {}
  void SpillStaged() override {
    std::vector<SpilledRange> ranges;
    for (const FileRange& r : FileTakeTouched(file_)) {
      std::string bytes(static_cast<size_t>(r.length), '\0');
      int64_t at = FileLength(store_);
      if (!FileReadAt(file_, bytes.data(), bytes.size(), r.offset) ||
          !FileWriteAt(store_, bytes.data(), bytes.size(), at)) {
        failed = true;
        return;
      }
      ranges.push_back(SpilledRange{r.offset, r.length, at});
    }
    FileSpillStaged(file_, store_, ranges);
    ++spills;
  }
  int spills = 0;
  bool failed = false;

 private:
  FileHandle file_;
  FileHandle store_;
};

// The same with the newest writes spilled to a store whenever they hold
// more than a few KiB: writes over spilled bytes of every layer, seals and
// commits between, and a discard that must bring back the committed bytes.
TEST(FileStaged, SpilledBytesReadAndApplyAsIfHeldInMemory) {
  ScratchFolder dir;
  constexpr size_t kBound = 2048;
  for (const unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    const std::string path = dir.File("spilled" + std::to_string(seed));
    ASSERT_TRUE(FileCreate(path));
    ASSERT_TRUE(FileCreate(path + ".store"));
    File h;
    File store;
    ASSERT_TRUE(h.Open(path, 0));
    ASSERT_TRUE(store.Open(path + ".store", 0));
    std::string model(4096, 'a');
    ASSERT_TRUE(FileWriteAt(h.handle(), model.data(), model.size(), 0));
    FileStageWrites(h.handle());
    StoreSpill spill(h.handle(), store.handle());
    FileSpillWhenOver(h.handle(), kBound, &spill);
    std::mt19937 random(seed);
    std::string committed = model;
    const auto write = [&](int64_t at, size_t n) {
      const std::string bytes(n, static_cast<char>('b' + random() % 24));
      ASSERT_TRUE(FileWriteAt(h.handle(), bytes.data(), n, at));
      if (model.size() < at + n) model.resize(at + n, '\0');
      model.replace(static_cast<size_t>(at), n, bytes);
      EXPECT_LE(FileStagedMemory(h.handle()), 2 * kBound + 4 * 300 + 64 * 16);
    };
    const auto expect_reads = [&] {
      ASSERT_EQ(FileLength(h.handle()), static_cast<int64_t>(model.size()));
      std::string read(model.size(), '\0');
      ASSERT_TRUE(FileReadAt(h.handle(), read.data(), read.size(), 0));
      EXPECT_TRUE(read == model);
    };
    for (int i = 0; i < 600; ++i) {
      write(static_cast<int64_t>(random() % 6000), 1 + random() % 300);
      if (i % 50 == 49) FileSealStaged(h.handle());
      if (i == 200 || i == 400) {
        FileCommitStaged(h.handle());
        committed = model;
      }
      if (i == 300) {
        expect_reads();
        FileDiscardStaged(h.handle());
        model = committed;
        expect_reads();
      }
    }
    EXPECT_GT(spill.spills, 3);
    EXPECT_FALSE(spill.failed);
    expect_reads();
    FileCommitStaged(h.handle());
    ASSERT_TRUE(FileApplyStaged(h.handle()));
    EXPECT_EQ(FileStagedBytes(h.handle()), 0u);
    FileUnstage(h.handle());
    h.Close();
    store.Close();
    EXPECT_TRUE(testing::ReadFile(path) == model);
  }
}

TEST(MakeUniqueTempFile, CreatesDistinctFilesInTmpdir) {
  ScratchFolder dir;
  setenv("TMPDIR", dir.path().c_str(), 1);
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    const std::string name = MakeUniqueTempFile("rs", "rs");
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.rfind(dir.path() + "/rs", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 3), ".rs");
    EXPECT_TRUE(PathExists(name));
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 50u);
  unsetenv("TMPDIR");
}

TEST(ListFolder, MatchesTheSuffixWithoutRegardToCase) {
  ScratchFolder dir;
  WriteFile(dir.File("a.ztl"), "");
  WriteFile(dir.File("B.ZTL"), "");
  WriteFile(dir.File("c.txt"), "");
  std::set<std::string> found;
  for (const std::string& name : ListFolder(dir.path(), ".ztl")) found.insert(name);
  EXPECT_EQ(found, (std::set<std::string>{"a.ztl", "B.ZTL"}));
}

// A file where a folder is wanted used to be told as "File exists", which
// sends the operator looking for a folder that exists.
TEST(MakeFolders, NamesThePartThatIsNotAFolder) {
  ScratchFolder dir;
  WriteFile(dir.File("file"), "");
  struct Case {
    const char* name;
    std::string path;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"the folder itself", dir.File("file"), dir.File("file") + " is not a folder"},
      {"its parent", dir.File("file/sub"), dir.File("file") + " is not a folder"},
      {"a parent further up", dir.File("file/a/b"), dir.File("file") + " is not a folder"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(MakeFolders(c.path, &why), 0) << c.name;
    EXPECT_EQ(why, c.why) << c.name;
  }
  EXPECT_EQ(MakeFolder(dir.File("file")), 0);
  EXPECT_EQ(LastFileError(), std::strerror(ENOTDIR));
  std::string why;
  EXPECT_EQ(MakeFolders(dir.File("new/a/b"), &why), 1) << why;
  EXPECT_TRUE(IsDirectory(dir.File("new/a/b")));
}

}  // namespace
}  // namespace zt
