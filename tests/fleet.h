// What the fleet tests share: the article file on either storage, read outside the
// programs through the storage layer, and the texts and answers of autolog's dialogue.
#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/open.h"
#include "testing/harness.h"
#include "testing/test_folder.h"
#include "testing/test_postgres.h"

namespace fleet_test {

// The records of the article file that name designates (a path or a PostgreSQL URI),
// in plate order, read through the storage layer as the programs' file layer reads
// them; none when the file does not exist or cannot be read.
inline std::vector<std::string> records_in(const std::string& name) {
  static constexpr storage::KeyShape kKeys[] = {{0, 8, false}, {8, 2, true}, {18, 10, true}};
  storage::Opened opened =
      storage::open_storage({name, "ARTICLES", {88, kKeys}, storage::StorageMode::kInput, "fleet_test"});
  std::vector<std::string> records;
  if (!opened.result.ok()) return records;
  opened.storage->scan([&](std::string_view record) {
    records.emplace_back(record);
    return true;
  });
  opened.storage->close();
  return records;
}

// The plates (first 8 bytes) of records.
inline std::vector<std::string> plates_of(const std::vector<std::string>& records) {
  std::vector<std::string> plates;
  for (const std::string& record : records) plates.push_back(record.substr(0, 8));
  return plates;
}

inline std::vector<std::string> plates_in(const std::string& path) { return plates_of(records_in(path)); }

// Entries of a folder: the article file's side files are gone once it is closed.
inline std::vector<std::string> entries_of(const std::string& folder) { return testkit::others_in(folder, ""); }

// Where a test keeps the article file: a local file (SQLite), or a table in a schema
// of the test's own on the test server (PostgreSQL).
enum class Storage { kSqlite, kPostgres };

inline std::string name_of(Storage storage) { return storage == Storage::kSqlite ? "sqlite" : "postgresql"; }

class ArticleFile {
 public:
  explicit ArticleFile(Storage storage) {
    if (storage == Storage::kSqlite) {
      folder_ = std::make_unique<dialogue::TempDir>();
    } else {
      schema_ = std::make_unique<testkit::TestSchema>();
    }
  }

  // The value of fichier that names it.
  std::string fichier() const { return folder_ ? folder_->file("articles") : schema_->uri(); }

  // Its records in plate order, read through the storage layer; none when it does not exist.
  std::vector<std::string> records() { return records_in(fichier()); }
  std::vector<std::string> plates() { return plates_of(records()); }

  // Back to no file at all.
  void remove() {
    if (folder_)
      std::filesystem::remove(fichier());
    else
      schema_->sql("DROP TABLE IF EXISTS articles");
  }

  // Everything where it is kept, by name: the file alone (no side file left once it
  // is closed), or the table alone in its schema.
  std::vector<std::string> surroundings() { return folder_ ? entries_of(folder_->path()) : schema_->tables(); }

  // Runs SQL in the file's schema (PostgreSQL only).
  testkit::Rows sql(const std::string& statements) { return schema_->sql(statements); }

 private:
  std::unique_ptr<dialogue::TempDir> folder_;
  std::unique_ptr<testkit::TestSchema> schema_;
};

// autolog's texts.
inline const std::string kQuestion = "PROCEDER \xC0 UN TRAITEMENT ? (o/n) : ";
inline const std::string kMenu =
    "(1) - CONSULTER UN ARTICLE DONNE\n"
    "(2) - AJOUT D'UN ARTICLE\n"
    "(3) - CALCUL DU PRIX DE REVIENT\n"
    "(4) - SEMAINE O\xD9 PLUS ROUL\xC9\n"
    "(0) - QUITTER\n"
    "VOTRE CHOIX : ";
inline const std::string kEnd = "PROGRAMME TERMINE !\n";

// The prompts of one added article, after the choice.
inline std::string article_prompts() {
  std::string text = "NUMERO DE SEMAINE : IMMATRICULATION : ";
  for (const char* day : {"LUNDI   ", "MARDI   ", "MERCREDI", "JEUDI   ", "VENDREDI", "SAMEDI  ", "DIMANCHE"}) {
    text += std::string(day) + "\nKILOMETRAGE : FRAIS : ";
  }
  return text;
}

// What autolog writes after the menu for one added article, and what autolog2 shows
// when it read nothing, and its last line.
inline const std::string kAdded = kQuestion + kMenu + article_prompts();
inline const std::string kNothingRead(8, '\0');
inline const std::string kEndLine = "fin de traitement\n";

// The answers that add one article with the same mileage and costs every day.
inline std::string add_article(const std::string& week, const std::string& plate, const std::string& mileage = "100",
                               const std::string& costs = "10") {
  std::string answers = "o\n2\n" + week + "\n" + plate + "\n";
  for (int day = 0; day < 7; ++day) answers += mileage + "\n" + costs + "\n";
  return answers;
}

}  // namespace fleet_test
