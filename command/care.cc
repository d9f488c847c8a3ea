// fleet check and fleet backup: the article file's soundness, and a copy of it.
#include <sys/stat.h>

#include "command/command.h"

namespace fleet {

int check_file(const Context& context) {
  const std::unique_ptr<storage::Storage> articles = open_articles(context, storage::StorageMode::kInput);
  if (!articles) return kNotDone;
  bool sound = true;
  const storage::Result checked = articles->check();
  if (!checked.ok()) {
    context.complain("fichier d'articles " + context.shown_file() + " abîmé : " + checked.reason);
    sound = false;
  }
  // Every record as autolog writes it: digits in every number field.
  size_t count = 0;
  size_t unreadable = 0;
  Article article;
  std::string field;
  const storage::Result scanned = articles->scan([&](std::string_view record) {
    ++count;
    if (!decode(record, &article, &field)) {
      if (++unreadable <= 20) {
        context.complain("article " + context.quoted_plate(article.plate) + " : " + field +
                         " n'est pas fait de chiffres");
      }
    }
    return true;
  });
  if (!scanned.ok()) {
    context.complain("lecture du fichier d'articles interrompue : " + failure_account(scanned));
    sound = false;
  }
  if (unreadable > 20) context.complain(std::to_string(unreadable) + " articles illisibles en tout");
  if (unreadable > 0 || !sound) return kNotDone;
  Output output(context);
  output.words("Fichier d'articles sain : " + std::to_string(count) + " article" + (count > 1 ? "s" : "") + ", forme " +
               storage::describe(layout::kShape) + "\n");
  return output.finish() ? kDone : kNotDone;
}

int backup_file(const Context& context, const std::string& destination) {
  struct stat st;
  if (::lstat(destination.c_str(), &st) == 0) {
    context.complain("la destination " + destination + " existe déjà : rien n'est copié");
    return kNotDone;
  }
  const std::unique_ptr<storage::Storage> articles = open_articles(context, storage::StorageMode::kInput);
  if (!articles) return kNotDone;
  const storage::Result copied = articles->backup(destination);
  if (!copied.ok()) {
    context.complain("sauvegarde de " + context.shown_file() + " vers " + destination +
                     " impossible : " + failure_account(copied));
    return kNotDone;
  }
  return kDone;
}

}  // namespace fleet
