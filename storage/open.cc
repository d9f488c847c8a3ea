// The choice of a storage by name.
#include "storage/open.h"

#include "storage/postgres/postgres_storage.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage {

Opened open_storage(const StorageRequest& request) {
  Opened opened = is_postgres_uri(request.name) ? open_postgres(request) : open_sqlite(request);
  // A name taken for a path (a mistyped scheme) may come back inside a library's
  // message: the message never shows its password either.
  opened.result.reason = hide_secrets(opened.result.reason, request.name);
  return opened;
}

}  // namespace storage
