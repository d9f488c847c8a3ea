// Storage: where the records of an indexed file are kept. The file layer (file.h) keeps
// the open state, the rules of open modes and the statuses that follow from them; a
// storage only keeps whole records under their keys and answers with a file status.
//
// A storage is chosen by the name that a file's assignment maps to (open_storage): a
// PostgreSQL connection URI (postgresql://... or postgres://...) designates a table in
// that database (postgres_storage.h); any other name is a local path, kept in an SQLite
// database (sqlite_storage.h).
//
//   FileShape shape{88, keys};
//   Opened opened = open_storage({path, "ARTICLES", shape, StorageMode::kInputOutput});
//   if (opened.status != FileStatus::kOk) report(opened.reason);
//   opened.storage->insert(record);
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace rt {

// The two-character file statuses, by their value (35 is shown as "35").
enum class FileStatus : uint8_t {
  kOk = 0,
  kDuplicateAlternateKey = 2,  // written; another record has the same alternate key
  kAtEnd = 10,                 // no next record
  kDuplicateKey = 22,          // not written; the primary key (or a unique key) is taken
  kFailed = 30,                // any other failure: a folder, a missing parent folder, I/O
  kNotFound = 35,              // input open of a file that does not exist
  kDenied = 37,                // permission refused
  kWrongShape = 39,            // not a file of this layer, or another record length or key table
  kAlreadyOpen = 41,
  kNotOpen = 42,               // close of a file not open
  kNotOpenForInput = 47,
  kNotOpenForOutput = 48,
};

// True for the statuses after which the operation counts as done (00 and 02).
constexpr bool succeeded(FileStatus status) { return static_cast<uint8_t>(status) < 10; }

// One key: its bytes in the record, and whether two records may share it. The first
// key of a shape is the primary key.
struct KeyShape {
  uint32_t offset;
  uint32_t length;
  bool duplicates;

  friend bool operator==(const KeyShape&, const KeyShape&) = default;
};

// The record length and key table a file is created with and checked against.
struct FileShape {
  uint32_t record_length;
  std::span<const KeyShape> keys;
};

// The shape as text, the form kept in the file: "88 0+8 8+2d 18+10d" (offset+length,
// d when duplicates are allowed).
std::string describe(const FileShape& shape);

enum class StorageMode {
  kInput,        // read only; the file must exist
  kInputOutput,  // read and insert; a missing file is created empty
};

// The records of one open file.
class Storage {
 public:
  virtual ~Storage() = default;

  // Stores a new record of shape.record_length bytes, as its own transaction, committed
  // before it returns. kOk or kDuplicateAlternateKey when stored; kDuplicateKey when the
  // primary key (or a key without duplicates) is taken, and nothing is stored.
  virtual FileStatus insert(const char* record) = 0;

  // Copies into record the record that follows, in ascending byte order of the primary
  // key, the one this storage read last (the first record at the first call). kAtEnd
  // when there is none; record is left as it was on any status but kOk.
  virtual FileStatus read_next(char* record) = 0;

  // Ends the use of the file; the storage is deleted next. kOk, or kFailed when what
  // was stored could not be made final.
  virtual FileStatus close() = 0;

  // Why the last operation failed, for a message; empty after a success.
  virtual std::string reason() const = 0;
};

struct StorageRequest {
  std::string_view name;           // what the file's assignment maps to: a path or a URI
  std::string_view declared_name;  // the file's declared name in the program
  FileShape shape;
  StorageMode mode;
};

struct Opened {
  FileStatus status = FileStatus::kFailed;
  std::unique_ptr<Storage> storage;  // set when status is kOk
  std::string reason;                // why the open failed
};

// Opens the storage that request.name designates. Statuses: kOk; kNotFound (input
// open of a missing file, nothing created); kDenied; kWrongShape (the file exists but
// is not a file of this layer, or has another record length or key table: it is left
// exactly as it was); kFailed otherwise.
Opened open_storage(const StorageRequest& request);

// The name as messages show it: a URI without its password.
std::string shown_name(std::string_view name);

}  // namespace rt
