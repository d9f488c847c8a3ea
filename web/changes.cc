// The recent changes of fleet serve, kept and logged.
#include "web/changes.h"

namespace fleet::web {

uint64_t ChangeLog::add(ChangeRecord change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change.number = ++last_;
  change.when = std::time(nullptr);
  // One line for the change, then one a row of its undo: the log alone is enough to undo
  // it with fleet import --replace (the heading is csv::heading).
  const std::string name = "modification " + std::to_string(change.number);
  log_.complain(name + " par " + change.who + ", fichier « " + change.file_shown + " » : " + change.what);
  size_t start = change.undo.find('\n');
  while (start != std::string::npos && start + 1 < change.undo.size()) {
    const size_t end = change.undo.find('\n', start + 1);
    std::string row = change.undo.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    if (!row.empty() && row.back() == '\r') row.pop_back();
    log_.complain(name + ", ligne qui l'annule : " + row);
    start = end;
  }
  kept_.push_back(std::move(change));
  if (kept_.size() > kKept) kept_.pop_front();
  return last_;
}

std::vector<ChangeRecord> ChangeLog::recent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {kept_.rbegin(), kept_.rend()};
}

std::optional<ChangeRecord> ChangeLog::find(uint64_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const ChangeRecord& change : kept_) {
    if (change.number == number) return change;
  }
  return std::nullopt;
}

void ChangeLog::undone(uint64_t number, uint64_t by) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (ChangeRecord& change : kept_) {
    if (change.number == number) change.undone_by = by;
  }
}

}  // namespace fleet::web
