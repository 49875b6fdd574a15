// The write-ahead log: staged changes reach the files only after the log
// holds them, a crash at any point is repaired by replay (whole records
// only, any number of times), and failed or interrupted commits leave
// every committed change and no part of another.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/backup.h"
#include "engine/chain.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/database_check.h"
#include "engine/database_verify.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "engine/wal_format.h"
#include "support/kill_point.h"
#include "support/test_support.h"

namespace zt::testing {
namespace {

using Rows = std::map<std::string, std::string>;  // Id -> Val of the live records

class WalTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  // A new, empty database (the cases of a table start over with one).
  void Fresh() {
    if (db_ != nullptr) db_->Abandon();
    for (const char* extension : {kDefinitionFileExtension, kIndexFileExtension}) {
      FileDelete(DerivedFileName(folder_.File("db.dat"), extension));
    }
    FileDelete(folder_.File("db.dat"));
    DatabaseSchema schema;
    schema.tables.push_back({"Items", {{"Id", 1, 6, true}, {"Val", 10, 20, true}}});
    std::string err;
    path_ = folder_.File("db.dat");
    ASSERT_EQ(CreateDatabaseFiles(path_, schema, err), 1) << err;
    FileDelete(LogPath());
    Open();
  }
  void TearDown() override { ClearFileFaults(); }

  void Open(Durability durability = Durability::kFull) {
    db_ = std::make_unique<Database>(folder_.File("work"));
    db_->EnableLog(LogOptions{.folder = folder_.File("work"),
                              .durability = durability,
                              .checkpoint_bytes = int64_t{64} << 20,
                              .grow_bytes = 64 << 10,
                              .spill_bytes = spill_bytes_});
    ASSERT_EQ(db_->OpenDatabase(path_.c_str(), 0), 1) << LastError();
  }
  // A crash: the process goes away without another write.
  void Crash() { db_->Abandon(); }

  std::string LastError() {
    std::string text;
    db_->GetLastErrorText(&text);
    return text;
  }
  std::string LogPath() { return LogFilePath(folder_.File("work"), path_); }

  static std::string Record(const std::string& id, const std::string& val) {
    std::string data = std::string(6 - id.size(), ' ') + id + val;
    data.resize(26, ' ');
    return data;
  }
  // One change of one or more new rows.
  void Add(std::initializer_list<std::pair<std::string, std::string>> rows) {
    std::string err;
    for (const auto& [id, val] : rows) {
      int64_t offset = -1;
      ASSERT_EQ(db_->AddNewRecord(Record(id, val), 26, offset, "Items", &err), 1) << err;
    }
    ASSERT_TRUE(db_->EndChange());
  }
  // One change too large for a spill bound of a few KiB: rows first..last
  // added, then every third of them changed again (writes over bytes
  // already spilled). rows receives what they then hold.
  void AddLarge(int first, int last, const std::string& val, Rows& rows) {
    std::string err;
    std::vector<int64_t> offsets;
    for (int i = first; i <= last; ++i) {
      int64_t offset = -1;
      const std::string id = std::to_string(i);
      ASSERT_EQ(db_->AddNewRecord(Record(id, val), 26, offset, "Items", &err), 1) << err;
      offsets.push_back(offset);
      rows[id] = val;
    }
    for (int i = first; i <= last; i += 3) {
      const std::string id = std::to_string(i);
      int64_t& offset = offsets[static_cast<size_t>(i - first)];
      ASSERT_EQ(db_->UpdateRecord(Record(id, val + "x"), 26, offset, "Items", &err), 1) << err;
      rows[id] = val + "x";
    }
    ASSERT_TRUE(db_->EndChange());
  }
  [[nodiscard]] bool Commit() {
    std::string err;
    return db_->Commit(&err) == 1;
  }

