// The steps of a backup that the archive takes too: a name checked free for a new
// file, and one state of a file copied whole into a new one.
#pragma once

#include <sqlite3.h>

#include <string>

#include "storage/storage.h"

namespace storage::sqlite {

// kOk unless destination is the name of a side file of a file that is there.
Result not_a_side_file(const std::string& destination);

// kOk when a copy may take the name destination: nothing is there, no side file of
// another file lies at it (SQLite would read the copy through it: another file's
// records), and it is not the name of a file's side file (SQLite would take the copy
// for that file's own, and remove or overwrite it).
Result destination_free(const std::string& destination);

// Copies the state that from's open read transaction holds to a new file at
// destination: made beside it under a temporary name, then_sql (when not empty) run on
// it, read back as a reader opens it and compared with that state, flushed, and only
// then linked at destination. kFailed with why not; nothing is left at destination.
Result copy_whole(sqlite3* from, const std::string& destination, const FileShape& shape,
                  const std::string& then_sql = {});

}  // namespace storage::sqlite
