#include "runtime/file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/test_folder.h"

namespace {

using testkit::put_bytes;
using testkit::TempFolder;

// An article-like file: 88-byte records, primary key at 0 (8 bytes), alternate keys
// with duplicates at 8 (2 digits) and 18 (10 bytes).
char record_storage[88];
constexpr rt::Field record_area = rt::alphanumeric(record_storage);
constexpr rt::Field plate = rt::alphanumeric(record_storage, 8);
constexpr rt::Field week = rt::numeric<2>(record_storage + 8);
constexpr rt::Field monday = rt::group(record_storage + 18, 10);
char status_storage[2];
constexpr rt::Field file_status = rt::numeric<2>(status_storage);
rt::KeyEntry keys[3] = {{plate, rt::kNoDuplicates, 0}, {week, rt::kDuplicates, 8}, {monday, rt::kDuplicates, 18}};

rt::FileDeclaration declaration(uint8_t has_status = 1) {
  return {.declared_name = "ARTICLES",
          .assignment = rt::literal("$fichier"),
          .organisation = rt::kIndexed,
          .access = rt::kSequentialAccess,
          .record = record_area,
          .record_group = rt::group(record_storage),
          .record_min = 88,
          .record_max = 88,
          .key_count = 3,
          .keys = keys,
          .optional = 0,
          .has_status = has_status,
          .status = {'0', '0'}};
}

// An 88-byte record: plate padded to 8, week, eight zero bytes, Monday, then digits.
std::string article(std::string name, std::string week_digits = "01", std::string monday_entry = "0000000000") {
  name.resize(8, ' ');
  std::string record = name + week_digits + std::string(8, '\0') + monday_entry;
  record.resize(88, '7');
  return record;
}

enum class Op { kOpenInput, kOpenInputOutput, kWrite, kRead, kClose };

class FileLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = folder_.file("articles");
    setenv("fichier", path_.c_str(), 1);
    // The lines on standard error in UTF-8 whatever the test's locale (decided once, at
    // the first line: every line of this test comes after a SetUp).
    setenv("FLEET_CHARSET", "utf-8", 1);
    file_ = declaration();
    std::memset(record_storage, 0, sizeof record_storage);
  }
  void TearDown() override {
    if (file_.open_mode != 0) rt::close(&file_, rt::kCloseNormal, nullptr);
    unsetenv("fichier");
  }

  // Runs one operation in the program's way and returns the status it stored.
  std::string run(Op op, const std::string& record = "") {
    rt::exception_code = 0;
    rt::error_file = nullptr;
    std::memcpy(status_storage, "..", 2);
    switch (op) {
      case Op::kOpenInput:
        rt::open(&file_, rt::kOpenInput, 0, &file_status);
        break;
      case Op::kOpenInputOutput:
        rt::open(&file_, rt::kOpenInputOutput, 1, &file_status);
        break;
      case Op::kWrite:
        std::memcpy(record_storage, record.data(), 88);
        rt::write(&file_, rt::group(record_storage), 0, &file_status);
        break;
      case Op::kRead:
        rt::read(&file_, nullptr, &file_status, rt::kReadNext);
        break;
      case Op::kClose:
        rt::close(&file_, rt::kCloseNormal, &file_status);
        break;
    }
    const std::string status(status_storage, 2);
    EXPECT_EQ(std::string(file_.status, 2), status) << "the declaration's own status area";
    const bool failed = status != "00" && status != "02";
    EXPECT_EQ(rt::exception_code != 0, failed) << status;
    EXPECT_EQ(rt::error_file, failed ? &file_ : nullptr) << status;
    return status;
  }

  TempFolder folder_;
  std::string path_;
  rt::FileDeclaration file_;
};

TEST_F(FileLayer, EveryOperationStoresItsStatus) {
  const std::string a = article("AB123CD", "07", "0250003540");
  const std::string b = article("BB", "07", "0100000100");  // same week as a
  const std::string c = article("CC", "09", "0250003540");  // same Monday as a
  const std::string d = article("DD", "11", "9999999999");
  const std::string e = article("EE", "12", "1111111111");
  struct Step {
    Op op;
    std::string record;  // written, or expected in the record area after a read
    const char* status;
  } steps[] = {
      {Op::kRead, "", "47"},
      {Op::kWrite, a, "48"},
      {Op::kClose, "", "42"},
      {Op::kOpenInput, "", "35"},
      {Op::kOpenInputOutput, "", "00"},  // creates the file
      {Op::kOpenInputOutput, "", "41"},
      {Op::kOpenInput, "", "41"},
      {Op::kWrite, a, "00"},
      {Op::kWrite, article("AB123CD", "99"), "22"},  // nothing stored: a stays as it was
      {Op::kWrite, b, "02"},
      {Op::kWrite, c, "02"},
      {Op::kWrite, d, "00"},
      {Op::kRead, a, "00"},  // an input-output open reads too
      {Op::kClose, "", "00"},
      {Op::kOpenInput, "", "00"},
      {Op::kWrite, e, "48"},
      {Op::kRead, a, "00"},
      {Op::kRead, b, "00"},
      {Op::kRead, c, "00"},
      {Op::kRead, d, "00"},
      {Op::kRead, d, "10"},
      {Op::kRead, d, "10"},  // the record area keeps the last record
      {Op::kClose, "", "00"},
      {Op::kClose, "", "42"},
      {Op::kRead, d, "47"},
  };
  int step = 0;
  int reported = 0;  // failed opens and writes
  ::testing::internal::CaptureStderr();
  for (const Step& s : steps) {
    ++step;
    EXPECT_EQ(run(s.op, s.record), s.status) << "step " << step;
    if (s.op == Op::kRead && !s.record.empty()) {
      EXPECT_EQ(std::string(record_storage, 88), s.record) << "step " << step;
    }
    reported +=
        s.op != Op::kRead && s.op != Op::kClose && std::string(s.status) != "00" && std::string(s.status) != "02";
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), reported) << err;
}

