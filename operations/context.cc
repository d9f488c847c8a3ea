// What the commands share: messages, the open of the article file, output, numbers.
#include "operations/context.h"

#include <sys/stat.h>

#include <array>

#include "storage/open.h"
#include "storage/postgres/postgres_storage.h"

namespace fleet {

void Context::complain(std::string_view message) const {
  // Whatever the message quotes (a file name, a field, an argument) is made harmless UTF-8
  // here, once for every message; the command's own words and what quoted_plate and
  // shown_file give are so already, and stay as they are.
  const std::string line = text::words("fleet : " + charset::harmless(message) + "\n", charset);
  std::fflush(out);  // keeps the order of what the two streams show on one terminal
  std::fwrite(line.data(), 1, line.size(), err);
}

std::string Context::quoted_plate(std::string_view plate) const {
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return "« " + charset::shown(plate, charset::Charset::kUtf8) + " »";  // UTF-8, like every message
}

std::string Context::shown_file() const { return "« " + charset::harmless(storage::shown_name(file)) + " »"; }

std::string french_meaning(storage::FileStatus status) {
  using storage::FileStatus;
  switch (status) {
    case FileStatus::kOk:
      return "fait";
    case FileStatus::kDuplicateAlternateKey:
      return "fait, clé secondaire déjà présente";
    case FileStatus::kAtEnd:
      return "plus d'article";
    case FileStatus::kDuplicateKey:
      return "immatriculation déjà enregistrée";
    case FileStatus::kNoSuchKey:
      return "aucun article pour cette immatriculation";
    case FileStatus::kNotFound:
      return "fichier introuvable";
    case FileStatus::kDenied:
      return "accès refusé";
    case FileStatus::kWrongShape:
      return "ce n'est pas un fichier d'articles";
    default:
      return "échec";
  }
}

// A failure as people read it: the French meaning, the status, and the back end's
// own account when it says more.
static std::string account(const storage::Result& result) {
  const std::array<char, 2> digits = storage::status_digits(result.status);
  std::string line = french_meaning(result.status) + " (statut " + std::string(digits.data(), digits.size());
  if (!result.reason.empty() && result.reason != storage::meaning(result.status)) line += " : " + result.reason;
  return line + ")";
}

// The file whose side file name is, if any: SQLite keeps beside a file NAME the files
// NAME-wal, NAME-shm and NAME-journal, and takes whatever it finds under those names
// for them. Opened as an article file, such a file would be read as something it is
// not; made as one, it would be taken, and overwritten, as the side file of NAME.
static std::string side_file_owner(const std::string& name) {
  if (storage::is_postgres_uri(name)) return {};
  for (const std::string_view end : {"-wal", "-shm", "-journal"}) {
    if (name.size() <= end.size() || !name.ends_with(end)) continue;
    const std::string owner = name.substr(0, name.size() - end.size());
    struct stat st;
    if (::stat(owner.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return owner;
  }
  return {};
}

storage::Opened open_article_file(const std::string& name, storage::StorageMode mode) {
  const std::string owner = side_file_owner(name);
  struct stat st;
  const bool exists = !owner.empty() && ::lstat(name.c_str(), &st) == 0;
  if (!owner.empty() && (exists || mode == storage::StorageMode::kInputOutput)) {
    const std::string shown_owner = "« " + charset::harmless(storage::shown_name(owner)) + " »";
    return {
        exists ? storage::failure(storage::FileStatus::kWrongShape, "c'est un fichier annexe du fichier " + shown_owner)
               : storage::failure(storage::FileStatus::kFailed,
                                  "un fichier de ce nom serait pris pour un fichier annexe du fichier " + shown_owner),
        nullptr};
  }
  return storage::open_storage({name, "ARTICLES", layout::kShape, mode, "fleet"});
}

std::unique_ptr<storage::Storage> open_articles(const Context& context, storage::StorageMode mode) {
  storage::Opened opened = open_article_file(context.file, mode);
  if (!opened.result.ok()) {
    context.complain("impossible d'ouvrir le fichier d'articles " + context.shown_file() + " : " +
                     account(opened.result));
    return nullptr;
  }
  return std::move(opened.storage);
}

std::string failure_account(const storage::Result& result) { return account(result); }

bool Output::finish() {
  if (std::fflush(context_.out) == 0 && !std::ferror(context_.out)) return true;
  context_.complain("impossible d'écrire sur la sortie standard");
  return false;
}

std::string money(uint64_t cents) {
  std::string text = std::to_string(cents / 100) + ".";
  text += static_cast<char>('0' + cents % 100 / 10);
  text += static_cast<char>('0' + cents % 10);
  return text;
}

std::string per_kilometre(uint64_t cents, uint64_t kilometres) {
  if (kilometres == 0) return "-";
  // thousandths of the unit: cents * 10 / km, rounded half up
  const uint64_t thousandths = (cents * 20 + kilometres) / (2 * kilometres);
  std::string decimals = std::to_string(thousandths % 1000);
  return std::to_string(thousandths / 1000) + "." + std::string(3 - decimals.size(), '0') + decimals;
}

}  // namespace fleet
