// The statuses' texts, the shape as text, and names shown without their passwords.
#include "storage/storage.h"

#include <algorithm>

namespace storage {

const char* meaning(FileStatus status) {
  switch (status) {
    case FileStatus::kOk: return "done";
    case FileStatus::kDuplicateAlternateKey: return "done, alternate key already held";
    case FileStatus::kAtEnd: return "no next record";
    case FileStatus::kDuplicateKey: return "a record with this key is already in the file";
    case FileStatus::kNoSuchKey: return "no record with this key";
    case FileStatus::kFailed: return "failed";
    case FileStatus::kNotFound: return "no such file";
    case FileStatus::kDenied: return "permission denied";
    case FileStatus::kWrongShape: return "not a file of this record length and key table";
    case FileStatus::kAlreadyOpen: return "the file is already open";
    case FileStatus::kNotOpen: return "the file is not open";
    case FileStatus::kNotOpenForInput: return "the file is not open for input";
    case FileStatus::kNotOpenForOutput: return "the file is not open for output";
  }
  return "failed";
}

Result failure(FileStatus status, std::string reason) {
  if (reason.empty()) reason = meaning(status);
  return {status, std::move(reason)};
}

std::string describe(const FileShape& shape) {
  std::string text = std::to_string(shape.record_length);
  for (const KeyShape& key : shape.keys) {
    text += ' ' + std::to_string(key.offset) + '+' + std::to_string(key.length);
    if (key.duplicates) text += 'd';
  }
  return text;
}

std::string shown_name(std::string_view name) {
  std::string shown(name);
  // user:password@ before the hosts of a URI.
  if (const size_t scheme = shown.find("://"); scheme != std::string::npos) {
    const size_t start = scheme + 3;
    const size_t end = std::min(shown.find_first_of("/?", start), shown.size());
    const size_t at = shown.rfind('@', end);
    if (at != std::string::npos && at >= start) {
      const size_t colon = shown.find(':', start);
      if (colon < at) shown.replace(colon + 1, at - colon - 1, "***");
    }
  }
  // password=... among a URI's parameters.
  const size_t query = shown.find('?');
  for (size_t at_param = query; at_param != std::string::npos; at_param = shown.find('&', at_param + 1)) {
    const size_t key = at_param + 1;
    if (shown.compare(key, 9, "password=") != 0) continue;
    const size_t value_end = std::min(shown.find('&', key), shown.size());
    shown.replace(key + 9, value_end - key - 9, "***");
  }
  return shown;
}

Result Storage::check() { return failure(FileStatus::kFailed, "this storage cannot check its files"); }

}  // namespace storage
