// ChangeLog: the recent changes made through fleet serve's forms (an entry, a
// correction, a deletion, an import, an undo), each with the rows that undo it: the
// CSV that `fleet import --replace` takes back, as `fleet delete` and `import
// --replace` print it. The last kKept are kept in memory for the page of changes and
// its "Annuler"; every change is also written on standard error (the server's log) as
// it is made, rows and all, so that after a restart nothing done went without a word.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "operations/context.h"

namespace fleet::web {

struct ChangeRecord {
  uint64_t number = 0;  // from 1, in the order they were made
  std::time_t when = 0;
  std::string who;         // the visitor's name, or "jeton" for the start token's holder
  size_t file = 0;         // in the period
  std::string file_shown;  // its name as pages show it
  std::string what;        // French, UTF-8: "article « AB123 » enregistré"
  std::string undo;        // the heading and rows that undo it; empty when it cannot be undone
  uint64_t undone_by = 0;  // the change that undid it, if one did
};

class ChangeLog {
 public:
  // log: where each change is said (the server's standard error and character set).
  explicit ChangeLog(const Context& log) : log_(log) {}

  static constexpr size_t kKept = 500;

  // Numbers the change, dates it, keeps it and says it; its number.
  uint64_t add(ChangeRecord change);
  // The changes kept, the latest first.
  std::vector<ChangeRecord> recent() const;
  std::optional<ChangeRecord> find(uint64_t number) const;
  void undone(uint64_t number, uint64_t by);

 private:
  Context log_;
  mutable std::mutex mutex_;
  std::deque<ChangeRecord> kept_;
  uint64_t last_ = 0;
};

}  // namespace fleet::web