TEST_F(FileLayer, ReadsComeInAscendingByteOrderOfThePrimaryKey) {
  const std::string plates[] = {
      "ZZ999ZZ", "AB123CD", std::string("\0\0\0\0\0\0\0\0", 8), "a", "\xE9t\xE9", "AB", "AB 1", "9", " ",
  };
  ASSERT_EQ(run(Op::kOpenInputOutput), "00");
  std::vector<std::string> expected;
  for (const std::string& p : plates) {
    const std::string week_digits = std::to_string(10 + expected.size());
    expected.push_back(article(p, week_digits, week_digits + "00000000"));
    ASSERT_EQ(run(Op::kWrite, expected.back()), "00") << p;
  }
  ASSERT_EQ(run(Op::kClose), "00");

  std::sort(expected.begin(), expected.end());  // std::string orders bytes as unsigned
  ASSERT_EQ(run(Op::kOpenInput), "00");
  for (const std::string& record : expected) {
    ASSERT_EQ(run(Op::kRead), "00");
    EXPECT_EQ(std::string(record_storage, 88), record);
  }
  EXPECT_EQ(run(Op::kRead), "10");
}

TEST_F(FileLayer, AFailedReadLeavesTheRecordArea) {
  std::memset(record_storage, 'x', 88);
  rt::read(&file_, nullptr, &file_status, rt::kReadNext);  // not open: 47
  EXPECT_EQ(std::string(record_storage, 88), std::string(88, 'x'));
  ASSERT_EQ(run(Op::kOpenInputOutput), "00");
  std::memset(record_storage, 'y', 88);
  EXPECT_EQ(run(Op::kRead), "10");  // empty file
  EXPECT_EQ(std::string(record_storage, 88), std::string(88, 'y'));
}

TEST_F(FileLayer, FailuresOfOpenAndWriteWriteOneLineEachOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run(Op::kOpenInput), "35");
  EXPECT_EQ(run(Op::kWrite, article("AB123CD")), "48");
  EXPECT_EQ(run(Op::kOpenInputOutput), "00");
  EXPECT_EQ(run(Op::kWrite, article("AB123CD")), "00");
  EXPECT_EQ(run(Op::kWrite, article("AB123CD")), "22");
  EXPECT_EQ(run(Op::kWrite, article("A\tB", "02", "1111111111")), "00");
  EXPECT_EQ(run(Op::kWrite, article("A\tB", "03")), "22");
  EXPECT_EQ(run(Op::kRead), "00");  // reads are silent
  EXPECT_EQ(run(Op::kClose), "00");
  EXPECT_EQ(run(Op::kClose), "42");
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string line = std::string(rt::program_name()) + " : ARTICLES : ";
  EXPECT_EQ(err, line + "impossible d'ouvrir « " + path_ + " » : fichier introuvable (statut 35)\n" + line +
                     "enregistrement « AB123CD » non enregistré : fichier non ouvert en écriture (statut 48)\n" + line +
                     "enregistrement « AB123CD » non enregistré : clé déjà présente dans le fichier (statut 22)\n" +
                     line + "enregistrement « A^IB » non enregistré : clé déjà présente dans le fichier (statut 22)\n");
}

TEST_F(FileLayer, OpenFailuresOtherThanShape) {
  std::filesystem::create_directory(folder_.file("folder"));
  put_bytes(folder_.file("plain"), "text");
  struct Case {
    std::string path;
    const char* input_status;
    const char* input_output_status;
    const char* reason;  // the storage's, in French, after the status
  } cases[] = {
      {folder_.file("folder"), "30", "30", "(statut 30 : c'est un dossier, pas un fichier)"},
      {folder_.file("missing/articles"), "30", "30", "(statut 30 : dossier introuvable)"},
      {folder_.file("plain/articles"), "30", "30", "(statut 30 : un élément du chemin n'est pas un dossier)"},
      {folder_.file("new"), "35", "00", "fichier introuvable (statut 35)\n"},
      {folder_.file("odd ?#%20 name"), "35", "00", "fichier introuvable (statut 35)\n"},
  };
  for (const Case& c : cases) {
    setenv("fichier", c.path.c_str(), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(Op::kOpenInput), c.input_status) << c.path;
    EXPECT_EQ(run(Op::kOpenInputOutput), c.input_output_status) << c.path;
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (file_.open_mode != 0) run(Op::kClose);
    const int failures = (std::string(c.input_status) != "00") + (std::string(c.input_output_status) != "00");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), failures) << err;
    EXPECT_NE(err.find(c.path), std::string::npos) << err;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
  }
}

