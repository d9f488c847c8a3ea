/* The floor of the changes of `fleet`: the same statements straight through SQLite, on
 * an article file in the layout the storage makes (table records, an index over the
 * bytes of each key), each change one transaction flushed at its commit (WAL,
 * synchronous FULL), with nothing to read, decide or write back.
 *
 *   change_floor archive SOURCE DEST   every record of SOURCE moved into the new file
 *                                      DEST, in one transaction over both
 *   change_floor delete PATH PLATE     the record of that plate removed
 *   change_floor replace PATH I        the record of the plate of article I replaced
 *                                      by article I with another week */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/articles.h"

static int fail(sqlite3* db, const char* what) {
  fprintf(stderr, "change_floor: %s: %s\n", what, db ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_close(db);
  return 1;
}

/* Runs one statement with a blob bound to ?1 and, when given, another to ?2. */
static int step_once(sqlite3* db, const char* sql, const void* one, int one_size, const void* two, int two_size) {
  sqlite3_stmt* statement = NULL;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, NULL) != SQLITE_OK) return 0;
  sqlite3_bind_blob(statement, 1, one, one_size, SQLITE_STATIC);
  if (two != NULL) sqlite3_bind_blob(statement, 2, two, two_size, SQLITE_STATIC);
  const int done = sqlite3_step(statement) == SQLITE_DONE;
  sqlite3_finalize(statement);
  return done;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: change_floor archive SOURCE DEST | delete PATH PLATE | replace PATH I\n");
    return 2;
  }
  sqlite3* db = NULL;
  /* An attached file is opened with the flags of the main one: the archive's is created. */
  const int flags = SQLITE_OPEN_READWRITE | (strcmp(argv[1], "archive") == 0 ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(argv[2], &db, flags, NULL) != SQLITE_OK) return fail(db, "open");
  if (sqlite3_exec(db, "PRAGMA synchronous = FULL", NULL, NULL, NULL) != SQLITE_OK) return fail(db, "synchronous");
  if (strcmp(argv[1], "archive") == 0) {
    sqlite3_stmt* attach = NULL;
    if (sqlite3_prepare_v2(db, "ATTACH ?1 AS dest", -1, &attach, NULL) != SQLITE_OK) return fail(db, "attach");
    sqlite3_bind_text(attach, 1, argv[3], -1, SQLITE_STATIC);
    const int attached = sqlite3_step(attach) == SQLITE_DONE;
    sqlite3_finalize(attach);
    if (!attached) return fail(db, "attach");
    /* The indexes are made after the rows, the quickest way for SQLite to fill them. */
    const char* move =
        "PRAGMA dest.journal_mode = WAL; PRAGMA dest.synchronous = FULL; BEGIN;"
        "CREATE TABLE dest.layout(record_length INTEGER NOT NULL, key_table TEXT NOT NULL);"
        "INSERT INTO dest.layout SELECT * FROM main.layout;"
        "CREATE TABLE dest.records(record BLOB NOT NULL);"
        "INSERT INTO dest.records SELECT record FROM main.records;"
        "CREATE UNIQUE INDEX dest.records_key0 ON records(substr(record, 1, 8));"
        "CREATE INDEX dest.records_key1 ON records(substr(record, 9, 2));"
        "CREATE INDEX dest.records_key2 ON records(substr(record, 19, 10));"
        "DELETE FROM main.records; COMMIT;";
    if (sqlite3_exec(db, move, NULL, NULL, NULL) != SQLITE_OK) return fail(db, "archive");
  } else if (strcmp(argv[1], "delete") == 0) {
    char plate[8];
    memset(plate, ' ', sizeof plate);
    memcpy(plate, argv[3], strlen(argv[3]) < sizeof plate ? strlen(argv[3]) : sizeof plate);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL) != SQLITE_OK ||
        !step_once(db, "DELETE FROM records WHERE substr(record, 1, 8) = ?1", plate, 8, NULL, 0) ||
        sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) != SQLITE_OK)
      return fail(db, "delete");
  } else if (strcmp(argv[1], "replace") == 0) {
    unsigned char record[kArticleRecordSize];
    article_record((unsigned)strtoul(argv[3], NULL, 10), record);
    memcpy(record + 8, "99", 2);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL) != SQLITE_OK ||
        !step_once(db, "UPDATE records SET record = ?2 WHERE substr(record, 1, 8) = ?1", record, 8, record,
                   kArticleRecordSize) ||
        sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) != SQLITE_OK)
      return fail(db, "replace");
  } else {
    return fail(db, "no such change");
  }
  return sqlite3_close(db) == SQLITE_OK ? 0 : fail(db, "close");
}
