// The check of an open SQLite article file, for Storage::check.
#pragma once

#include <sqlite3.h>

#include "storage/storage.h"

namespace storage::sqlite {

// SQLite's own check of the file (its first problems), that its tables and indexes are
// exactly those a new file of shape has, and that every record has the record length.
// kOk when sound; kFailed with every problem found, or the failure that kept it from
// looking.
Result check_database(sqlite3* db, const FileShape& shape);

}  // namespace storage::sqlite
