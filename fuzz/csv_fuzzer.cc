// Fuzz target: the CSV of the article exchange, as fleet import reads it and fleet
// export writes it. The first byte chooses the separator (bit 0: ';') and whether the
// heading row goes before the rest (bit 1); the rest is the input. Three checks:
// - read by csv::Reader: no row holds more than kRowMost bytes of fields, a row too
//   long holds none, line numbers only grow, every byte is read and the end stays the
//   end;
// - its bytes cut into rows (at 0x01) and fields (at NUL), written with the export's
//   quoting and read back: the same fields, a row of more than kRowMost bytes refused
//   and a row of one empty field (a blank line) skipped;
// - imported into a new article file: status 0 exactly when nothing was said, each
//   thing said one line; behind the heading, rows stored and rows refused (one line
//   each) make up every row read, and every stored record reads back as an article.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.h"
#include "operations/context.h"
#include "operations/csv.h"
#include "storage/open.h"

namespace {

using fleet::csv::Reader;

std::string folder;

// The rows the reader finds in bytes, separated as given; rows too long as one
// field "(too long)".
std::vector<std::vector<std::string>> read_rows(std::string_view bytes, char separator, bool* whole) {
  std::FILE* in = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
  FUZZ_CHECK(in != nullptr || bytes.empty());
  std::vector<std::vector<std::string>> rows;
  *whole = true;
  if (in == nullptr) return rows;
  Reader reader(in);
  std::vector<std::string> fields;
  size_t line = 0;
  size_t last_line = 0;
  for (;;) {
    const Reader::Got got = reader.next(separator, &fields, &line);
    FUZZ_CHECK(got != Reader::Got::kFailed);
    if (got == Reader::Got::kEnd) break;
    FUZZ_CHECK(line > last_line);
    last_line = line;
    size_t held = 0;
    for (const std::string& field : fields) held += field.size();
    FUZZ_CHECK(held <= fleet::csv::kRowMost);
    if (got == Reader::Got::kTooLong) {
      FUZZ_CHECK(fields.empty());
      rows.push_back({"(too long)"});
    } else if (got == Reader::Got::kBadRow) {
      *whole = false;
      rows.push_back({"(bad)"});
    } else {
      FUZZ_CHECK(!fields.empty());
      rows.push_back(fields);
    }
  }
  const bool bom = bytes.starts_with("\xEF\xBB\xBF");
  FUZZ_CHECK(reader.consumed() == bytes.size() - (bom ? 3 : 0));
  FUZZ_CHECK(reader.next(separator, &fields, &line) == Reader::Got::kEnd);
  std::fclose(in);
  return rows;
}

void round_trip(std::string_view input, char separator) {
  std::vector<std::vector<std::string>> rows(1);
  rows.back().emplace_back();
  for (const char c : input) {
    if (c == '\x01') {
      rows.emplace_back(1);
    } else if (c == '\0') {
      rows.back().emplace_back();
    } else {
      rows.back().back() += c;
    }
  }
  std::string csv = fleet::csv::heading(separator) + "\r\n";
  std::vector<std::vector<std::string>> expected;
  for (const std::vector<std::string>& row : rows) {
    std::string written;
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) written += separator;
      fleet::csv::append_field(written, row[i], separator);
    }
    written += "\r\n";
    csv += written;
    if (written.size() > fleet::csv::kRowMost) {
      expected.push_back({"(too long)"});
    } else if (row.size() > 1 || !row.front().empty()) {
      expected.push_back(row);
    }
  }
  bool whole = false;
  std::vector<std::vector<std::string>> read = read_rows(csv, separator, &whole);
  FUZZ_CHECK(whole);
  FUZZ_CHECK(!read.empty());
  read.erase(read.begin());  // the heading
  FUZZ_CHECK(read == expected);
}

// What import says on standard error, and its status.
std::string import(const std::string& input, int* status) {
  const std::string source = folder + "/input.csv";
  std::FILE* file = std::fopen(source.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(input.data(), 1, input.size(), file) == input.size());
  FUZZ_CHECK(std::fclose(file) == 0);
  fleet::Context context;
  context.file = folder + "/articles";
  const int said = memfd_create("said", 0);
  const int saved = dup(STDERR_FILENO);
  FUZZ_CHECK(said >= 0 && saved >= 0 && dup2(said, STDERR_FILENO) == STDERR_FILENO);
  *status = fleet::import_articles(context, source, false);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text(static_cast<size_t>(lseek(said, 0, SEEK_END)), '\0');
  FUZZ_CHECK(pread(said, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
  close(said);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // tmpfs where there is one: the article file is made and flushed at every input.
  std::string pattern = (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm")
                                                             : std::filesystem::temp_directory_path().string()) +
                        "/fuzz-csv-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  folder = pattern;
  std::atexit([] { std::filesystem::remove_all(folder); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char separator = (data[0] & 1) != 0 ? ';' : ',';
  const bool headed = (data[0] & 2) != 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool whole = false;
  read_rows(rest, separator, &whole);
  round_trip(rest, separator);

  const std::string input = headed ? fleet::csv::heading(separator) + "\r\n" + std::string(rest) : std::string(rest);
  int status = -1;
  std::string said = import(input, &status);
  // A run that opened the file ends with its count: taken off, its articles checked below.
  std::string count;
  if (const size_t end = said.size() < 2 ? std::string::npos : said.rfind('\n', said.size() - 2);
      said.find(" enregistr", end == std::string::npos ? 0 : end) != std::string::npos) {
    const size_t start = end == std::string::npos ? 0 : end + 1;
    count = said.substr(start);
    said.erase(start);
    FUZZ_CHECK(count.compare(0, 8, "fleet : ") == 0);
  }
  FUZZ_CHECK(status == (said.empty() ? fleet::kDone : fleet::kNotDone));
  size_t lines = 0;
  for (size_t at = 0; at < said.size(); at = said.find('\n', at) + 1) {
    FUZZ_CHECK(said.compare(at, 8, "fleet : ") == 0);
    FUZZ_CHECK(said.find('\n', at) != std::string::npos);
    ++lines;
  }
  size_t stored = 0;
  storage::Opened opened = storage::open_storage(
      {folder + "/articles", "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInput, "fuzz"});
  if (opened.result.ok()) {
    fleet::Article article;
    std::string field;
    FUZZ_CHECK(opened.storage
                   ->scan([&](std::string_view record) {
                     FUZZ_CHECK(fleet::decode(record, &article, &field));
                     ++stored;
                     return true;
                   })
                   .ok());
    opened.storage.reset();
  }
  if (!count.empty()) FUZZ_CHECK(std::stoul(count.substr(8)) == stored);
  if (headed) {
    const std::vector<std::vector<std::string>> rows = read_rows(input, separator, &whole);
    FUZZ_CHECK(stored + lines == rows.size() - 1);
  }
  for (const char* name : {"/articles", "/articles-wal", "/articles-shm", "/input.csv"}) {
    std::filesystem::remove(folder + name);
  }
  return 0;
}
