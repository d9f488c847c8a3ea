// Fuzz target: the file layer on an article file made of arbitrary bytes.
//
// Each input is written as the article file, alone in a private folder. Then, as the
// programs do, the file is opened for input and read to its end and closed, opened for
// input-output, given one record and closed; a record whose write was done is looked
// for once more. Checks, after every operation:
// - the status is one of the operation's own, the same in the declaration's status
//   area and in the program's status field;
// - exception_code is non-zero, and error_file the file, exactly when the operation
//   failed (status 10 and above);
// - a read that fails leaves the record area as it was, and reads come to an end;
// - an open that fails leaves the folder as it was: the file byte for byte, and
//   nothing beside it;
// - once the file is closed (00) nothing is left beside it;
// - a record whose write was done is read back whole, unless the file fails (30) or
//   was damaged to begin with (its indexes no longer match its records, which the
//   layer cannot see without reading the whole file).
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/article.h"
#include "fuzz/check.h"
#include "runtime/file.h"

namespace {

using fleet::article_file;

// Whether SQLite's own check finds the file whole.
bool intact(const std::string& file) {
  sqlite3* db = nullptr;
  bool whole = false;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
      const unsigned char* answer = sqlite3_column_text(check, 0);
      whole = answer != nullptr && std::strcmp(reinterpret_cast<const char*>(answer), "ok") == 0;
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return whole;
}

std::string folder;
std::string path;

// The record the input-output open writes: plate, week, the spare zero bytes, days.
const std::string kRecord = std::string(
                                "FUZZ0001"
                                "12") +
                            std::string(8, '\0') + std::string(70, '7');

void remove_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

// Everything in the folder: each entry's name and, for the article file, its bytes.
std::string folder_state() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  FUZZ_CHECK(!error);
  std::sort(names.begin(), names.end());
  std::string state;
  for (const std::string& name : names) state += name + '\n';
  std::ifstream in(path, std::ios::binary);
  return state + std::string(std::istreambuf_iterator<char>(in), {});
}

bool only_the_file() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().filename() != "articles") return false;
  }
  return !error;
}

enum class Op { kOpenInput, kOpenInputOutput, kRead, kWrite, kClose };

// Runs one operation in the programs' three steps and returns its status, after the
// checks every operation passes.
std::string_view run(Op op) {
  static constexpr std::string_view kStatuses[] = {
      "00 30 35 37 39 41",  // open for input
      "00 30 35 37 39 41",  // open for input-output
      "00 10 30 47",        // read next
      "00 02 22 30 48",     // write
      "00 30 42",           // close
  };
  std::memcpy(fleet::file_status_storage, "..", 2);
  rt::exception_code = 0;
  rt::error_file = nullptr;
  switch (op) {
    case Op::kOpenInput:
      rt::open(article_file, rt::kOpenInput, 0, &fleet::file_status);
      break;
    case Op::kOpenInputOutput:
      rt::open(article_file, rt::kOpenInputOutput, 1, &fleet::file_status);
      break;
    case Op::kRead:
      rt::read(article_file, nullptr, &fleet::file_status, rt::kReadNext);
      break;
    case Op::kWrite:
      rt::write(article_file, fleet::record, 0, &fleet::file_status);
      break;
    case Op::kClose:
      rt::close(article_file, rt::kCloseNormal, &fleet::file_status);
      break;
  }
  const std::string_view status(fleet::file_status_storage, 2);
  FUZZ_CHECK(status[0] >= '0' && status[0] <= '9' && status[1] >= '0' && status[1] <= '9');
  const size_t listed = kStatuses[static_cast<int>(op)].find(status);
  FUZZ_CHECK(listed != std::string_view::npos && listed % 3 == 0);
  FUZZ_CHECK(std::string_view(article_file->status, 2) == status);
  const bool failed = status[0] != '0';
  FUZZ_CHECK((rt::exception_code != 0) == failed);
  FUZZ_CHECK((rt::error_file == article_file) == failed);
  return status;
}

// An open that must leave a refused file as it was.
std::string_view open_file(Op op) {
  const std::string before = folder_state();
  const std::string_view status = run(op);
  if (status != "00") FUZZ_CHECK(folder_state() == before);
  return status;
}

// Reads to the end; true when the record was among those read, and sets failed when
// a read failed otherwise than at the end.
bool read_to_end(const std::string& record, bool* failed) {
  bool found = false;
  for (int reads = 0;; ++reads) {
    FUZZ_CHECK(reads <= 1 << 16);  // each read goes past the last key: it comes to an end
    std::memset(fleet::record_storage, 0xA5, sizeof fleet::record_storage);
    const std::string_view status = run(Op::kRead);
    if (status != "00") {
      FUZZ_CHECK(std::string(fleet::record_storage, sizeof fleet::record_storage) ==
                 std::string(sizeof fleet::record_storage, '\xA5'));
      *failed = *failed || status != "10";
      return found;
    }
    found = found || std::string_view(fleet::record_storage, sizeof fleet::record_storage) == record;
  }
}

void close_file() {
  const std::string_view status = run(Op::kClose);
  FUZZ_CHECK(article_file->open_mode == 0);
  if (status == "00") FUZZ_CHECK(only_the_file());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char name[] = "file_layer";  // the name on the layer's lines on standard error
  static char* argv[] = {name, nullptr};
  rt::init(1, argv);
  char pattern[] = "/tmp/fuzz-file_layer-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr);
  folder = pattern;
  path = folder + "/articles";
  setenv("fichier", path.c_str(), 1);
  std::atexit(remove_folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  remove_folder();
  std::filesystem::create_directory(folder);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
  }
  fleet::declare_article_file("ARTICLES");

  // autolog2's way: open for input, read every record, close.
  if (open_file(Op::kOpenInput) == "00") {
    bool failed = false;
    read_to_end("", &failed);
    close_file();
  } else {
    FUZZ_CHECK(run(Op::kRead) == "47");
    FUZZ_CHECK(run(Op::kClose) == "42");
  }

  // autolog's way: open for input-output, write one record, close.
  std::memcpy(fleet::record_storage, kRecord.data(), kRecord.size());
  if (open_file(Op::kOpenInputOutput) != "00") {
    FUZZ_CHECK(run(Op::kWrite) == "48");
    return 0;
  }
  const std::string_view written = run(Op::kWrite);
  const bool stored = written == "00" || written == "02";
  close_file();

  // A record stored is in the file, as it was written, unless the file fails.
  if (stored) {
    const std::string_view reopened = open_file(Op::kOpenInput);
    FUZZ_CHECK(reopened == "00" || reopened == "30");
    if (reopened == "00") {
      bool failed = false;
      const bool found = read_to_end(kRecord, &failed);
      close_file();
      FUZZ_CHECK(found || failed || !intact(path));
    }
  }
  return 0;
}