  Rows Live() {
    Rows rows;
    int64_t at = 0;
    const TableDefinition* definition = db_->TableDef("Items", at);
    EXPECT_NE(definition, nullptr);
    if (definition == nullptr) return rows;
    std::string problem;
    EXPECT_TRUE(WalkChain(
        *db_, *definition, 26,
        [&](const ChainRecord& r) {
          if (!r.header.superseded()) {
            rows[std::string(TrimBlanks(r.data.substr(0, 6)))] =
                std::string(TrimBlanks(r.data.substr(6)));
          }
        },
        problem))
        << problem;
    return rows;
  }
  void ExpectClean() {
    CheckReport report;
    EXPECT_TRUE(CheckDatabase(*db_, report)) << (report.problems.empty() ? "" : report.problems[0]);
  }

  ScratchFolder folder_;
  std::string path_;
  size_t spill_bytes_ = size_t{32} << 20;
  std::unique_ptr<Database> db_;
};

TEST_F(WalTest, ChangesReachTheFilesOnlyAtCommitAndReadsSeeThemBefore) {
  const std::string before = ReadFile(path_);
  Add({{"1", "one"}, {"2", "two"}});
  EXPECT_EQ(Live(), (Rows{{"1", "one"}, {"2", "two"}}));
  EXPECT_EQ(ReadFile(path_), before);
  ASSERT_TRUE(Commit());
  EXPECT_GT(ReadFile(path_).size(), before.size());
  EXPECT_EQ(db_->log_stats().syncs, 2u);  // the open, then this commit
  EXPECT_EQ(db_->log_stats().records, 1u);
  ExpectClean();
}

TEST_F(WalTest, OneSyncPerCommitThatHasChangesAndNoneOtherwise) {
  const uint64_t syncs = db_->log_stats().syncs;
  ASSERT_TRUE(Commit());
  EXPECT_EQ(db_->log_stats().syncs, syncs);
  // Three requests' changes, one commit: three records, one sync.
  Add({{"1", "one"}});
  Add({{"2", "two"}});
  Add({{"3", "three"}});
  ASSERT_TRUE(Commit());
  EXPECT_EQ(db_->log_stats().syncs, syncs + 1);
  EXPECT_EQ(db_->log_stats().records, 3u);
  EXPECT_FALSE(db_->EndChange());  // nothing written since
}

TEST_F(WalTest, ABackupIsTheDatabaseAsOfItsStartWhileChangesGoOn) {
  Add({{"1", "one"}, {"2", "two"}});
  ASSERT_TRUE(Commit());
  DatabaseBackup backup;
  std::string err;
  ASSERT_EQ(backup.Begin(*db_, folder_.File("backups/b1"), err), 1) << err;
  // Small slices, with changes committed between them.
  int n = 10;
  DatabaseBackup::Step step;
  while ((step = backup.Copy(100, err)) == DatabaseBackup::Step::kMore) {
    Add({{std::to_string(n), "during"}});
    ASSERT_TRUE(Commit());
    ++n;
  }
  ASSERT_EQ(step, DatabaseBackup::Step::kDone) << err;
  ASSERT_GT(n, 12);
  const size_t during = static_cast<size_t>(n - 10);

  // The copy opens (without a log of its own), checks clean, and holds the
  // rows of the moment the backup began.
  Database copy;
  ASSERT_EQ(copy.OpenDatabase(folder_.File("backups/b1/db.dat").c_str(), 0), 1);
  CheckReport report;
  EXPECT_TRUE(CheckDatabase(copy, report)) << (report.problems.empty() ? "" : report.problems[0]);
  EXPECT_EQ(report.live_records, 2);
  copy.CloseDatabase();

  // The changes held back meanwhile reach the files with the next commit.
  Add({{"999999", "after"}});
  ASSERT_TRUE(Commit());
  Crash();
  Open();
  EXPECT_EQ(Live().size(), 3 + during);
  ExpectClean();
}

TEST_F(WalTest, ACrashAfterTheCommitIsRepairedByReplayAnyNumberOfTimes) {
  Add({{"1", "one"}});
  Add({{"2", "two"}, {"3", "three"}});
  ASSERT_TRUE(Commit());
  const std::string log = ReadFile(LogPath());
  Crash();
  // The files already hold both changes: replaying them again must change
  // nothing, however often it happens.
  for (int round = 0; round < 2; ++round) {
    WriteFile(LogPath(), log);
    Open();
    EXPECT_FALSE(db_->recovery_report().clean_shutdown);
    EXPECT_EQ(db_->recovery_report().records_replayed, 2);
    EXPECT_EQ(Live(), (Rows{{"1", "one"}, {"2", "two"}, {"3", "three"}}));
    ExpectClean();
    Crash();
  }
}

TEST_F(WalTest, ReplayStopsAtATornOrCorruptRecordAndKeepsTheWholeOnesBefore) {
  struct Case {
    const char* name;
    // Damages the log whose last record starts at last and ends at end.
    void (*damage)(std::string& log, size_t last, size_t end);
    bool torn;
  };
  const Case cases[] = {
      {"written only in part (zeros after its first 40 bytes)",
       [](std::string& log, size_t last, size_t end) {
         std::fill(log.begin() + static_cast<std::ptrdiff_t>(last + 40),
                   log.begin() + static_cast<std::ptrdiff_t>(end), '\0');
       }, true},
      {"a flipped byte in its body", [](std::string& log, size_t, size_t end) {
         log[end - 3] ^= 0x40;
       }, true},
      {"a flipped byte in its header", [](std::string& log, size_t last, size_t) {
         log[last + 9] ^= 0x01;
       }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    Add({{"1", "one"}});
    ASSERT_TRUE(Commit());
    const int64_t first_end = db_->log_stats().bytes_written + 4096;
    // The files as they were before the second change reached them: a
    // record the log lost was never synced, so the files never had it.
    std::map<std::string, std::string> files;
    for (const std::string& f : {path_, DerivedFileName(path_, kDefinitionFileExtension),
                                 DerivedFileName(path_, kIndexFileExtension)}) {
      files[f] = ReadFile(f);
    }
    Add({{"2", "two"}, {"3", "three"}});
    ASSERT_TRUE(Commit());
    const int64_t second_end = db_->log_stats().bytes_written + 4096;
    Crash();
    for (const auto& [f, bytes] : files) WriteFile(f, bytes);
    std::string log = ReadFile(LogPath());
    c.damage(log, static_cast<size_t>(first_end), static_cast<size_t>(second_end));
    WriteFile(LogPath(), log);
    Open();
    EXPECT_EQ(db_->recovery_report().records_replayed, 1);
    EXPECT_EQ(db_->recovery_report().torn_bytes_dropped > 0, c.torn);
    EXPECT_EQ(Live(), (Rows{{"1", "one"}}));
    ExpectClean();
    Crash();
  }
}

TEST_F(WalTest, ACleanCloseLeavesAnEmptyLogAndACleanStart) {
  Add({{"1", "one"}});
  ASSERT_TRUE(Commit());
  ASSERT_EQ(db_->CloseDatabase(), 1) << LastError();
  EXPECT_EQ(ReadFile(LogPath()).size(), 4096u);
  Open();
  EXPECT_TRUE(db_->recovery_report().clean_shutdown);
  EXPECT_EQ(db_->recovery_report().records_replayed, 0);
  EXPECT_EQ(Live(), (Rows{{"1", "one"}}));
}

TEST_F(WalTest, AnUncleanStartLeavesAnIndexTheLogNeverSawToTheVerification) {
  Add({{"1", "one"}, {"2", "two"}});
  ASSERT_TRUE(Commit());
  ASSERT_EQ(db_->CloseDatabase(), 1);
  Open();
  Crash();  // in use, and never closed
  // An index from before the rows were added: structurally sound, but
  // missing their keys.
  const std::string index_path = DerivedFileName(path_, kIndexFileExtension);
  {
    IndexFile empty;
    ASSERT_EQ(FileDelete(index_path), 1);
    ASSERT_EQ(empty.IndexCreate(index_path), 1);
  }
  // The open replays the log and stops there: its cost follows the log.
  // The verification the server runs next finds what the log cannot vouch
  // for.
  Open();
  EXPECT_FALSE(db_->recovery_report().clean_shutdown);
  DatabaseVerifier verifier(*db_);
  verifier.Begin();
  while (verifier.Step(std::chrono::steady_clock::time_point::max())) {
  }
  EXPECT_EQ(verifier.state(), DatabaseVerifier::State::kDamaged);
  EXPECT_TRUE(verifier.index_damaged());
  EXPECT_FALSE(verifier.records_damaged());
}

TEST_F(WalTest, AFailedCommitDropsItsChangesAndTheNextOneWorks) {
  struct Case {
    const char* name;
    FileFaults faults;
    bool discard;  // no commit: the change is discarded (DiscardChange)
  };
  const Case cases[] = {
      {"the log sync fails", FileFaults{.fail_sync = 1}, false},
      {"the log write fails", FileFaults{.fail_write = 1}, false},
      {"the disk is full", FileFaults{.disk_free_bytes = 0}, false},
      {"the change is discarded", FileFaults{}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    Add({{"1", "one"}});
    ASSERT_TRUE(Commit());
    const std::string data = ReadFile(path_);
    SetFileFaults(c.faults);
    Add({{"2", "two"}});
    if (c.discard) {
      db_->DiscardChange();
    } else {
      EXPECT_FALSE(Commit());
    }
    ClearFileFaults();
    EXPECT_EQ(ReadFile(path_), data);
    EXPECT_EQ(Live(), (Rows{{"1", "one"}}));
    ExpectClean();
    Add({{"3", "three"}});
    ASSERT_TRUE(Commit());
    Crash();
    Open();
    EXPECT_EQ(Live(), (Rows{{"1", "one"}, {"3", "three"}}));
    ExpectClean();
    Crash();
  }
}

TEST_F(WalTest, PowerLossKeepsEverySyncedChangeAndNoPartOfAnother) {
  for (const bool torn : {false, true}) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
      SCOPED_TRACE(std::to_string(seed) + (torn ? " torn" : " whole"));
      Fresh();
      ASSERT_EQ(db_->CloseDatabase(), 1);
      SetFileFaults(FileFaults{.track_syncs = true});
      Open();
      Rows committed;
      for (int i = 0; i < 12; ++i) {
        const std::string a = std::to_string(i * 2);
        const std::string b = std::to_string(i * 2 + 1);
        Add({{a, "v" + a}, {b, "v" + b}});
        ASSERT_TRUE(Commit());
        committed[a] = "v" + a;
        committed[b] = "v" + b;
      }
      // A change whose commit never ran, then the power goes.
      Add({{"99", "lost"}});
      Crash();
      ASSERT_EQ(SimulatePowerLoss(seed, torn), 1);
      Open();
      EXPECT_EQ(Live(), committed);
      ExpectClean();
      Crash();
    }
  }
}

TEST_F(WalTest, UnderOsDurabilityAProcessCrashLosesNothingCommitted) {
  ASSERT_EQ(db_->CloseDatabase(), 1);
  Open(Durability::kOs);
  Add({{"1", "one"}});
  ASSERT_TRUE(Commit());
  Add({{"2", "two"}});
  ASSERT_TRUE(Commit());
  Crash();
  Open();
  EXPECT_EQ(Live(), (Rows{{"1", "one"}, {"2", "two"}}));
  ExpectClean();
}

// ---- Changes larger than memory ---------------------------------------------
// A change past the spill bound goes to the log in parts while it is made;
// reads see it meanwhile, the files receive nothing before its commit, and
// whatever ends it (commit, discard, failed commit, crash), it counts
// whole or not at all.
class SpillTest : public WalTest {
 protected:
  void SetUp() override {
    spill_bytes_ = 4096;
    WalTest::SetUp();
  }
  static constexpr int kRows = 400;
};

TEST_F(SpillTest, ALargeChangeCountsWholeOrNotAtAll) {
  enum class End { kCommit, kDiscard, kFailedSync, kDiskFull, kCrash };
  struct Case {
    const char* name;
    End end;
  };
  const Case cases[] = {
      {"committed", End::kCommit},
      {"discarded", End::kDiscard},
      {"the commit's sync fails", End::kFailedSync},
      {"the disk fills at the commit", End::kDiskFull},
      {"a crash before the commit", End::kCrash},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    Add({{"0", "zero"}});
    ASSERT_TRUE(Commit());
    const Rows before = Live();
    const std::string data = ReadFile(path_);
    Rows after = before;
    AddLarge(1, kRows, "large", after);
    EXPECT_GT(db_->log_stats().spills, 3u);
    EXPECT_EQ(Live(), after);  // reads see the spilled bytes
    EXPECT_EQ(ReadFile(path_), data);
    std::string err;
    switch (c.end) {
      case End::kCommit:
        ASSERT_EQ(db_->Commit(&err), 1) << err;
        break;
      case End::kDiscard:
        db_->DiscardChange();
        break;
      case End::kFailedSync:
        SetFileFaults(FileFaults{.fail_sync = 1});
        EXPECT_EQ(db_->Commit(&err), 0);
        break;
      case End::kDiskFull:
        SetFileFaults(FileFaults{.disk_free_bytes = 0});
        EXPECT_EQ(db_->Commit(&err), 0);
        break;
      case End::kCrash:
        break;
    }
    ClearFileFaults();
    const Rows expected = c.end == End::kCommit ? after : before;
    if (c.end != End::kCrash) {
      EXPECT_EQ(Live(), expected);
      ExpectClean();
      // The log goes on after a dropped change: a small one commits and
      // survives the crash with the rest.
      Add({{"999999", "next"}});
      ASSERT_TRUE(Commit());
    }
    Crash();
    Open();
    Rows survivors = expected;
    if (c.end != End::kCrash) survivors["999999"] = "next";
    EXPECT_EQ(Live(), survivors);
    if (c.end == End::kCrash) {
      EXPECT_GT(db_->recovery_report().records_unfinished, 0);
    }
    ExpectClean();
  }
}

TEST_F(SpillTest, AKillAtAnyPointOfALargeChangeLeavesItWholeOrAbsent) {
  Add({{"0", "zero"}});
  ASSERT_TRUE(Commit());
  const Rows before = Live();
  Rows after = before;
  // Fewer rows than the other cases (each point is a process and an
  // open), still several parts.
  constexpr int kKillRows = 100;
  AddLarge(1, kKillRows, "large", after);  // what the rows hold once it is done
  db_->DiscardChange();
  Crash();
  // From the same files each time: the change, its commit, and a clean
  // close, killed one write, sync or rename further each round.
  const std::string work = folder_.File("work");
  const std::vector<std::string> files = {path_, DerivedFileName(path_, kDefinitionFileExtension),
                                          DerivedFileName(path_, kIndexFileExtension), LogPath()};
  std::vector<std::string> saved;
  for (const std::string& f : files) saved.push_back(ReadFile(f));
  bool finished = false;
  int64_t point = 1;
  for (; !finished && point < 20000; ++point) {
    for (size_t i = 0; i < files.size(); ++i) WriteFile(files[i], saved[i]);
    finished = FinishesBeforeKillPoint(point, [&] {
      Open();
      Rows ignored;
      AddLarge(1, kKillRows, "large", ignored);
      if (db_->log_stats().spills < 2) return 2;
      std::string err;
      if (!db_->Commit(&err) || !db_->CloseDatabase()) return 1;
      return 0;
    });
    Open();
    const Rows live = Live();
    EXPECT_TRUE(live == before || live == after) << "killed at " << point;
    if (finished) {
      EXPECT_EQ(live, after);
    }
    ExpectClean();
    Crash();
  }
  ASSERT_TRUE(finished);
  EXPECT_GT(point, 20);
}

TEST_F(SpillTest, PowerLossKeepsACommittedLargeChangeAndNoPartOfAnUncommittedOne) {
  for (const bool torn : {false, true}) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
      SCOPED_TRACE(std::to_string(seed) + (torn ? " torn" : " whole"));
      Fresh();
      ASSERT_EQ(db_->CloseDatabase(), 1);
      SetFileFaults(FileFaults{.track_syncs = true});
      Open();
      Rows committed;
      AddLarge(1, kRows, "first", committed);
      ASSERT_TRUE(Commit());
      Rows ignored;
      AddLarge(kRows + 1, 2 * kRows, "lost", ignored);
      Crash();
      ASSERT_EQ(SimulatePowerLoss(seed, torn), 1);
      Open();
      EXPECT_EQ(Live(), committed);
      ExpectClean();
      Crash();
    }
  }
}

