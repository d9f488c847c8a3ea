// The floor of `fleet import`: the same records, in the same order and the same
// transactions, inserted straight through SQLite into a new article file, with no CSV
// to read and no status to decide. The empty file is made by the storage, so that it
// has the layout fleet writes into.
//
//   fleet_import_floor PATH COUNT BATCH
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "fleet/record.h"
#include "storage/open.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: fleet_import_floor PATH COUNT BATCH\n");
    return 2;
  }
  const unsigned count = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const size_t batch = std::strtoul(argv[3], nullptr, 10);
  std::vector<std::string> records;
  unsigned char record[kArticleRecordSize];
  for (unsigned i = 0; i < count; ++i) {
    article_record(i, record);
    records.emplace_back(reinterpret_cast<const char*>(record), kArticleRecordSize);
  }
  std::sort(records.begin(), records.end());  // the export's order: by plate

  {
    storage::Opened made = storage::open_storage(
        {argv[1], "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInputOutput, "fleet_import_floor"});
    if (!made.result.ok()) {
      std::fprintf(stderr, "fleet_import_floor: %s\n", made.result.reason.c_str());
      return 1;
    }
  }
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  bool done = sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, "PRAGMA synchronous = FULL; PRAGMA wal_autocheckpoint = 8192;", nullptr, nullptr,
                           nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "INSERT INTO records(record) VALUES(?1)", -1, &insert, nullptr) == SQLITE_OK;
  for (size_t first = 0; done && first < records.size(); first += batch) {
    done = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (size_t i = first; done && i < std::min(records.size(), first + batch); ++i) {
      sqlite3_bind_blob(insert, 1, records[i].data(), kArticleRecordSize, SQLITE_STATIC);
      done = sqlite3_step(insert) == SQLITE_DONE;
      sqlite3_reset(insert);
    }
    done = done && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  if (!done) std::fprintf(stderr, "fleet_import_floor: %s\n", db != nullptr ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return done ? 0 : 1;
}
