// The choice of a storage by the file's name: a PostgreSQL connection URI
// (postgresql://... or postgres://...) designates a table in that database; any other
// name is a local path, kept in an SQLite database.
#pragma once

#include "storage/storage.h"

namespace storage {

// Opens the storage that request.name designates. Statuses: kOk; kNotFound (input
// open of a missing file, nothing created); kDenied; kWrongShape (the file exists but
// is not a file of this layer, or has another record length or key table: it is left
// exactly as it was); kFailed otherwise.
Opened open_storage(const StorageRequest& request);

}  // namespace storage
