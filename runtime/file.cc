// File layer: open state, the rules of open modes, statuses, the reports of lost
// records on standard error, and the closing of open files at stop.
#include "runtime/file.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/open.h"

namespace rt {

int exception_code = 0;
FileDeclaration* error_file = nullptr;

namespace {

using storage::KeyShape;
using storage::meaning;
using storage::succeeded;

std::vector<FileDeclaration*>& open_files() {
  static std::vector<FileDeclaration*> files;
  return files;
}

// Text for one line of standard error: control bytes shown as \xHH.
std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

// One line on standard error, naming the program and the file.
void report(const FileDeclaration* file, const std::string& text, FileStatus status) {
  const std::array<char, 2> code = storage::status_digits(status);
  rt::report({file->declared_name, ": ", text, " (status ", std::string_view(code.data(), code.size()), ")"});
}

// Stores the status of an operation in the declaration's status area and in the
// program's status field, and marks a failure for the program's error path.
void finish(FileDeclaration* file, FileStatus status, const Field* status_field) {
  const std::array<char, 2> digits = storage::status_digits(status);
  std::memcpy(file->status, digits.data(), digits.size());
  if (status_field != nullptr) std::memcpy(status_field->storage, file->status, 2);
  if (!succeeded(status)) {
    exception_code = static_cast<int>(status);
    error_file = file;
  }
}

void close_open_files() {
  while (!open_files().empty()) close(open_files().back(), kCloseNormal, nullptr);
}

uint32_t record_length(const FileDeclaration* file) { return file->record_max; }

// The key of a record for a report: the primary key's bytes, trailing spaces dropped.
std::string key_of(const FileDeclaration* file, const char* record) {
  if (file->key_count == 0) return "";
  std::string_view key(record + file->keys[0].offset, file->keys[0].field.size);
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  return printable(key);
}

// The record length and key table of a declaration; false when they do not fit.
bool shape_of(const FileDeclaration* file, std::vector<KeyShape>* keys) {
  const uint32_t length = record_length(file);
  if (file->record_min != length || file->record.size != length || file->key_count == 0) return false;
  for (uint32_t k = 0; k < file->key_count; ++k) {
    const KeyEntry& entry = file->keys[k];
    if (entry.field.size == 0 || entry.offset > length || entry.field.size > length - entry.offset) {
      return false;
    }
    keys->push_back({entry.offset, entry.field.size, entry.flag == kDuplicates});
  }
  return !(*keys)[0].duplicates;
}

}  // namespace

std::string file_name(Item assignment) {
  std::string_view name(assignment.storage, assignment.size);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  const bool mapped = current_module == nullptr || current_module->map_file_names != 0;
  if (mapped && !name.empty() && name.front() == '$') {
    name.remove_prefix(1);
    const char* value = std::getenv(std::string(name).c_str());
    if (value != nullptr && value[0] != '\0') return value;
  }
  return std::string(name);
}

void open(FileDeclaration* file, int mode, int /*sharing*/, const Field* status) {
  const std::string path = file_name(file->assignment);
  std::vector<KeyShape> keys;
  storage::Opened opened;
  if (file->open_mode != 0) {
    opened.result = storage::failure(FileStatus::kAlreadyOpen);
  } else if (mode != kOpenInput && mode != kOpenInputOutput) {
    opened.result = storage::failure(FileStatus::kFailed, "open mode " + std::to_string(mode) + " not supported");
  } else if (!shape_of(file, &keys)) {
    opened.result = storage::failure(FileStatus::kFailed, "the declaration's record length and key table do not fit");
  } else {
    opened = storage::open_storage(
        {path, file->declared_name, storage::FileShape{record_length(file), keys},
         mode == kOpenInput ? storage::StorageMode::kInput : storage::StorageMode::kInputOutput, program_name()});
  }
  const storage::Result& result = opened.result;
  if (result.ok()) {
    file->storage = opened.storage.release();
    file->open_mode = mode;
    open_files().push_back(file);
    at_stop(close_open_files);
  } else {
    report(file, "cannot open " + printable(storage::shown_name(path)) + ": " + printable(result.reason),
           result.status);
  }
  finish(file, result.status, status);
}

void write(FileDeclaration* file, const Field& record, int /*option*/, const Field* status) {
  storage::Result result;
  if (file->open_mode != kOpenInputOutput) {
    result = storage::failure(FileStatus::kNotOpenForOutput);
  } else if (record.size != record_length(file)) {
    result = storage::failure(FileStatus::kFailed, "a record of " + std::to_string(record.size) + " bytes");
  } else {
    result = file->storage->insert(record.storage);
  }
  if (!result.ok()) {
    const std::string key = record.size >= record_length(file) ? key_of(file, record.storage) : "";
    report(file, "record \"" + key + "\" not written: " + printable(result.reason), result.status);
    note_not_done();
  }
  finish(file, result.status, status);
}

void read(FileDeclaration* file, const Field* key, const Field* status, int option) {
  storage::Result result;
  if (file->open_mode == 0) {
    // The status of the failed open, shown by the program, already says it.
    result = storage::failure(FileStatus::kNotOpenForInput);
  } else if (key != nullptr || option != kReadNext) {
    result = storage::failure(FileStatus::kFailed, "only sequential reads are kept up");
  } else {
    result = file->storage->read_next(file->record.storage);
  }
  if (!result.ok() && result.status != FileStatus::kAtEnd && result.status != FileStatus::kNotOpenForInput) {
    report(file, "cannot read the next record: " + printable(result.reason), result.status);
    note_not_done();
  }
  finish(file, result.status, status);
}

void close(FileDeclaration* file, int /*option*/, const Field* status) {
  if (file->open_mode == 0) return finish(file, FileStatus::kNotOpen, status);
  const storage::Result closed = file->storage->close();
  const FileStatus result = closed.status;
  if (!closed.ok()) {  // what was stored may not be final
    report(file, "cannot close: " + printable(closed.reason), result);
    note_not_done();
  }
  delete file->storage;
  file->storage = nullptr;
  file->open_mode = 0;
  std::erase(open_files(), file);
  finish(file, result, status);
}

void default_error_handle() {
  if (error_file == nullptr) return;
  const FileStatus status = static_cast<FileStatus>((error_file->status[0] - '0') * 10 + (error_file->status[1] - '0'));
  report(error_file, std::string("file error: ") + meaning(status), status);
}

void file_error_path(const Program& program, int32_t label) {
  if (error_file != nullptr && error_file->has_status == 0) {
    default_error_handle();
    stop_run(1);
  }
  const PerformStack* stack = program.stack();
  if (stack == nullptr || stack->label_at(stack->index()) != label) fatal_error(kNoErrorPerform);
}

}  // namespace rt
