// fleet check and fleet backup: the soundness of each file of the period, and a copy
// of the article file.
#include <sys/stat.h>

#include "operations/context.h"

namespace fleet {

int check_file(const Context& context) {
  const Period period = context.period();
  bool sound = period.whole();
  std::string out;
  for (size_t i = 0; i < period.size(); ++i) {
    const std::unique_ptr<storage::Storage> articles = period.open(i, context.complainer());
    if (!articles) {
      sound = false;
      continue;
    }
    const std::string name = "« " + period.files()[i].shown + " »";
    bool file_sound = true;
    const storage::Result checked = articles->check();
    if (!checked.ok()) {
      context.complain("fichier d'articles " + name + " abîmé : " + checked.reason);
      file_sound = false;
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
          context.complain("article " + context.quoted_plate(article.plate) + period.in_file(i) + " : " + field +
                           " n'est pas fait de chiffres");
        }
      }
      return true;
    });
    if (!scanned.ok()) {
      context.complain("lecture du fichier d'articles " + (period.several() ? name + " " : std::string()) +
                       "interrompue : " + failure_account(scanned));
      file_sound = false;
    }
    if (unreadable > 20)
      context.complain(std::to_string(unreadable) + " articles illisibles en tout" + period.in_file(i));
    if (unreadable > 0 || !file_sound) {
      sound = false;
      continue;
    }
    out += "Fichier d'articles " + (period.several() ? name + " " : std::string()) + "sain : " + std::to_string(count) +
           " article" + (count > 1 ? "s" : "") + ", forme " + storage::describe(layout::kShape) + "\n";
  }
  Output output(context);
  output.words(out);
  return output.finish() && sound ? kDone : kNotDone;
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
