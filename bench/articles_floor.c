/* The floor of the article-file benchmarks: a bare C program that adds articles
 * first .. first + count - 1 to an SQLite file, the way autolog's file layer must,
 * in the layout it uses: WAL journal with synchronous FULL (each commit flushed to the
 * disk) and a checkpoint every 8,192 pages, one transaction per article, the 88-byte
 * records as BLOBs in a table in the order they were written, a unique index on the
 * plate's bytes of the record and an index on the bytes of each alternate key (the
 * week number, and Monday's day entry).
 *
 *   articles_floor [--unflushed | --fill] PATH FIRST COUNT
 *
 * --unflushed commits with synchronous NORMAL, which does not flush at each commit:
 * what the flush costs. --fill adds them all in one transaction, to an article file
 * that autolog made (its table records) or to the floor's own: a large file made in
 * seconds rather than one flushed commit per article. */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/articles.h"

static int fail(sqlite3* db, const char* what) {
  fprintf(stderr, "articles_floor: %s: %s\n", what, db ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_close(db);
  return 1;
}

int main(int argc, char** argv) {
  const int unflushed = argc == 5 && strcmp(argv[1], "--unflushed") == 0;
  const int fill = argc == 5 && strcmp(argv[1], "--fill") == 0;
  if (argc != 4 && !unflushed && !fill) {
    fprintf(stderr, "usage: articles_floor [--unflushed | --fill] PATH FIRST COUNT\n");
    return 2;
  }
  argv += argc - 4;
  const unsigned first = (unsigned)strtoul(argv[2], NULL, 10);
  const unsigned count = (unsigned)strtoul(argv[3], NULL, 10);
  sqlite3* db = NULL;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL) != SQLITE_OK)
    return fail(db, "open");
  const char* setup =
      "PRAGMA journal_mode=WAL;"
      "PRAGMA wal_autocheckpoint=8192;"
      "CREATE TABLE IF NOT EXISTS articles(record BLOB NOT NULL);"
      "CREATE UNIQUE INDEX IF NOT EXISTS articles_plate ON articles(substr(record, 1, 8));"
      "CREATE INDEX IF NOT EXISTS articles_week ON articles(substr(record, 9, 2));"
      "CREATE INDEX IF NOT EXISTS articles_monday ON articles(substr(record, 19, 10));";
  const char* autologs = "SELECT 1 FROM sqlite_schema WHERE name = 'records'";
  sqlite3_stmt* made_by_autolog = NULL;
  if (sqlite3_prepare_v2(db, autologs, -1, &made_by_autolog, NULL) != SQLITE_OK) return fail(db, "schema");
  const int into_records = sqlite3_step(made_by_autolog) == SQLITE_ROW;
  sqlite3_finalize(made_by_autolog);
  if (!into_records && sqlite3_exec(db, setup, NULL, NULL, NULL) != SQLITE_OK) return fail(db, "schema");
  if (sqlite3_exec(db, unflushed ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL", NULL, NULL, NULL) !=
      SQLITE_OK)
    return fail(db, "synchronous");
  if (fill && sqlite3_exec(db, "BEGIN", NULL, NULL, NULL) != SQLITE_OK) return fail(db, "begin");
  sqlite3_stmt* insert = NULL;
  const char* insert_sql =
      into_records ? "INSERT INTO records(record) VALUES(?1)" : "INSERT INTO articles(record) VALUES(?1)";
  if (sqlite3_prepare_v2(db, insert_sql, -1, &insert, NULL) != SQLITE_OK) return fail(db, "prepare");
  unsigned char record[kArticleRecordSize];
  for (unsigned i = first; i < first + count; ++i) {
    article_record(i, record);
    sqlite3_bind_blob(insert, 1, record, kArticleRecordSize, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) return fail(db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (fill && sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) != SQLITE_OK) return fail(db, "commit");
  return sqlite3_close(db) == SQLITE_OK ? 0 : fail(db, "close");
}
