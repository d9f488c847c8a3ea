// fleet archive: every article of the file moved into a new one, so that autolog goes
// on with the next week in the same file; and fleet check over several files, which
// names any article found in two of them (what an archive cut off would leave).
#include <unordered_map>

#include "operations/change.h"
#include "storage/postgres/postgres_storage.h"

namespace fleet {
namespace {

// The most articles found in two files that check names one by one.
constexpr size_t kNamedMost = 20;

// Names, on standard error, each article that two of the files hold byte for byte;
// false when there is one, or a file could not be read.
bool none_in_two(const Context& context) {
  const Period period = context.period();
  const auto quoted = [&](size_t i) { return "« " + period.files()[i].shown + " »"; };
  std::unordered_map<std::string, size_t> seen;  // record -> the first file that holds it
  size_t twice = 0;
  bool read = true;
  for (size_t i = 0; i < period.size(); ++i) {
    // The check before has said why a file cannot be opened.
    const std::unique_ptr<storage::Storage> articles = period.open(i, [](const std::string&) {});
    if (!articles) {
      read = false;
      continue;
    }
    const storage::Result scanned = articles->scan([&](std::string_view record) {
      const auto [at, first] = seen.emplace(record, i);
      if (first || at->second == i) return true;
      if (++twice <= kNamedMost) {
        Article article;
        std::string field;
        decode(record, &article, &field);
        context.complain("article " + context.quoted_plate(article.plate) + " de la semaine " +
                         std::to_string(article.week) + " à la fois dans " + quoted(at->second) + " et dans " +
                         quoted(i));
      }
      return true;
    });
    if (!scanned.ok()) {
      context.complain("lecture de " + quoted(i) + " interrompue : " + failure_account(scanned));
      read = false;
    }
  }
  if (twice > 0) {
    context.complain(std::to_string(twice) + (twice > 1 ? " articles sont" : " article est") +
                     " dans deux fichiers : une archive interrompue se termine en relançant fleet archive vers la "
                     "même destination");
  }
  return read && twice == 0;
}

}  // namespace

int archive_file(const Context& context, const std::string& destination, storage::Storage* open) {
  Context there = context;
  there.file = destination;
  const bool table = storage::is_postgres_uri(context.file);
  if (table != storage::is_postgres_uri(destination)) {
    context.complain(table ? "l'archive d'une table PostgreSQL est une autre table de la même base : DEST est une URI "
                             "postgresql://"
                           : "l'archive d'un fichier local est un fichier local : DEST est un chemin");
    return kNotDone;
  }
  std::unique_ptr<storage::Storage> opened;
  storage::Storage* const articles = storage_for_change(context, open, &opened);
  if (articles == nullptr) return kNotDone;
  uint64_t moved = 0;
  const storage::Result result = articles->archive(destination, &moved);
  if (!result.ok()) {
    context.complain("archivage de " + context.shown_file() + " vers " + there.shown_file() +
                     " impossible : " + failure_account(result));
    return kNotDone;
  }
  context.complain(std::to_string(moved) + (moved > 1 ? " articles déplacés" : " article déplacé") + " de " +
                   context.shown_file() + " vers " + there.shown_file());
  return kDone;
}

int check_files(const Context& context) {
  int status = check_file(context);
  if (context.files.size() > 1 && !none_in_two(context)) status = kNotDone;
  return status;
}

}  // namespace fleet
