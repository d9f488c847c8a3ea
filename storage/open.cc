// The choice of a storage by name.
#include "storage/open.h"

#include "storage/postgres/postgres_storage.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage {

Opened open_storage(const StorageRequest& request) {
  return is_postgres_uri(request.name) ? open_postgres(request) : open_sqlite(request);
}

}  // namespace storage
