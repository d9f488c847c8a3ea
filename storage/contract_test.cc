// The contract every storage keeps, run on each back end: keys and their statuses,
// byte order, reads that see others' writes, reads by key, scans, batches, other shapes
// refused, and creation by several processes at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/open.h"
#include "testing/process.h"
#include "testing/test_folder.h"
#include "testing/test_postgres.h"

namespace {

using storage::FileShape;
using storage::FileStatus;
using storage::KeyShape;
using storage::Opened;
using storage::StorageMode;

constexpr KeyShape kArticleKeys[] = {{0, 8, false}, {8, 2, true}, {18, 10, true}};
constexpr FileShape kArticleShape{88, kArticleKeys};

// A record whose alternate keys are made from its key, so that distinct keys give
// distinct alternate keys.
std::string record_of(std::string key) {
  key.resize(8, ' ');
  std::string record = key + key.substr(0, 2) + std::string(8, '\0') + key + "00";
  record.resize(88, '5');
  return record;
}

// Where a test's file lives on one back end, gone with everything in it afterwards.
class Place {
 public:
  virtual ~Place() = default;
  virtual std::string name() const = 0;
  // The name of another file of the same back end, where an archive may go.
  virtual std::string other(int n) = 0;
};

class LocalFolder : public Place {
 public:
  std::string name() const override { return folder_.file("articles"); }
  std::string other(int n) override { return folder_.file("archive" + std::to_string(n)); }

 private:
  testkit::TempFolder folder_;
};

class PostgresSchema : public Place {
 public:
  std::string name() const override { return schema_.uri(); }
  std::string other(int n) override {
    while (others_.size() <= static_cast<size_t>(n)) others_.push_back(std::make_unique<testkit::TestSchema>());
    return others_[n]->uri();
  }

 private:
  mutable testkit::TestSchema schema_;
  std::vector<std::unique_ptr<testkit::TestSchema>> others_;
};

class StorageContract : public ::testing::TestWithParam<const char*> {
 protected:
  StorageContract()
      : place_(std::string(GetParam()) == "sqlite" ? std::unique_ptr<Place>(new LocalFolder)
                                                   : std::unique_ptr<Place>(new PostgresSchema)) {}

  Opened open(StorageMode mode, const FileShape& shape = kArticleShape) const {
    name_ = place_->name();
    return storage::open_storage({name_, "ARTICLES", shape, mode, "storage_contract_test"});
  }
  Opened open_named(const std::string& name, StorageMode mode, const FileShape& shape = kArticleShape) const {
    return storage::open_storage({name, "ARTICLES", shape, mode, "storage_contract_test"});
  }
  std::vector<std::string> all_records(storage::Storage& s) const {
    std::vector<std::string> found;
    const storage::Result scanned = s.scan([&](std::string_view record) {
      found.emplace_back(record);
      return true;
    });
    EXPECT_EQ(scanned.status, FileStatus::kOk) << scanned.reason;
    return found;
  }

