// Choice of a storage by name, and the shape as text.
#include "runtime/storage.h"

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
  // Every name is a local path for now; another storage would be chosen here by the
  // form of the name.
  return open_sqlite(request);
}

}  // namespace rt
