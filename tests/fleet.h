// What the fleet tests share: the article file read with SQLite outside the programs,
// and the texts and answers of autolog's dialogue.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fleet_test {

// The records of the article file at path, in plate order.
inline std::vector<std::string> records_in(const std::string& path) {
  std::vector<std::string> records;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT record FROM records ORDER BY substr(record, 1, 8)", -1, &query, nullptr) == SQLITE_OK) {
      while (sqlite3_step(query) == SQLITE_ROW) {
        records.emplace_back(static_cast<const char*>(sqlite3_column_blob(query, 0)),
                             static_cast<size_t>(sqlite3_column_bytes(query, 0)));
      }
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return records;
}

// The plates (first 8 bytes) of those records.
inline std::vector<std::string> plates_in(const std::string& path) {
  std::vector<std::string> plates;
  for (const std::string& record : records_in(path)) plates.push_back(record.substr(0, 8));
  return plates;
}

// Entries of a folder: the article file's side files are gone once it is closed.
inline std::vector<std::string> entries_of(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

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

// The answers that add one article with the same mileage and costs every day.
inline std::string add_article(const std::string& week, const std::string& plate,
                               const std::string& mileage = "100", const std::string& costs = "10") {
  std::string answers = "o\n2\n" + week + "\n" + plate + "\n";
  for (int day = 0; day < 7; ++day) answers += mileage + "\n" + costs + "\n";
  return answers;
}

}  // namespace fleet_test
