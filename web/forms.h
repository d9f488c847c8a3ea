// The article form of fleet serve (/saisie, and the correction of a car's article):
// the values a clerk typed, read as autolog's accept reads them (blanks around a
// number dropped, nothing typed is 0, a comma or a point before the decimals), but
// refused, each with its message, wherever accept would store something other than
// what was typed (text cut, digits lost, a number that is not one). A pure function,
// so that its table of cases needs no server.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "fleet/record.h"
#include "operations/csv.h"

namespace fleet::web {

struct ArticleForm {
  // Each column's value as typed (UTF-8), in csv::kColumns order, to be shown back.
  std::array<std::string, csv::kColumnCount> typed;
  // Why each is refused, in French, beside its field; empty when it is fine.
  std::array<std::string, csv::kColumnCount> problem;
  Article article;  // what was typed, when nothing is refused

  bool ok() const {
    for (const std::string& p : problem) {
      if (!p.empty()) return false;
    }
    return true;
  }
};

// Reads the form whose field of each column name field gives (empty when absent).
ArticleForm read_article_form(const std::function<std::string(const std::string& name)>& field);

// The form of a stored article, as its correction starts.
ArticleForm form_of(const Article& article);

}  // namespace fleet::web
