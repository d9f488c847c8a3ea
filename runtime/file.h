// Indexed file layer: the file declaration a program builds at its first-call
// initialisation, and the operations open, write, read and close on it. Each
// operation stores its two-character status into the declaration's own status area
// and into the program's status field, and sets exception_code (and error_file) when
// it failed; the program then performs its file error path. The records themselves
// are kept by a storage (storage.h) chosen by the name the assignment maps to.
//
// One operation, in its three steps:
//
//   rt::exception_code = 0;
//   rt::open(file, rt::kOpenInputOutput, 1, &file_status);
//   if (rt::exception_code != 0) program.perform(kFileErrorPath, file_error_path);
//
// where file_error_path() calls rt::file_error_path(program, kFileErrorPath).
#pragma once

#include <cstdint>
#include <string>

#include "runtime/field.h"
#include "runtime/frame.h"
#include "storage/storage.h"

namespace rt {

using storage::FileStatus;

// Organisation and access codes of a declaration.
inline constexpr uint8_t kIndexed = 3;
inline constexpr uint8_t kSequentialAccess = 1;

// Open modes.
inline constexpr int kOpenInput = 1;
inline constexpr int kOpenInputOutput = 3;

// Read and close options.
inline constexpr int kReadNext = 1;
inline constexpr int kCloseNormal = 0;

// Key flags.
inline constexpr int kNoDuplicates = 0;
inline constexpr int kDuplicates = 1;

// One entry of a file's key table: the key field, its flag and its offset in the record.
struct KeyEntry {
  Field field;
  int flag;
  uint32_t offset;
};

// A file as a program declares it. The program obtains the storage of the declaration
// and of its key table once, from rt::malloc, and sets their contents at every
// first-call initialisation.
struct FileDeclaration {
  const char* declared_name;
  Item assignment;  // the file's name, mapped through the environment at each open
  // kIndexed; kept: part of the declaration's fixed layout; nothing reads it.
  uint8_t organisation;
  // kSequentialAccess; kept: part of the declaration's fixed layout; nothing reads it.
  uint8_t access;
  Field record;  // the record area, as an alphanumeric field
  // The same bytes as the record's group; kept: part of the declaration's fixed
  // layout; nothing reads it.
  Field record_group;
  uint32_t record_min;
  uint32_t record_max;
  uint32_t key_count;
  KeyEntry* keys;  // key_count entries; the first is the primary key
  // 0; kept: part of the declaration's fixed layout; nothing reads it.
  uint8_t optional;
  uint8_t has_status;  // 1 when the program has a status field for the file
  char status[2];      // the declaration's own status area
  // What one record is called in the lines on standard error ("article"): a masculine
  // noun, which those lines agree with. Null: "enregistrement".
  const char* record_noun = nullptr;

  // Kept by the file layer.
  int open_mode = 0;  // kOpenInput or kOpenInputOutput while open, 0 when closed
  storage::Storage* storage = nullptr;
};

// Non-zero after an operation that failed (its status, 10 and above); the program
// clears it before each operation.
extern int exception_code;
// The file whose operation failed last.
extern FileDeclaration* error_file;

// Opens the file (mode kOpenInput or kOpenInputOutput; sharing is not used: every open
// file can be used by other processes at once). An input-output open of a missing
// file creates it. Statuses: 00, 30, 35, 37, 39, 41. A failed open writes one line on
// standard error with the path (or the URI, without its password) and the reason.
void open(FileDeclaration* file, int mode, int sharing, const Field* status);

// Writes the record (record_max bytes) as a new record, committed before it returns.
// Statuses: 00, 02 (another record has the same alternate key), 22 (the primary key
// is taken: nothing stored), 30, 48 (the file is not open for input-output). A failed
// write writes one line on standard error with the record's key and the status, and
// the run then ends with status 1 (note_not_done); when standard error is a terminal,
// a stored record is said there too ("article « AB123CD » enregistré"), so that the
// clerk sees each one. Before the write, a file removed or replaced at its name is let
// go and the name opened again; a failure of that open is the write's status.
void write(FileDeclaration* file, const Field& record, int option, const Field* status);

// Reads the next record, in ascending byte order of the primary key, into the record
// area (only option kReadNext without key). Statuses: 00, 10 (no next record), 30,
// 47 (the file is not open). The record area is left as it was when the read fails.
// A read of an open file that fails other than at the end (a damaged file) writes one
// line on standard error, and the run then ends with status 1.
void read(FileDeclaration* file, const Field* key, const Field* status, int option);

// Closes the file. Statuses: 00, 30, 42 (the file is not open). status may be null
// (the close of a cancel). A close that fails on an open file is reported like a read.
void close(FileDeclaration* file, int option, const Field* status);

// Reports the error of error_file on standard error.
void default_error_handle();

// The file error path, performed under label after a failed operation: for a file
// without a status field, the default handling, then the run stops with status 1;
// otherwise it returns to the step after the failed operation. Reached without the
// perform made for it, it is a fatal error.
void file_error_path(const Program& program, int32_t label);

// The path an assignment names: "$NAME" is the value of the environment variable NAME,
// or NAME in the current folder when that is unset or empty; any other name is itself.
// Trailing spaces are not part of the name.
std::string file_name(Item assignment);

}  // namespace rt