// ---- Recovery from a damaged log -------------------------------------------
// What a crash leaves of the database files: all that the process wrote
// (it alone died), or only what a sync covered (the power failed), whole
// or sector by sector.
enum class Image { kProcessCrash, kPowerCut, kTornPowerCut };

class LogDamageTest : public WalTest {
 protected:
  static constexpr int kChanges = 40;

  // The database after kChanges committed changes of three rows each, left
  // by a crash of the given kind; committed_ receives the rows.
  void CrashAfterChanges(Image image, uint64_t seed, Durability durability = Durability::kFull) {
    Fresh();
    // A clean close and a new open: both header slots valid, the newer one
    // naming the epoch of the records that follow.
    ASSERT_EQ(db_->CloseDatabase(), 1);
    if (image != Image::kProcessCrash) SetFileFaults(FileFaults{.track_syncs = true});
    Open(durability);
    committed_.clear();
    for (int i = 0; i < kChanges; ++i) {
      const std::string a = std::to_string(i * 3), b = std::to_string(i * 3 + 1),
                        c = std::to_string(i * 3 + 2);
      Add({{a, "v" + a}, {b, "v" + b}, {c, "v" + c}});
      ASSERT_TRUE(Commit());
      for (const std::string& id : {a, b, c}) committed_[id] = "v" + id;
    }
    Crash();
    if (image != Image::kProcessCrash) {
      ASSERT_EQ(SimulatePowerLoss(seed, image == Image::kTornPowerCut), 1);
    }
    ClearFileFaults();
  }

