// Choice of a storage by name, and the shape as text.
#include "runtime/storage.h"

#include "runtime/postgres_storage.h"
#include "runtime/sqlite_storage.h"

namespace rt {

std::string describe(const FileShape& shape) {
  std::string text = std::to_string(shape.record_length);
  for (const KeyShape& key : shape.keys) {
    text += ' ' + std::to_string(key.offset) + '+' + std::to_string(key.length);
    if (key.duplicates) text += 'd';
  }
  return text;
}

Opened open_storage(const StorageRequest& request) {
  return is_postgres_uri(request.name) ? open_postgres(request) : open_sqlite(request);
}

std::string shown_name(std::string_view name) { return without_password(name); }

}  // namespace rt
