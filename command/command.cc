// What the commands share: messages, the open of the article file, output, numbers.
#include "command/command.h"

#include "storage/open.h"

namespace fleet {

void Context::complain(std::string_view message) const {
  const std::string line = text::words("fleet : " + std::string(message) + "\n", charset);
  std::fflush(stdout);  // keeps the order of what the two streams show on one terminal
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string Context::quoted_plate(std::string_view plate) const {
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return "« " + text::shown(plate, text::Charset::kUtf8) + " »";  // UTF-8, like every message
}

std::string Context::shown_file() const { return "« " + storage::shown_name(file) + " »"; }

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
  std::string line = french_meaning(result.status) + " (statut " +
                     std::to_string(static_cast<int>(result.status) / 10) +
                     std::to_string(static_cast<int>(result.status) % 10);
  if (!result.reason.empty() && result.reason != storage::meaning(result.status)) line += " : " + result.reason;
  return line + ")";
}

std::unique_ptr<storage::Storage> open_articles(const Context& context, storage::StorageMode mode) {
  storage::Opened opened = storage::open_storage({context.file, "ARTICLES", layout::kShape, mode, "fleet"});
  if (!opened.result.ok()) {
    context.complain("impossible d'ouvrir le fichier d'articles " + context.shown_file() + " : " +
                     account(opened.result));
    return nullptr;
  }
  return std::move(opened.storage);
}

std::string failure_account(const storage::Result& result) { return account(result); }

bool Output::finish() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
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
