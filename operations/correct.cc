// fleet delete and import --replace: articles removed or stored in place of others,
// each change committed as autolog commits an article, and the rows that undo it.
#include <sys/stat.h>

#include "operations/change.h"
#include "operations/csv.h"
#include "storage/postgres/postgres_storage.h"

namespace fleet {
namespace {

std::string two_digits(storage::FileStatus status) {
  const std::array<char, 2> digits = storage::status_digits(status);
  return {digits.data(), digits.size()};
}

}  // namespace

std::unique_ptr<storage::Storage> open_for_change(const Context& context) {
  // Only import creates an article file: an input open first says 35 for a missing one.
  struct stat st;
  if (storage::is_postgres_uri(context.file) || ::stat(context.file.c_str(), &st) != 0) {
    if (!open_articles(context, storage::StorageMode::kInput)) return nullptr;
  }
  return open_articles(context, storage::StorageMode::kInputOutput);
}

storage::Storage* storage_for_change(const Context& context, storage::Storage* open,
                                     std::unique_ptr<storage::Storage>* opened) {
  if (open != nullptr) return open;
  *opened = open_for_change(context);
  return opened->get();
}

bool UndoRows::start() {
  output_.write(csv::heading(',') + "\r\n");
  whole_ = output_.finish();
  return whole_;
}

void UndoRows::held(const std::string& plate, std::string_view record) {
  if (!seen_.insert(plate).second) return;
  if (record.empty()) {
    append_undo_row(rows_, plate, nullptr);
    return;
  }
  Article article;
  std::string field;
  if (decode(record, &article, &field)) {
    append_undo_row(rows_, plate, &article);
    return;
  }
  // Not a row of the export: its bytes are said, so that nothing goes without a word.
  std::string bytes;
  storage::append_hexadecimal(bytes, record);
  context_.complain("l'article de " + context_.quoted_plate(plate) + " n'est pas une ligne possible de l'export (" +
                    field + " n'est pas fait de chiffres) ; ses octets étaient, en hexadécimal : " + bytes);
  whole_ = false;
}

bool UndoRows::flush() {
  output_.write(rows_);
  if (std::fflush(context_.out) == 0 && !std::ferror(context_.out)) {
    rows_.clear();
    return true;
  }
  context_.complain("impossible d'écrire sur la sortie standard ; les lignes qui défont ce qui a été fait sont :\n" +
                    rows_);
  rows_.clear();
  whole_ = false;
  return false;
}

bool ReplaceRows::removal_row(const std::vector<std::string>& fields, std::string* removal) const {
  if (fields.size() != csv::kColumnCount) return false;
  for (size_t i = 1; i < fields.size(); ++i) {
    if (!fields[i].empty()) return false;
  }
  std::string why;
  return typed_plate(fields[0], text::Charset::kUtf8, removal, &why);
}

storage::Result ReplaceRows::store(storage::Storage& articles, const std::vector<std::string>& batch,
                                   std::vector<storage::FileStatus>* statuses) {
  statuses->assign(batch.size(), storage::FileStatus::kOk);
  if (stopped_) return storage::failure(storage::FileStatus::kFailed, "la sortie standard a échoué");
  if (batch.size() == 1 && batch[0].size() == layout::kPlate.width) {
    std::string erased;
    const storage::Result result = articles.erase(batch[0].data(), &erased);
    if (result.status == storage::FileStatus::kNoSuchKey) {
      (*statuses)[0] = result.status;
      return {};
    }
    if (!result.ok()) return result;
    undo_.held(batch[0], erased);
  } else {
    std::vector<const char*> records;
    for (const std::string& record : batch) records.push_back(record.data());
    std::vector<std::string> replaced;
    const storage::Result result = articles.replace_batch(records, &replaced);
    if (!result.ok()) return result;
    for (size_t i = 0; i < batch.size(); ++i) undo_.held(batch[i].substr(0, layout::kPlate.width), replaced[i]);
  }
  stopped_ = !undo_.flush();
  return {};
}

int delete_articles(const Context& context, const std::vector<std::string>& typed, storage::Storage* open) {
  std::vector<std::string> plates(typed.size());
  std::string why;
  for (size_t i = 0; i < typed.size(); ++i) {
    if (!typed_plate(typed[i], context.charset, &plates[i], &why)) {
      context.complain(why);
      return kWrongUsage;
    }
  }
  std::unique_ptr<storage::Storage> opened;
  storage::Storage* const articles = storage_for_change(context, open, &opened);
  if (articles == nullptr) return kNotDone;
  UndoRows undo(context);
  if (!undo.start()) return kNotDone;
  bool all = true;
  for (const std::string& plate : plates) {
    std::string erased;
    const storage::Result result = articles->erase(plate.data(), &erased);
    if (result.status == storage::FileStatus::kNoSuchKey) {
      context.complain(context.quoted_plate(plate) + " : " + french_meaning(result.status) + " (statut " +
                       two_digits(result.status) + "), rien n'est supprimé");
      all = false;
      continue;
    }
    if (!result.ok()) {
      context.complain(context.quoted_plate(plate) + " non supprimé : " + failure_account(result));
      all = false;
      continue;
    }
    undo.held(plate, erased);
    if (!undo.flush()) {
      context.complain("suppression arrêtée après " + context.quoted_plate(plate));
      return kNotDone;
    }
  }
  return all && undo.whole() ? kDone : kNotDone;
}

}  // namespace fleet
