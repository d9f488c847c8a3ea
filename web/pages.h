// The pages of fleet serve, in French, as whole HTML documents: the dashboard, a page
// of articles, a car, and the short pages of a refusal or an error. Each links the
// style sheet and nothing else: no script, no font, nothing from elsewhere.
#pragma once

#include <string>
#include <vector>

#include "web/article_page.h"
#include "web/fleet_data.h"

namespace fleet::web {

// What every page says of the period: its files, as shown.
struct PeriodView {
  std::vector<std::string> files;
  bool downloads = true;   // the exports can be had
  bool may_write = false;  // the visitor's: the pages link to the forms
  bool sign_out = false;   // named users log in: the pages link to the logout
  bool archives = false;   // may write, with a folder for archives: the pages link to the archive
};

// A whole page: the head, the navigation (here: the address of the current rubric),
// and main, HTML already. Without a period, no navigation.
std::string page_document(const std::string& title, const char* here, const PeriodView* period,
                          const std::string& main);

std::string dashboard_page(const PeriodView& period, const Figures& figures);

// The words of the list's orders in addresses, and back.
const char* sort_word(Sort sort);
bool sort_of(const std::string& word, Sort* sort);
// The direction a column is first shown in: the most first for amounts.
bool descending_first(Sort sort);

struct ArticlesView {
  PageQuery query;
  std::string typed;    // the search as typed (UTF-8), shown back in its field
  std::string problem;  // why the search could not be read, if it could not
  ArticlePage page;
  bool whole = true;
};
std::string articles_page(const PeriodView& period, const ArticlesView& view);

// notice: what was just done to the car (HTML already), said above its weeks.
std::string car_page(const PeriodView& period, const std::string& plate, const std::vector<CarWeek>& weeks,
                     const std::string& problems, const std::string& notice = {});

// A short page: a heading and a sentence (UTF-8, escaped here).
std::string message_page(const std::string& title, const std::string& text);

// The style sheet, served from memory.
extern const char kStyleSheet[];

}  // namespace fleet::web
