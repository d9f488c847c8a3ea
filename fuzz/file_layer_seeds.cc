// Makes the seeds of the file_layer fuzz target that are files of the layer's own
// format, through the file layer itself, so that they follow the format whenever the
// layer changes it (the build runs this again after every change of the layer):
//
//   file_layer_seeds FOLDER
//
// writes into FOLDER an empty article file, one with three articles, a copy of that
// one cut in the middle, and an SQLite database of another program.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fleet/article.h"
#include "runtime/file.h"

namespace {

bool failed = false;

void check(bool done, const std::string& what) {
  if (done) return;
  std::fprintf(stderr, "file_layer_seeds: %s\n", what.c_str());
  failed = true;
}

// An article file at path holding the given records.
void article_file(const std::string& path, std::initializer_list<std::string> records) {
  std::filesystem::remove(path);
  setenv("fichier", path.c_str(), 1);
  fleet::declare_article_file("ARTICLES");
  rt::open(fleet::article_file, rt::kOpenInputOutput, 1, &fleet::file_status);
  check(rt::exception_code == 0, "cannot create " + path);
  for (const std::string& record : records) {
    std::memcpy(fleet::record_storage, record.data(), fleet::kRecordLength);
    rt::exception_code = 0;
    rt::write(fleet::article_file, fleet::record, 0, &fleet::file_status);
    check(rt::exception_code == 0, "cannot write into " + path);
  }
  rt::exception_code = 0;
  rt::close(fleet::article_file, rt::kCloseNormal, &fleet::file_status);
  check(rt::exception_code == 0, "cannot close " + path);
}

// An article as autolog writes it: plate, week, eight zero bytes, seven days.
std::string article(std::string plate, const std::string& week, const std::string& day) {
  plate.resize(8, ' ');
  std::string record = plate + week + std::string(8, '\0');
  for (int d = 0; d < 7; ++d) record += day;
  return record;
}

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: file_layer_seeds FOLDER\n");
    return 2;
  }
  rt::init(argc, argv);
  const std::string folder = argv[1];
  std::filesystem::create_directories(folder);

  article_file(folder + "/article-empty", {});
  const std::string three = folder + "/article-three";
  article_file(three, {article("AB123CD", "07", "0250003540"), article("ZZ999ZZ", "07", "0007123456"),
                       article("MM", "12", "0250003540")});
  const std::string bytes = bytes_of(three);
  std::ofstream(folder + "/article-cut", std::ios::binary) << bytes.substr(0, bytes.size() / 2);

  const std::string other = folder + "/sqlite-other";
  std::filesystem::remove(other);
  sqlite3* db = nullptr;
  check(sqlite3_open(other.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db,
                         "CREATE TABLE cars(plate TEXT PRIMARY KEY, week INTEGER);"
                         "INSERT INTO cars VALUES('AB123CD', 7);",
                         nullptr, nullptr, nullptr) == SQLITE_OK,
        "cannot make " + other);
  sqlite3_close(db);
  return failed ? 1 : 0;
}
