/* The floor of the PostgreSQL benchmark: a bare C program that adds articles
 * first .. first + count - 1 to the table articles through libpq, the way autolog's
 * PostgreSQL storage must: the same table (made the same way when it is missing), the
 * same INSERT ... RETURNING statement with its four byte parameters, at serializable
 * isolation, each article its own transaction, committed before the next one.
 *
 *   postgres_floor URI FIRST COUNT */
#include <libpq-fe.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench/articles.h"

static int fail(PGconn* conn, const char* what) {
  fprintf(stderr, "postgres_floor: %s: %s", what, PQerrorMessage(conn));
  PQfinish(conn);
  return 1;
}

static int run(PGconn* conn, const char* sql) {
  PGresult* result = PQexec(conn, sql);
  const ExecStatusType status = PQresultStatus(result);
  PQclear(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: postgres_floor URI FIRST COUNT\n");
    return 2;
  }
  const unsigned first = (unsigned)strtoul(argv[2], NULL, 10);
  const unsigned count = (unsigned)strtoul(argv[3], NULL, 10);
  PGconn* conn = PQconnectdb(argv[1]);
  if (PQstatus(conn) != CONNECTION_OK) return fail(conn, "connect");
  if (!run(conn, "SET default_transaction_isolation TO serializable")) return fail(conn, "set");
  PGresult* found = PQexec(conn, "SELECT to_regclass('\"articles\"')::text");
  const int exists = PQresultStatus(found) == PGRES_TUPLES_OK && !PQgetisnull(found, 0, 0);
  PQclear(found);
  if (!exists && !run(conn,
                      "CREATE TABLE \"articles\" (key0 bytea NOT NULL PRIMARY KEY, key1 bytea NOT NULL,"
                      " key2 bytea NOT NULL, record bytea NOT NULL);"
                      "CREATE INDEX ON \"articles\" (key1);CREATE INDEX ON \"articles\" (key2);"
                      "COMMENT ON TABLE \"articles\" IS 'indexed file 88 0+8 8+2d 18+10d';")) {
    return fail(conn, "create");
  }
  const char* insert =
      "INSERT INTO \"articles\" (key0, key1, key2, record) VALUES ($1, $2, $3, $4) RETURNING "
      "EXISTS (SELECT 1 FROM \"articles\" WHERE key1 = $2) OR EXISTS (SELECT 1 FROM \"articles\" WHERE key2 = $3)";
  unsigned char record[kArticleRecordSize];
  const char* values[4] = {(const char*)record, (const char*)record + 8, (const char*)record + 18, (const char*)record};
  const int lengths[4] = {8, 2, 10, kArticleRecordSize};
  const int binary[4] = {1, 1, 1, 1};
  for (unsigned i = first; i < first + count; ++i) {
    article_record(i, record);
    PGresult* result = PQexecParams(conn, insert, 4, NULL, values, lengths, binary, 0);
    const int stored = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    PQclear(result);
    if (!stored) return fail(conn, "insert");
  }
  PQfinish(conn);
  return 0;
}