  // The offsets of the log's records, in order.
  std::vector<size_t> RecordOffsets(const std::string& log) {
    std::vector<size_t> at;
    size_t p = wal::kHeaderArea;
    while (p + wal::kRecordHeaderSize <= log.size() && wal::U32(log.data() + p) == wal::kRecordMagic) {
      at.push_back(p);
      p += wal::kRecordHeaderSize + wal::U32(log.data() + p + wal::kRecordBodyLengthAt);
    }
    return at;
  }

  // Opens with the given options; the error text, empty on success.
  std::string TryOpen(DamagedLog damaged_log = DamagedLog::kRefuse) {
    db_ = std::make_unique<Database>(folder_.File("work"));
    db_->EnableLog(LogOptions{.folder = folder_.File("work"),
                              .grow_bytes = 64 << 10,
                              .damaged_log = damaged_log});
    if (db_->OpenDatabase(path_.c_str(), 0)) return "";
    return LastError();
  }

  std::string DatabaseBytes() {
    return ReadFile(path_) + ReadFile(DerivedFileName(path_, kDefinitionFileExtension)) +
           ReadFile(DerivedFileName(path_, kIndexFileExtension));
  }

  Rows committed_;
};

TEST_F(LogDamageTest, NoDamageOfTheLogLosesARowSilently) {
  enum Expect { kAllRows, kRefused, kLogLost };
  struct Damage {
    const char* name;
    void (*apply)(std::string& log, const std::vector<size_t>& records);
    Expect expect;
  };
  const Damage damages[] = {
      {"none", [](std::string&, const std::vector<size_t>&) {}, kAllRows},
      {"a flipped byte in a record 10% in",
       [](std::string& log, const std::vector<size_t>& r) { log[r[r.size() / 10] + 60] ^= 0x10; },
       kRefused},
      {"a record's magic flipped 10% in",
       [](std::string& log, const std::vector<size_t>& r) { log[r[r.size() / 10]] ^= 0x01; },
       kRefused},
      {"the log cut in the middle",
       [](std::string& log, const std::vector<size_t>& r) { log.resize(r[r.size() / 2] + 77); },
       kRefused},
      {"the newer header slot damaged",
       [](std::string& log, const std::vector<size_t>&) { log[40] ^= 0x01; }, kAllRows},
      {"the older header slot damaged",
       [](std::string& log, const std::vector<size_t>&) { log[512 + 40] ^= 0x01; }, kAllRows},
      {"both header slots damaged",
       [](std::string& log, const std::vector<size_t>&) {
         log[40] ^= 0x01;
         log[512 + 40] ^= 0x01;
       },
       kAllRows},
      {"the log zeroed",
       [](std::string& log, const std::vector<size_t>&) { std::fill(log.begin(), log.end(), 0); },
       kLogLost},
      {"the log emptied", [](std::string& log, const std::vector<size_t>&) { log.clear(); },
       kLogLost},
  };
  for (const Image image : {Image::kProcessCrash, Image::kPowerCut, Image::kTornPowerCut}) {
    for (const Damage& damage : damages) {
      SCOPED_TRACE(std::string(damage.name) + (image == Image::kProcessCrash ? ", process crash"
                                               : image == Image::kPowerCut   ? ", power cut"
                                                                             : ", torn power cut"));
      CrashAfterChanges(image, 7);
      std::string log = ReadFile(LogPath());
      const std::vector<size_t> records = RecordOffsets(log);
      ASSERT_EQ(records.size(), static_cast<size_t>(kChanges));
      damage.apply(log, records);
      WriteFile(LogPath(), log);
      const std::string files = DatabaseBytes();
      const std::string error = TryOpen();
      switch (damage.expect) {
        case kAllRows:
          ASSERT_EQ(error, "");
          EXPECT_EQ(Live(), committed_);
          ExpectClean();
          break;
        case kLogLost:
          // Nothing can bring back what the log held; the start says so and
          // checks the files. A crash of the process alone left them whole.
          ASSERT_EQ(error, "");
          EXPECT_TRUE(db_->recovery_report().log_lost);
          if (image == Image::kProcessCrash) {
            EXPECT_EQ(Live(), committed_);
          }
          break;
        case kRefused: {
          EXPECT_NE(error.find("write-ahead log"), std::string::npos) << error;
          EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
          EXPECT_NE(error.find("ztadmin recover"), std::string::npos) << error;
          EXPECT_EQ(DatabaseBytes(), files) << "a refused open changed the files";
          // The operator's choices. After a crash of the process alone the
          // files hold every change: kept as they are, they are whole.
          if (image == Image::kProcessCrash) {
            const std::string log_bytes = ReadFile(LogPath());
            ASSERT_EQ(TryOpen(DamagedLog::kKeepFiles), "");
            EXPECT_FALSE(db_->recovery_report().damage.empty());
            EXPECT_EQ(db_->recovery_report().records_replayed, 0);
            EXPECT_EQ(Live(), committed_);
            ExpectClean();
            Crash();
            WriteFile(LogPath(), log_bytes);
          }
          // Replaying what comes before the damage never shows a row that
          // was not committed; what the damage took is reported by the
          // check, never passed over.
          ASSERT_EQ(TryOpen(DamagedLog::kReplayBeforeDamage), "");
          EXPECT_FALSE(db_->recovery_report().damage.empty());
          CheckReport check;
          if (CheckDatabase(*db_, check)) {
            for (const auto& [id, val] : Live()) EXPECT_EQ(committed_.count(id), 1u) << id;
          } else {
            EXPECT_FALSE(check.problems.empty());
          }
          break;
        }
      }
      Crash();
    }
  }
}

