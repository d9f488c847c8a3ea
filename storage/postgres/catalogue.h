// The table of a PostgreSQL file as the server's catalogue describes it: its name, the
// statements that make it, and the checks that it is a table of this layer of the
// file's shape. Such a table holds each record whole (bytea), the primary key's bytes
// as its primary key (bytea compares byte by byte, so records come back in ascending
// byte order of the key), one indexed column per alternate key, and a comment that
// records the record length and key table.
//
// A table that would lose, hide or double what is stored in it is not such a table,
// whatever its shape: an UNLOGGED or temporary one, one with triggers or rules of its
// own, with row-level security, partitioned, in an inheritance either way, or with a
// generated column (the reasons are beside kHazards in catalogue.cc).
#pragma once

#include <string>
#include <string_view>

#include "storage/postgres/connection.h"
#include "storage/storage.h"

namespace storage {

// The table of a declared name, as an identifier to put in a statement: the name
// folded to lower case, quoted.
std::string table_of(std::string_view declared_name);

// The column of key k: key0 for the primary key, key1... for the alternate keys.
std::string key_column(size_t k);

// The statements, one transaction, that make the empty table of this shape.
std::string table_definition(const std::string& table, const FileShape& shape);

// Looks the table up through the search path and checks its kind, comment, columns,
// keys, what would make it lose records, and the rights that an open (writes: for
// input-output) needs. found is false
// when there is no such table. kWrongShape when it is not a table of this shape;
// kDenied without the rights.
Result find_table(Connection& connection, const std::string& table, const FileShape& shape, bool writes, bool* found);

// The whole check of an open table, for Storage::check: what would make it lose
// records (which may have come since the open), NOT NULL columns, each key's index
// and the table's other constraints, and every record's length and keys. kOk when
// sound; kFailed with all that is wrong.
Result check_table(Connection& connection, const std::string& table, const FileShape& shape);

}  // namespace storage
