// The pages of fleet serve that change the files: the article form (an entry, or the
// correction of a car's article), the confirmation of a deletion, the recent changes
// with their undo, the import of a file and the archive. Plain HTML forms, no script:
// each carries the session's csrf field, and every text from a file or a request is
// escaped here.
#pragma once

#include <string>
#include <vector>

#include "web/changes.h"
#include "web/forms.h"
#include "web/pages.h"

namespace fleet::web {

struct ArticleFormView {
  std::string action;       // where the form is sent
  std::string csrf;         // the session's
  ArticleForm form;         // the values shown, and the messages beside them
  bool correcting = false;  // the plate is the car's, not a field
  std::string file;         // the file it goes into, as shown
  std::string outcome;      // what happened to what was sent (HTML), when it was
};
std::string article_form_page(const PeriodView& period, const ArticleFormView& view);

// The question before a deletion: the car's article in file, and the form that deletes it.
std::string delete_page(const PeriodView& period, const Article& article, size_t file, const std::string& csrf);

std::string changes_page(const PeriodView& period, const std::vector<ChangeRecord>& changes, const std::string& csrf);

// A file the import or the archive may go into.
struct FileChoice {
  size_t file;
  std::string shown;
};
struct ImportView {
  std::string csrf;
  std::vector<FileChoice> files;  // the writable ones; the last chosen first
  std::vector<std::string> said;  // what fleet import said, line by line (UTF-8)
  bool done = false;              // said holds a report
};
std::string import_page(const PeriodView& period, const ImportView& view);

struct ArchiveView {
  std::string csrf;
  std::vector<FileChoice> files;  // the SQLite files it may empty
  std::string folder;             // --archives, as shown; empty: no archive from here
  std::string name;               // as typed
  std::string said;               // what fleet archive said, or why not (UTF-8)
};
std::string archive_page(const PeriodView& period, const ArchiveView& view);

// A page that says what was done, or not: a heading and paragraphs (HTML already).
std::string outcome_page(const PeriodView& period, const std::string& title, const std::string& html);

}  // namespace fleet::web