  std::unique_ptr<Place> place_;
  mutable std::string name_;  // kept while the request points at it
};

TEST_P(StorageContract, KeysWithAndWithoutDuplicates) {
  constexpr KeyShape keys[] = {{0, 4, false}, {4, 2, true}, {6, 2, false}};
  Opened opened = open(StorageMode::kInputOutput, {8, keys});
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  struct Case {
    const char* record;
    FileStatus status;
  } cases[] = {
      {"AAAA11xx", FileStatus::kOk},
      {"BBBB11yy", FileStatus::kDuplicateAlternateKey},  // same second key: stored
      {"AAAA22zz", FileStatus::kDuplicateKey},           // primary key taken
      {"CCCC33xx", FileStatus::kDuplicateKey},           // third key allows no duplicates
      {"DDDD33ww", FileStatus::kOk},
  };
  for (const Case& c : cases) EXPECT_EQ(opened.storage->insert(c.record).status, c.status) << c.record;
  char record[9] = {};
  std::vector<std::string> read;
  while (opened.storage->read_next(record).status == FileStatus::kOk) read.emplace_back(record, 8);
  EXPECT_EQ(read, (std::vector<std::string>{"AAAA11xx", "BBBB11yy", "DDDD33ww"}));
}

TEST_P(StorageContract, ADuplicateOfAnyAlternateKeyIsStoredWithStatus02) {
  Opened opened = open(StorageMode::kInputOutput);
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  // plate, week, Monday's entry: each alternate key taken alone, then both, then neither.
  auto article = [](const std::string& plate, const std::string& week, const std::string& monday) {
    std::string record = plate + week + std::string(8, '\0') + monday;
    record.resize(88, '0');
    return record;
  };
  struct Case {
    std::string record;
    FileStatus status;
  } cases[] = {
      {article("AA000001", "07", "0100000001"), FileStatus::kOk},
      {article("AA000002", "07", "0200000002"), FileStatus::kDuplicateAlternateKey},  // week
      {article("AA000003", "08", "0100000001"), FileStatus::kDuplicateAlternateKey},  // Monday
      {article("AA000004", "08", "0200000002"), FileStatus::kDuplicateAlternateKey},  // both
      {article("AA000005", "09", "0300000003"), FileStatus::kOk},                     // neither
      {article("AA000001", "10", "0400000004"), FileStatus::kDuplicateKey},           // plate
      {article("AA000006", "10", "0400000004"), FileStatus::kOk},                     // the refused one left no key
  };
  for (const Case& c : cases) {
    const storage::Result result = opened.storage->insert(c.record.data());
    EXPECT_EQ(result.status, c.status) << c.record.substr(0, 8);
    EXPECT_EQ(result.reason.empty(), result.ok()) << c.record.substr(0, 8) << ": " << result.reason;
  }
  EXPECT_EQ(all_records(*opened.storage).size(), 6u);
}

TEST_P(StorageContract, AnInputOpenOfAMissingFileIs35AndCreatesNothing) {
  EXPECT_EQ(open(StorageMode::kInput).result.status, FileStatus::kNotFound);
  EXPECT_EQ(open(StorageMode::kInput).result.status, FileStatus::kNotFound) << "nothing was created";
  Opened made = open(StorageMode::kInputOutput);
  ASSERT_TRUE(made.result.ok()) << made.result.reason;
  Opened reader = open(StorageMode::kInput);
  ASSERT_TRUE(reader.result.ok()) << reader.result.reason;
  char record[88];
  EXPECT_EQ(reader.storage->read_next(record).status, FileStatus::kAtEnd);
}

TEST_P(StorageContract, ReadsComeInByteOrderMoveForwardAndSeeWhatOthersStoreMeanwhile) {
  Opened writer = open(StorageMode::kInputOutput);
  Opened reader = open(StorageMode::kInput);
  ASSERT_TRUE(reader.result.ok()) << reader.result.reason;
  char record[88];
  EXPECT_EQ(reader.storage->read_next(record).status, FileStatus::kAtEnd);
  // Bytes above 0x7F sort after ASCII, and a NUL before a space.
  const std::string keys[] = {"BB", std::string("B\0", 2), "\xC9T\xC9-42", "b"};
  for (const std::string& key : keys) ASSERT_TRUE(writer.storage->insert(record_of(key).data()).ok());
  const std::string expected[] = {std::string("B\0", 2), "BB", "b", "\xC9T\xC9-42"};
  ASSERT_EQ(reader.storage->read_next(record).status, FileStatus::kOk);
  EXPECT_EQ(std::string(record, 88), record_of(expected[0]));
  ASSERT_TRUE(writer.storage->insert(record_of("A").data()).ok());  // before the one read: never seen
  for (size_t i = 1; i < std::size(expected); ++i) {
    ASSERT_EQ(reader.storage->read_next(record).status, FileStatus::kOk);
    EXPECT_EQ(std::string(record, 88), record_of(expected[i]));
  }
  EXPECT_EQ(reader.storage->read_next(record).status, FileStatus::kAtEnd);
  ASSERT_TRUE(writer.storage->insert(record_of("\xFF").data()).ok());
  ASSERT_EQ(reader.storage->read_next(record).status, FileStatus::kOk);
  EXPECT_EQ(std::string(record, 88), record_of("\xFF"));
}

TEST_P(StorageContract, TheMarkOfAReaderChangesWithEveryRecordStored) {
  Opened writer = open(StorageMode::kInputOutput);
  ASSERT_TRUE(writer.result.ok()) << writer.result.reason;
  Opened reader = open(StorageMode::kInput);
  ASSERT_TRUE(reader.result.ok()) << reader.result.reason;
  std::vector<std::string> marks(1);
  ASSERT_TRUE(reader.storage->version(&marks[0]).ok());
  for (const char* key : {"AA000001", "AA000002"}) {
    ASSERT_TRUE(writer.storage->insert(record_of(key).data()).ok());
    std::string mark;
    ASSERT_TRUE(reader.storage->version(&mark).ok());
    for (const std::string& earlier : marks) EXPECT_NE(mark, earlier) << key;
    marks.push_back(mark);
  }
  // Reading changes nothing: a local file, which no other program writes, keeps its mark.
  EXPECT_EQ(all_records(*reader.storage).size(), 2u);
  std::string again;
  ASSERT_TRUE(reader.storage->version(&again).ok());
  if (std::string(GetParam()) == "sqlite") {
    EXPECT_EQ(again, marks.back());
  }
}

TEST_P(StorageContract, ReadsByKeyAndScansInKeyOrder) {
  Opened opened = open(StorageMode::kInputOutput);
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  EXPECT_EQ(all_records(*opened.storage), std::vector<std::string>{});
  for (const char* key : {"CC", "AA", "BB"}) ASSERT_TRUE(opened.storage->insert(record_of(key).data()).ok());

  char record[88] = {};
  EXPECT_TRUE(opened.storage->read_key(record_of("BB").data(), record).ok());
  EXPECT_EQ(std::string(record, 88), record_of("BB"));
  EXPECT_EQ(opened.storage->read_key(record_of("BC").data(), record).status, FileStatus::kNoSuchKey);
  EXPECT_EQ(std::string(record, 88), record_of("BB")) << "left as it was";

  EXPECT_EQ(all_records(*opened.storage),
            (std::vector<std::string>{record_of("AA"), record_of("BB"), record_of("CC")}));
  int seen = 0;
  EXPECT_TRUE(opened.storage->scan([&](std::string_view) { return ++seen < 2; }).ok());
  EXPECT_EQ(seen, 2) << "stops when asked";
}

TEST_P(StorageContract, ABatchStoresEachRecordAndARefusedOneUndoesNoOther) {
  Opened opened = open(StorageMode::kInputOutput);
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  ASSERT_TRUE(opened.storage->insert(record_of("BB").data()).ok());
  std::string same_week = record_of("CC");
  same_week.replace(8, 2, "AA");
  const std::string batch[] = {record_of("AA"), record_of("BB"), same_week, record_of("AA")};
  const char* records[] = {batch[0].data(), batch[1].data(), batch[2].data(), batch[3].data()};
  std::vector<FileStatus> statuses;
  const storage::Result result = opened.storage->insert_batch(records, &statuses);
  EXPECT_TRUE(result.ok()) << result.reason;
  EXPECT_EQ(statuses, (std::vector<FileStatus>{FileStatus::kOk, FileStatus::kDuplicateKey,
                                               FileStatus::kDuplicateAlternateKey, FileStatus::kDuplicateKey}));
  EXPECT_EQ(all_records(*opened.storage), (std::vector<std::string>{record_of("AA"), record_of("BB"), same_week}));
}

// A primary key after other bytes of the record: each operation takes it, and the
// alternate keys, from where the shape puts them, never from the record's start.
TEST_P(StorageContract, APrimaryKeyThatIsNotTheRecordsFirstBytesIsTheKeyOfEveryOperation) {
  constexpr KeyShape keys[] = {{4, 4, false}, {0, 2, true}, {8, 2, false}};  // plate, week, a unique key
  Opened opened = open(StorageMode::kInputOutput, {12, keys});
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  struct Case {
    const char* record;
    FileStatus status;
  } cases[] = {
      {"w1--BBBBu1--", FileStatus::kOk},           {"w1--AAAAu2--", FileStatus::kDuplicateAlternateKey},
      {"w2--BBBBu3--", FileStatus::kDuplicateKey},  // the plate, behind other bytes
      {"w3--CCCCu1--", FileStatus::kDuplicateKey},  // the unique key
      {"w0--CCCCu4--", FileStatus::kOk},
  };
  for (const Case& c : cases) EXPECT_EQ(opened.storage->insert(c.record).status, c.status) << c.record;
  const char* batch[] = {"w9--DDDDu5--", "w9--AAAAu6--", "w8--EEEEu5--", "w0--FFFFu7--"};
  std::vector<FileStatus> statuses;
  ASSERT_TRUE(opened.storage->insert_batch(batch, &statuses).ok());
  EXPECT_EQ(statuses, (std::vector<FileStatus>{FileStatus::kOk, FileStatus::kDuplicateKey, FileStatus::kDuplicateKey,
                                               FileStatus::kDuplicateAlternateKey}));
  const std::vector<std::string> in_plate_order{"w1--AAAAu2--", "w1--BBBBu1--", "w0--CCCCu4--", "w9--DDDDu5--",
                                                "w0--FFFFu7--"};
  EXPECT_EQ(all_records(*opened.storage), in_plate_order);
  char record[12];
  std::vector<std::string> read;
  while (opened.storage->read_next(record).status == FileStatus::kOk) read.emplace_back(record, 12);
  EXPECT_EQ(read, in_plate_order);
  ASSERT_TRUE(opened.storage->read_key("CCCC", record).ok());
  EXPECT_EQ(std::string(record, 12), "w0--CCCCu4--");
  EXPECT_EQ(opened.storage->read_key("w0--", record).status, FileStatus::kNoSuchKey);
  const storage::Result checked = opened.storage->check();
  EXPECT_TRUE(checked.ok()) << checked.reason;
}

TEST_P(StorageContract, AFileOfAnotherShapeIs39AndKeepsItsRecords) {
  constexpr KeyShape kUniqueWeek[] = {{0, 8, false}, {8, 2, false}, {18, 10, true}};
  constexpr KeyShape kTwoKeys[] = {{0, 8, false}, {8, 2, true}};
  {
    Opened made = open(StorageMode::kInputOutput);
    ASSERT_TRUE(made.result.ok()) << made.result.reason;
    ASSERT_TRUE(made.storage->insert(record_of("AA").data()).ok());
  }
  const FileShape others[] = {{80, kArticleKeys}, {88, kUniqueWeek}, {88, kTwoKeys}};
  for (const FileShape& shape : others) {
    for (StorageMode mode : {StorageMode::kInputOutput, StorageMode::kInput}) {
      const Opened opened = open(mode, shape);
      EXPECT_EQ(opened.result.status, FileStatus::kWrongShape) << storage::describe(shape);
      EXPECT_FALSE(opened.result.reason.empty());
      EXPECT_EQ(opened.storage, nullptr);
    }
  }
  Opened again = open(StorageMode::kInput);
  ASSERT_TRUE(again.result.ok()) << again.result.reason;
  EXPECT_EQ(all_records(*again.storage), std::vector<std::string>{record_of("AA")});
}

TEST_P(StorageContract, ProcessesCreatingTheFileAtOnceAllFindOneWholeFile) {
  constexpr int kProcesses = 6;
  const std::string name = place_->name();
  pid_t children[kProcesses];
  for (int i = 0; i < kProcesses; ++i) {
    children[i] = testkit::fork_child([&] {
      Opened opened = storage::open_storage({name, "ARTICLES", kArticleShape, StorageMode::kInputOutput, "child"});
      if (!opened.result.ok()) return static_cast<int>(opened.result.status);
      return static_cast<int>(opened.storage->insert(record_of("P" + std::to_string(i)).data()).status);
    });
  }
  for (pid_t child : children) EXPECT_EQ(testkit::status_of(child), 0);
  Opened opened = open(StorageMode::kInput);
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  std::vector<std::string> expected;
  for (int i = 0; i < kProcesses; ++i) expected.push_back(record_of("P" + std::to_string(i)));
  EXPECT_EQ(all_records(*opened.storage), expected);
}

TEST_P(StorageContract, AFileItMadeChecksSoundOnEveryOpen) {
  Opened writer = open(StorageMode::kInputOutput);
  ASSERT_TRUE(writer.result.ok()) << writer.result.reason;
  EXPECT_TRUE(writer.storage->check().ok()) << "empty: " << writer.storage->check().reason;
  for (const char* key : {"CC", "AA", "BB"}) ASSERT_TRUE(writer.storage->insert(record_of(key).data()).ok());
  Opened reader = open(StorageMode::kInput);
  ASSERT_TRUE(reader.result.ok()) << reader.result.reason;
  const storage::Result checked = reader.storage->check();
  EXPECT_EQ(checked.status, FileStatus::kOk) << checked.reason;
}

// Erase and replace, one after the other on one file: what each took away, and the
// records a new reader then finds. The third key allows no duplicates.
TEST_P(StorageContract, ErasesAndReplacesAreCommittedAndGiveBackWhatTheyTook) {
  constexpr KeyShape keys[] = {{0, 4, false}, {4, 2, true}, {6, 2, false}};
  const FileShape shape{8, keys};
  Opened opened = open(StorageMode::kInputOutput, shape);
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  for (const char* record : {"AAAA11xx", "BBBB22yy", "CCCC33zz"}) ASSERT_TRUE(opened.storage->insert(record).ok());
  struct Case {
    const char* erase;               // a key to erase, or
    std::vector<std::string> batch;  // records to replace
    FileStatus status;
    std::vector<std::string> took;    // what was erased, or what each record replaced
    std::vector<std::string> stored;  // afterwards, in key order
  } cases[] = {
      {"BBBB", {}, FileStatus::kOk, {"BBBB22yy"}, {"AAAA11xx", "CCCC33zz"}},
      {"BBBB", {}, FileStatus::kNoSuchKey, {""}, {"AAAA11xx", "CCCC33zz"}},
      {nullptr, {"AAAA44xx"}, FileStatus::kOk, {"AAAA11xx"}, {"AAAA44xx", "CCCC33zz"}},
      {nullptr, {"DDDD11ww"}, FileStatus::kOk, {""}, {"AAAA44xx", "CCCC33zz", "DDDD11ww"}},
      {nullptr,  // one key twice: the last is stored, and it replaced the first
       {"CCCC55zz", "EEEE66vv", "CCCC77zz"},
       FileStatus::kOk,
       {"CCCC33zz", "", "CCCC55zz"},
       {"AAAA44xx", "CCCC77zz", "DDDD11ww", "EEEE66vv"}},
      {nullptr,  // the unique third key of another record: none of the batch is stored
       {"FFFF88uu", "AAAA99zz"},
       FileStatus::kDuplicateKey,
       {"", ""},
       {"AAAA44xx", "CCCC77zz", "DDDD11ww", "EEEE66vv"}},
      {nullptr, {"AAAA99xx"}, FileStatus::kOk, {"AAAA44xx"}, {"AAAA99xx", "CCCC77zz", "DDDD11ww", "EEEE66vv"}},
  };
  for (const Case& c : cases) {
    const std::string what = c.erase != nullptr ? std::string("erase ") + c.erase : "replace " + c.batch.front();
    std::vector<std::string> took(1);
    storage::Result result;
    if (c.erase != nullptr) {
      result = opened.storage->erase(c.erase, &took[0]);
    } else {
      std::vector<const char*> records;
      for (const std::string& record : c.batch) records.push_back(record.data());
      result = opened.storage->replace_batch(records, &took);
    }
    EXPECT_EQ(result.status, c.status) << what << ": " << result.reason;
    if (c.status == FileStatus::kOk) {
      EXPECT_EQ(took, c.took) << what;
    }
    Opened reader = open(StorageMode::kInput, shape);
    ASSERT_TRUE(reader.result.ok()) << reader.result.reason;
    EXPECT_EQ(all_records(*reader.storage), c.stored) << what;
  }
  std::string replaced;
  ASSERT_TRUE(opened.storage->replace("GGGG00gg", &replaced).ok());
  EXPECT_EQ(replaced, "");
  char record[8];
  EXPECT_EQ(opened.storage->read_key("DDDD", record).status, FileStatus::kOk);
  EXPECT_EQ(opened.storage->check().status, FileStatus::kOk) << opened.storage->check().reason;
}

// The archive moves every record into a new file, which opens as the file did; the
// file goes on taking records. A destination that exists, or the file itself, is
// refused and nothing moves.
TEST_P(StorageContract, AnArchiveMovesEveryRecordIntoANewFile) {
  Opened opened = open(StorageMode::kInputOutput);
  ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
  const std::string first = place_->other(0), second = place_->other(1), third = place_->other(2);
  struct Case {
    std::vector<std::string> added;  // before the archive
    std::string destination;
    FileStatus status;
    std::vector<std::string> moved;  // what the destination then holds
    std::vector<std::string> kept;   // what the file then holds
  } cases[] = {
      {{"BB", "AA"}, first, FileStatus::kOk, {record_of("AA"), record_of("BB")}, {}},
      {{"CC"}, first, FileStatus::kFailed, {record_of("AA"), record_of("BB")}, {record_of("CC")}},
      {{}, name_, FileStatus::kFailed, {record_of("CC")}, {record_of("CC")}},
      {{}, second, FileStatus::kOk, {record_of("CC")}, {}},
      {{}, third, FileStatus::kOk, {}, {}},
  };
  for (const Case& c : cases) {
    for (const std::string& key : c.added) ASSERT_TRUE(opened.storage->insert(record_of(key).data()).ok());
    uint64_t moved = 99;
    const storage::Result result = opened.storage->archive(c.destination, &moved);
    EXPECT_EQ(result.status, c.status) << c.destination << ": " << result.reason;
    EXPECT_EQ(moved, c.status == FileStatus::kOk ? c.moved.size() : 0u) << c.destination;
    EXPECT_EQ(all_records(*opened.storage), c.kept) << c.destination;
    Opened archived = open_named(c.destination, StorageMode::kInput);
    ASSERT_TRUE(archived.result.ok()) << archived.result.reason;
    EXPECT_EQ(all_records(*archived.storage), c.moved) << c.destination;
    EXPECT_TRUE(archived.storage->check().ok()) << c.destination << ": " << archived.storage->check().reason;
  }
}

INSTANTIATE_TEST_SUITE_P(EachBackEnd, StorageContract, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
