// The statuses' texts, hexadecimal text, and the shape as text.
#include "storage/storage.h"

#include <utility>

namespace storage {

const char* meaning(FileStatus status) {
  switch (status) {
    case FileStatus::kOk:
      return "done";
    case FileStatus::kDuplicateAlternateKey:
      return "done, alternate key already held";
    case FileStatus::kAtEnd:
      return "no next record";
    case FileStatus::kDuplicateKey:
      return "a record with this key is already in the file";
    case FileStatus::kNoSuchKey:
      return "no record with this key";
    case FileStatus::kFailed:
      return "failed";
    case FileStatus::kNotFound:
      return "no such file";
    case FileStatus::kDenied:
      return "permission denied";
    case FileStatus::kWrongShape:
      return "not a file of this record length and key table";
    case FileStatus::kAlreadyOpen:
      return "the file is already open";
    case FileStatus::kNotOpen:
      return "the file is not open";
    case FileStatus::kNotOpenForInput:
      return "the file is not open for input";
    case FileStatus::kNotOpenForOutput:
      return "the file is not open for output";
  }
  return "failed";
}

void append_hexadecimal(std::string& text, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
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

}  // namespace storage
