/* The floor of the article-file benchmarks: a bare C program that adds articles
 * first .. first + count - 1 to an SQLite file, the way autolog's file layer must:
 * WAL journal with synchronous NORMAL, one transaction per article, the 88-byte
 * record as a BLOB, a unique index on the plate and an index on each alternate key
 * (the week number, and Monday's day entry).
 *
 *   articles_floor PATH FIRST COUNT */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench/articles.h"

static int fail(sqlite3* db, const char* what) {
  fprintf(stderr, "articles_floor: %s: %s\n", what, db ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_close(db);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: articles_floor PATH FIRST COUNT\n");
    return 2;
  }
  const unsigned first = (unsigned)strtoul(argv[2], NULL, 10);
  const unsigned count = (unsigned)strtoul(argv[3], NULL, 10);
  sqlite3* db = NULL;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL) != SQLITE_OK)
    return fail(db, "open");
  const char* setup =
      "PRAGMA journal_mode=WAL;"
      "PRAGMA synchronous=NORMAL;"
      "CREATE TABLE IF NOT EXISTS articles("
      "  plate BLOB NOT NULL PRIMARY KEY, week BLOB NOT NULL, monday BLOB NOT NULL,"
      "  record BLOB NOT NULL);"
      "CREATE INDEX IF NOT EXISTS articles_week ON articles(week);"
      "CREATE INDEX IF NOT EXISTS articles_monday ON articles(monday);";
  if (sqlite3_exec(db, setup, NULL, NULL, NULL) != SQLITE_OK) return fail(db, "schema");
  sqlite3_stmt* insert = NULL;
  if (sqlite3_prepare_v2(db, "INSERT INTO articles VALUES(?1, ?2, ?3, ?4)", -1, &insert, NULL) !=
      SQLITE_OK)
    return fail(db, "prepare");
  unsigned char record[kArticleRecordSize];
  for (unsigned i = first; i < first + count; ++i) {
    article_record(i, record);
    sqlite3_bind_blob(insert, 1, record, 8, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, record + 8, 2, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 3, record + 18, 10, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 4, record, kArticleRecordSize, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) return fail(db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  return sqlite3_close(db) == SQLITE_OK ? 0 : fail(db, "close");
}