TEST(FileName, AssignmentIsMappedThroughTheEnvironment) {
  struct Case {
    const char* value;  // of fichier; null: unset
    rt::Item assignment;
    const char* path;
  } cases[] = {
      {nullptr, rt::literal("$fichier"), "fichier"},
      {"", rt::literal("$fichier"), "fichier"},
      {"/data/fleet", rt::literal("$fichier"), "/data/fleet"},
      {"relative/f", rt::literal("$fichier"), "relative/f"},
      {"/data/fleet", rt::literal("$fichier  "), "/data/fleet"},
      {"/data/fleet", rt::literal("plain"), "plain"},
  };
  for (const Case& c : cases) {
    if (c.value == nullptr)
      unsetenv("fichier");
    else
      setenv("fichier", c.value, 1);
    EXPECT_EQ(rt::file_name(c.assignment), c.path) << (c.value ? c.value : "unset");
  }
  rt::ModuleRecord unmapped;
  unmapped.map_file_names = 0;
  rt::current_module = &unmapped;
  EXPECT_EQ(rt::file_name(rt::literal("$fichier")), "$fichier");
  rt::current_module = nullptr;
  unsetenv("fichier");
}

// A program of the file layer's own, to take the error path as the programs do.
rt::FileDeclaration* program_file = nullptr;
int returns_after_error = 0;
rt::Program file_program{"filetest", [] {}, [] { rt::close(program_file, rt::kCloseNormal, nullptr); }};
constexpr int32_t kErrorPath = 9;
void error_path() { rt::file_error_path(file_program, kErrorPath); }
void open_and_read() {
  rt::exception_code = 0;
  rt::read(program_file, nullptr, &file_status, rt::kReadNext);
  if (rt::exception_code != 0) file_program.perform(kErrorPath, error_path);
  ++returns_after_error;
}

TEST_F(FileLayer, ErrorPathReturnsForAFileWithAStatusField) {
  rt::initialized = 1;
  program_file = &file_;
  returns_after_error = 0;
  file_program.run(0, open_and_read);
  EXPECT_EQ(returns_after_error, 1);
  EXPECT_EQ(std::string(status_storage, 2), "47");
}

TEST_F(FileLayer, ErrorPathOfAFileWithoutStatusFieldStopsWithStatusOne) {
  rt::initialized = 1;
  file_ = declaration(0);
  program_file = &file_;
  EXPECT_EXIT(file_program.run(0, open_and_read), ::testing::ExitedWithCode(1),
              "ARTICLES : erreur de fichier : fichier non ouvert en lecture \\(statut 47\\)");
}

TEST_F(FileLayer, ErrorPathWithoutItsPerformIsFatal) {
  rt::initialized = 1;
  program_file = &file_;
  EXPECT_EXIT(file_program.run(0,
                               [] {
                                 rt::read(program_file, nullptr, &file_status, rt::kReadNext);
                                 error_path();  // run into, not performed
                               }),
              ::testing::ExitedWithCode(rt::kFatalStatus), "\\(erreur 1\\)");
}

TEST_F(FileLayer, CancelClosesTheFile) {
  rt::initialized = 1;
  program_file = &file_;
  file_program.run(0, [] { rt::open(program_file, rt::kOpenInputOutput, 1, &file_status); });
  ASSERT_NE(file_.open_mode, 0);
  file_program.run(-1, [] {});
  EXPECT_EQ(file_.open_mode, 0);
  EXPECT_EQ(run(Op::kOpenInput), "00");  // closed cleanly, opens again
}

TEST_F(FileLayer, StopClosesOpenFilesAndKeepsWhatWasWritten) {
  EXPECT_EXIT(
      {
        rt::open(&file_, rt::kOpenInputOutput, 1, &file_status);
        std::memcpy(record_storage, article("AB123CD").data(), 88);
        rt::write(&file_, rt::group(record_storage), 0, &file_status);
        rt::stop_run(0);
      },
      ::testing::ExitedWithCode(0), "");
  // Closed at stop: SQLite's side files are gone, and the record is there.
  EXPECT_EQ(testkit::others_in(folder_.path(), "articles"), std::vector<std::string>{});
  EXPECT_EQ(run(Op::kOpenInput), "00");
  EXPECT_EQ(run(Op::kRead), "00");
  EXPECT_EQ(std::string(record_storage, 88), article("AB123CD"));
}

}  // namespace