TEST_F(LogDamageTest, UnsyncedWholeRecordsBehindATornOneAreATornTailNotDamage) {
  // Under Durability=os the records of the last second are written but not
  // yet synced, and a power failure keeps their sectors at random: whole
  // records may survive behind a torn one. None was synced, so this is a
  // torn tail, not damage, and the changes before it are replayed.
  CrashAfterChanges(Image::kProcessCrash, 0, Durability::kOs);
  std::string log = ReadFile(LogPath());
  const std::vector<size_t> records = RecordOffsets(log);
  log[records[5] + 60] ^= 0x20;
  WriteFile(LogPath(), log);
  ASSERT_EQ(TryOpen(), "");
  EXPECT_EQ(db_->recovery_report().records_replayed, 5);
  EXPECT_GT(db_->recovery_report().torn_bytes_dropped, 0);
  Rows first_five;
  for (int i = 0; i < 15; ++i) first_five[std::to_string(i)] = "v" + std::to_string(i);
  EXPECT_EQ(Live(), first_five);
  ExpectClean();
}

TEST_F(LogDamageTest, AKillAtAnyPointOfReplayLosesNothing) {
  // The power cut leaves every change in the log alone; each start is
  // killed one write, sync or rename further than the last, from the
  // files the previous kill left.
  CrashAfterChanges(Image::kPowerCut, 3);
  bool finished = false;
  for (int64_t point = 1; !finished && point < 10000; ++point) {
    finished = FinishesBeforeKillPoint(point, [&] {
      Database db(folder_.File("work"));
      db.EnableLog(LogOptions{.folder = folder_.File("work"), .grow_bytes = 64 << 10});
      if (!db.OpenDatabase(path_.c_str(), 0)) return 1;
      db.Abandon();
      return 0;
    });
  }
  ASSERT_TRUE(finished);
  ASSERT_EQ(TryOpen(), "");
  EXPECT_EQ(Live(), committed_);
  ExpectClean();
}

TEST_F(LogDamageTest, ChangesAfterADiscardedOneReplayOverFilesAtTheirLastSync) {
  // A discarded change leaves its units as they were: the next change's
  // record must start from that state, or replay over older files would
  // not recognise them and keep them.
  Fresh();
  ASSERT_EQ(db_->CloseDatabase(), 1);
  SetFileFaults(FileFaults{.track_syncs = true});
  Open();
  Add({{"1", "one"}, {"2", "two"}});
  ASSERT_TRUE(Commit());
  Add({{"3", "dropped"}});
  db_->DiscardChange();
  Add({{"4", "four"}});
  ASSERT_TRUE(Commit());
  Add({{"5", "five"}});
  ASSERT_TRUE(Commit());
  Crash();
  ASSERT_EQ(SimulatePowerLoss(1, false), 1);
  ClearFileFaults();
  ASSERT_EQ(TryOpen(), "");
  EXPECT_EQ(db_->recovery_report().pieces_kept, 0);
  EXPECT_EQ(Live(), (Rows{{"1", "one"}, {"2", "two"}, {"4", "four"}, {"5", "five"}}));
  ExpectClean();
}

}  // namespace
}  // namespace zt::testing
