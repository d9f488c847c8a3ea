// The PostgreSQL storage of an indexed file, for files shared by programs on several
// machines: the file's name is a connection URI (postgresql://... or postgres://...,
// in the form libpq accepts), and the file is one table in the schema that the
// connection's search path selects, named after the file's declared name folded to
// lower case ("ARTICLES" and "articles" meet in the table articles).
//
// The table holds each record whole (bytea), the primary key's bytes as its primary
// key (bytea compares byte by byte, so records come back in ascending byte order of
// the key), one indexed column per alternate key, and a comment that records the
// record length and key table; both the comment and the columns are checked at every
// open, and so are its primary key on key0, its columns' NOT NULL and the alternate
// keys' indexes (a restore that skipped the constraints makes a table that would store
// a plate twice). Each insert is one statement, its own transaction, committed before
// it returns, run at serializable isolation, so that the 02 of a duplicate alternate
// key is decided against every record committed before it, however many programs
// insert at once.
//
// No operation waits longer than its window (30 s, as the local file's wait for a
// lock): the server cancels a lock wait after half of it and a statement after two
// thirds (lock_timeout and statement_timeout, unless the URI's options set them), and
// the client gives up on a server that stops answering altogether after five sixths,
// keeping the rest to look whether an insert it gave up went through. An insert whose connection is lost (a
// restart, an administrator, a fail-over to another host of the URI) connects again
// and tries again within its window; as the lost try may have committed, it first
// looks: the same record under that plate is 00, another one 22. A batch is decided
// so record by record, and the records not found are inserted again. Only a server
// away for the whole window, or a stalled one that cannot be stopped, gives 30.
//
// The client library is loaded with dlopen at the first open of such a name, so a
// program that only uses local files never loads it.
//
// Inside: libpq.h loads the client library, connection.h keeps a connection within
// its window, catalogue.h names, makes and checks the table, and postgres_storage.cc
// holds the records.
#pragma once

#include <string>
#include <string_view>

#include "storage/storage.h"

namespace storage {

// The client library opened at the first PostgreSQL open.
inline constexpr const char* kLibpqName = "libpq.so.5";

// How long one operation (an open, an insert with its retries, a read) may take in
// all before it fails with 30, in milliseconds.
inline constexpr int kPostgresWindowMs = 30000;

// How many times an insert is tried when the server refuses it for a conflict with
// concurrent inserts (serialization failure or deadlock).
inline constexpr int kPostgresInsertTries = 50;

// True when name is a PostgreSQL connection URI.
bool is_postgres_uri(std::string_view name);

// The table's comment: the mark of this layer and the shape ("indexed file 88 0+8 ...").
std::string postgres_table_comment(const FileShape& shape);

// Opens the table that request.declared_name names in the database that request.name
// designates; see open_storage for the statuses. Also: kFailed when library cannot be
// loaded, the server cannot be reached, or the database refuses for another reason;
// kDenied when it refuses the authentication or the use of the table. An input-output
// open of a missing table creates it, whole, in one transaction; programs creating it
// at once all end up with the one table. window_ms replaces kPostgresWindowMs (tests).
Opened open_postgres(const StorageRequest& request, const char* library = kLibpqName,
                     int window_ms = kPostgresWindowMs);

}  // namespace storage
