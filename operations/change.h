// What the commands that change stored articles share (delete, import --replace,
// archive): the open of a file that must be there, and the rows that undo a change.
//
// Every article a change removes or replaces is written to standard output as a row of
// the export, under its heading, so that `fleet import --replace` of that output puts
// back what was there. A plate the change added, which held no article before, gets
// the removal row: the plate, and the other fields empty; `import --replace` reads it
// as "this plate holds no article" and removes the plate's article.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "operations/context.h"

namespace fleet {

// The article file for a change: a file (or table) that is not there is said as for a
// reading command, 35, and nothing is created; nullptr then, as after any failed open.
std::unique_ptr<storage::Storage> open_for_change(const Context& context);

// The storage a change works on: open when it is not null, else the file opened for
// the change, kept in *opened (nullptr then after a failed open, which was said).
storage::Storage* storage_for_change(const Context& context, storage::Storage* open,
                                     std::unique_ptr<storage::Storage>* opened);

// The export's row of an article (CSV, separator ","), or, with no article, the
// removal row of the plate.
void append_undo_row(std::string& out, std::string_view plate, const Article* article);

// The rows that undo a change, on standard output.
class UndoRows {
 public:
  explicit UndoRows(const Context& context) : context_(context), output_(context) {}

  // Writes the heading; false, with a line said, when standard output does not take it:
  // nothing is to be changed then.
  bool start();
  // What the plate held before the change: its record, or empty when none. Only the
  // first change of a plate counts, so that the rows give back the state before the
  // whole command.
  void held(const std::string& plate, std::string_view record);
  // Writes the rows kept so far. False when standard output failed: those rows are then
  // said on standard error, and nothing more may be changed.
  bool flush();
  // True when every row was written and every record could be written as a row.
  bool whole() const { return whole_; }

 private:
  const Context& context_;
  Output output_;
  std::string rows_;
  std::set<std::string> seen_;
  bool whole_ = true;
};

// The rows of `import --replace`, stored in place of the articles of their plates.
class ReplaceRows {
 public:
  explicit ReplaceRows(const Context& context) : undo_(context) {}

  bool start() { return undo_.start(); }
  // True for a removal row (a plate that may be stored, the other fields empty);
  // *removal is then the plate's stored bytes, which stand for the row in a batch.
  bool removal_row(const std::vector<std::string>& fields, std::string* removal) const;
  // Stores a batch: records of the record's length, each in place of its plate's
  // article, in one transaction; or one removal, alone. statuses as insert_batch's:
  // kOk, or kNoSuchKey for the removal of a plate that holds no article.
  storage::Result store(storage::Storage& articles, const std::vector<std::string>& batch,
                        std::vector<storage::FileStatus>* statuses);
  // True when every undo row was written.
  bool whole() const { return undo_.whole(); }

 private:
  UndoRows undo_;
  bool stopped_ = false;
};

}  // namespace fleet
