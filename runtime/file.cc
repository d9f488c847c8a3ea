// File layer: open state, the rules of open modes, statuses, the reports of lost
// records on standard error, and the closing of open files at stop.
#include "runtime/file.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/charset.h"
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

// Text of the locale (a path, the storage's own words) as Latin-1, for report.
std::string from_locale(std::string_view text) {
  std::string latin1(text.size(), '\0');
  latin1.resize(rt::from_locale(text, latin1.data()));
  return latin1;
}

// What a status means, in the file layer's own words.
const char* french_meaning(FileStatus status) {
  switch (status) {
    case FileStatus::kOk:
      return "fait";
    case FileStatus::kDuplicateAlternateKey:
      return "fait, cl\xE9 secondaire d\xE9j\xE0 pr\xE9sente";
    case FileStatus::kAtEnd:
      return "fin du fichier";
    case FileStatus::kDuplicateKey:
      return "cl\xE9 d\xE9j\xE0 pr\xE9sente dans le fichier";
    case FileStatus::kNoSuchKey:
      return "cl\xE9 absente du fichier";
    case FileStatus::kNotFound:
      return "fichier introuvable";
    case FileStatus::kDenied:
      return "acc\xE8s refus\xE9";
    case FileStatus::kWrongShape:
      return "fichier d'une autre forme";
    case FileStatus::kAlreadyOpen:
      return "fichier d\xE9j\xE0 ouvert";
    case FileStatus::kNotOpen:
      return "fichier non ouvert";
    case FileStatus::kNotOpenForInput:
      return "fichier non ouvert en lecture";
    case FileStatus::kNotOpenForOutput:
      return "fichier non ouvert en \xE9"
             "criture";
    default:
      return "\xE9"
             "chec";
  }
}

// A storage's reason as Latin-1: it is UTF-8 text, whose bytes quoted from a name that
// are not UTF-8 stay as they are, whatever the locale.
std::string from_utf8(std::string_view text) {
  std::string latin1(text.size(), '\0');
  latin1.resize(rt::decode_utf8(text, latin1.data()));
  return latin1;
}

// A failure as the clerk reads it: its French meaning and status, then the file layer's
// own account of it (detail, Latin-1), or else the storage's reason when it says more
// than the status.
std::string account(const storage::Result& result, const std::string& detail = {}) {
  const auto digits = storage::status_digits(result.status);
  std::string text = std::string(french_meaning(result.status)) + " (statut " + std::string(digits.data(), 2);
  if (!detail.empty()) {
    text += " : " + detail;
  } else if (!result.reason.empty() && result.reason != meaning(result.status)) {
    text += " : " + from_utf8(result.reason);
  }
  return text + ")";
}

// One line on standard error, naming the program and the file.
void report(const FileDeclaration* file, const std::string& text) { rt::report({file->declared_name, " : ", text}); }

const char* noun_of(const FileDeclaration* file) {
  return file->record_noun != nullptr ? file->record_noun : "enregistrement";
}

// Whether standard error is a terminal, where the clerk is told of each stored record.
bool clerk_watching() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
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

// The key of a record for a report: the primary key's bytes, trailing spaces dropped,
// between French quotes.
std::string key_of(const FileDeclaration* file, const char* record) {
  std::string_view key;
  if (file->key_count != 0) key = {record + file->keys[0].offset, file->keys[0].field.size};
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  return "\xAB " + std::string(key) + " \xBB";
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
  std::string detail;  // the file layer's own account of a failure
  if (file->open_mode != 0) {
    opened.result = storage::failure(FileStatus::kAlreadyOpen);
  } else if (mode != kOpenInput && mode != kOpenInputOutput) {
    opened.result = storage::failure(FileStatus::kFailed);
    detail = "mode d'ouverture " + std::to_string(mode) + " inconnu";
  } else if (!shape_of(file, &keys)) {
    opened.result = storage::failure(FileStatus::kFailed);
    detail =
        "la longueur d'enregistrement et la table des cl\xE9s de la d\xE9"
        "claration ne vont pas ensemble";
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
    report(file,
           "impossible d'ouvrir \xAB " + from_locale(storage::shown_name(path)) + " \xBB : " + account(result, detail));
  }
  finish(file, result.status, status);
}

void write(FileDeclaration* file, const Field& record, int /*option*/, const Field* status) {
  storage::Result result;
  std::string detail;
  if (file->open_mode != kOpenInputOutput) {
    result = storage::failure(FileStatus::kNotOpenForOutput);
  } else if (record.size != record_length(file)) {
    result = storage::failure(FileStatus::kFailed);
    detail = "un enregistrement de " + std::to_string(record.size) + " octets";
  } else {
    result = file->storage->insert(record.storage);
  }
  const std::string key = record.size >= record_length(file) ? key_of(file, record.storage) : "";
  if (!result.ok()) {
    report(file, std::string(noun_of(file)) + " " + key + " non enregistr\xE9 : " + account(result, detail));
    note_not_done();
  } else if (clerk_watching()) {
    rt::report({noun_of(file), " ", key, " enregistr\xE9"});
  }
  finish(file, result.status, status);
}

void read(FileDeclaration* file, const Field* key, const Field* status, int option) {
  storage::Result result;
  std::string detail;
  if (file->open_mode == 0) {
    // The status of the failed open, shown by the program, already says it.
    result = storage::failure(FileStatus::kNotOpenForInput);
  } else if (key != nullptr || option != kReadNext) {
    result = storage::failure(FileStatus::kFailed);
    detail = "seule la lecture suivante, sans cl\xE9, est possible";
  } else {
    result = file->storage->read_next(file->record.storage);
  }
  if (!result.ok() && result.status != FileStatus::kAtEnd && result.status != FileStatus::kNotOpenForInput) {
    report(file, "lecture impossible : " + account(result, detail));
    note_not_done();
  }
  finish(file, result.status, status);
}

void close(FileDeclaration* file, int /*option*/, const Field* status) {
  if (file->open_mode == 0) return finish(file, FileStatus::kNotOpen, status);
  const storage::Result closed = file->storage->close();
  const FileStatus result = closed.status;
  if (!closed.ok()) {  // what was stored may not be final
    report(file, "fermeture impossible : " + account(closed));
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
  report(error_file, "erreur de fichier : " + account(storage::failure(status)));
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
