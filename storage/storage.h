// Storage: where the records of an indexed file are kept. A storage keeps whole records
// under their keys and answers each operation with a Result: a file status and, when
// the operation failed, the reason for a message. It knows nothing of programs, fields
// or open modes' rules; what it needs (the file's name, shape, the client's name) comes
// in the StorageRequest.
//
// A storage is chosen by the name of the file (open_storage, in open.h): a PostgreSQL
// connection URI designates a table in that database (postgres/), any other name is a
// local path, kept in an SQLite database (sqlite/).
//
//   FileShape shape{88, keys};
//   Opened opened = open_storage({path, "ARTICLES", shape, StorageMode::kInputOutput, "autolog"});
//   if (!opened.result.ok()) report(opened.result.reason);
//   Result stored = opened.storage->insert(record);
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace storage {

// The two-character file statuses, by their value (35 is shown as "35").
enum class FileStatus : uint8_t {
  kOk = 0,
  kDuplicateAlternateKey = 2,  // written; another record has the same alternate key
  kAtEnd = 10,                 // no next record
  kDuplicateKey = 22,          // not written; the primary key (or a unique key) is taken
  kNoSuchKey = 23,             // no record has this key
  kFailed = 30,                // any other failure: a folder, a missing parent folder, I/O
  kNotFound = 35,              // input open of a file that does not exist
  kDenied = 37,                // permission refused
  kWrongShape = 39,            // not a file of this layer, or another record length or key table
  kAlreadyOpen = 41,
  kNotOpen = 42,  // close of a file not open
  kNotOpenForInput = 47,
  kNotOpenForOutput = 48,
};

// True for the statuses after which the operation counts as done (00 and 02).
constexpr bool succeeded(FileStatus status) { return static_cast<uint8_t>(status) < 10; }

// What a status means, in a few French words: the reason of a failure that knows no
// better one.
const char* meaning(FileStatus status);

// The status as its two digits, the form programs store and messages show ("35").
constexpr std::array<char, 2> status_digits(FileStatus status) {
  const auto value = static_cast<unsigned>(status);
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

// Appends bytes as hexadecimal text, two lower-case digits a byte ("4142" for "AB").
void append_hexadecimal(std::string& text, std::string_view bytes);

// The outcome of an operation: its status and, when it failed, why. A reason is UTF-8
// text, in French: the back end's own words, or those of a table for the system's or a
// library's codes (reasons.h); only a code no table knows keeps the library's text.
// What it quotes of a name or of a file (a path, a table's name) is the bytes as they
// came, so whoever shows a reason shows it harmlessly, in the set people read: fleet
// through charset::harmless, the runtime converted to Latin-1 with charset::decode_utf8.
struct Result {
  FileStatus status = FileStatus::kOk;
  std::string reason;  // empty after a success; the status's meaning when nothing better is known

  bool ok() const { return succeeded(status); }
};

// A failed Result; an empty reason becomes the status's meaning.
Result failure(FileStatus status, std::string reason = {});

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
  virtual Result insert(const char* record) = 0;

  // Stores each record as insert would, in one transaction committed before it returns:
  // (*statuses)[i] is the status of records[i], and a refused record (kDuplicateKey)
  // does not undo the others. When the Result is not ok, none of them is stored, unless
  // its reason says that whether they were is not known (a commit cut off with its
  // connection, as an insert's).
  virtual Result insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) = 0;

  // Removes the record whose primary key is key (the key's length of bytes), as its own
  // transaction, committed before it returns, and copies it into *erased (when not
  // null). kOk; kNoSuchKey when no record has this key, and nothing changes.
  virtual Result erase(const char* key, std::string* erased) = 0;

  // Stores each record in place of the stored record with the same primary key, or
  // adds it when none is stored, all in one transaction committed before it returns;
  // of records with one primary key, the last is stored. (*replaced)[i] is the record
  // that records[i] took the place of, empty when it was added. kOk (the 02 of an
  // alternate key that another record holds is not told apart); kDuplicateKey when a
  // record would take a key without duplicates, other than the primary key, that
  // another record holds: then none of them is stored.
  virtual Result replace_batch(std::span<const char* const> records, std::vector<std::string>* replaced) = 0;

  // replace_batch of one record: *replaced (when not null) is the record it took the
  // place of, empty when it was added.
  Result replace(const char* record, std::string* replaced) {
    std::vector<std::string> previous;
    Result result = replace_batch(std::span<const char* const>(&record, 1), &previous);
    if (replaced != nullptr) *replaced = result.ok() ? std::move(previous.front()) : std::string();
    return result;
  }

  // Copies into record the record that follows, in ascending byte order of the primary
  // key, the one this storage read last (the first record at the first call). kAtEnd
  // when there is none; record is left as it was on any status but kOk.
  virtual Result read_next(char* record) = 0;

  // Copies into record the record whose primary key is key (the key's length of bytes).
  // kNoSuchKey when there is none; record is left as it was on any status but kOk.
  virtual Result read_key(const char* key, char* record) = 0;

  // Hands every record to each, in ascending byte order of the primary key, in one pass
  // over the file; stops early, with kOk, when each returns false.
  virtual Result scan(const std::function<bool(std::string_view record)>& each) = 0;

  // A mark of what the file holds now, for a reader that keeps what it computed from
  // it: it differs from every mark this storage gave before whenever anything was
  // stored in the file since, by any process. It may differ without a change (on
  // PostgreSQL a write to any table of the database changes it). kOk; kFailed when
  // the name no longer names the file this storage has open.
  virtual Result version(std::string* mark) = 0;

  // Ends the use of the file; the storage is deleted next. kOk, or kFailed when what
  // was stored could not be made final.
  virtual Result close() = 0;

  // Checks the whole file: the back end's own check of what it keeps, that its tables,
  // indexes and constraints are those of the file's shape, and that each record has the
  // record length (and, where keys are kept apart, its own keys). kOk when sound;
  // kFailed with what is wrong, or the status of the failure that kept it from looking.
  virtual Result check() = 0;

  // Copies the whole file, one consistent state of it taken while others go on writing,
  // to destination, a name that must not exist yet (nor anything a file there would keep
  // beside it): the copy appears there only once whole. kOk; kFailed with why not (a
  // back end that keeps its records where a copy is made by other means says so).
  virtual Result backup(std::string_view destination) = 0;

  // Moves every record into a new file at destination, a name of this back end that
  // must not exist yet (nor anything a file there would keep beside it): each record
  // stored when the move began ends there and no longer here; each stored later stays
  // here, and none is in both once it returns kOk. *moved is how many records the
  // destination holds. Cut off at any point (the process killed, a power loss), the
  // move loses no record, and the same move run again finishes it, or says why not.
  // kOk; kFailed with why not.
  virtual Result archive(std::string_view destination, uint64_t* moved) = 0;
};

struct StorageRequest {
  std::string_view name;           // the file's name: a path or a URI
  std::string_view declared_name;  // the file's declared name in the program
  FileShape shape;
  StorageMode mode;
  std::string_view client;  // the program's name, for the server's list of its clients
};

struct Opened {
  Result result;                     // kOk, or why the open failed
  std::unique_ptr<Storage> storage;  // set when result is ok
};

// The name as messages show it: any password it holds replaced by "***": the password
// of user:password@ after any scheme (whatever its case or spelling, and whether or
// not its / ? @ # are percent-encoded), and the value of password=... or
// sslpassword=... in a keyword list ("host=... password=...") or a URI's parameters.
std::string shown_name(std::string_view name);

// A message about the file named name, with whatever it quotes of the name's
// passwords replaced by "***" (the name whole, a password, or a piece of one read as a
// host or a port), for the messages of the libraries a storage uses.
std::string hide_secrets(std::string_view text, std::string_view name);

}  // namespace storage
