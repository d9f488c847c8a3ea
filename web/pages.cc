// The pages of fleet serve.
#include "web/pages.h"

#include "web/html.h"

namespace fleet::web {
namespace {

// "LUNDI" as a page writes it: "Lundi".
std::string day_name(size_t day) {
  std::string name = layout::kDayNames[day];
  for (size_t i = 1; i < name.size(); ++i) name[i] = static_cast<char>(name[i] - 'A' + 'a');
  return name;
}

std::string two_digits(uint32_t value) {
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

}  // namespace

std::string page_document(const std::string& title, const char* here, const PeriodView* period,
                          const std::string& main) {
  std::string page;
  page.reserve(main.size() + 1024);
  page +=
      "<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
  append_escaped(page, title);
  page += " · Flotte</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n";
  if (period != nullptr) {
    auto link = [&](const char* address, const char* words) {
      const bool current = std::string_view(here) == address;
      return std::string("<a href=\"") + address + "\"" + (current ? " aria-current=\"page\"" : "") + ">" + words +
             "</a>";
    };
    page += "<header><nav aria-label=\"Rubriques\">" + link("/", "Tableau de bord") + link("/articles", "Articles");
    if (period->may_write)
      page += link("/saisie", "Saisie") + link("/import", "Import") + link("/modifications", "Modifications");
    if (period->archives) page += link("/archive", "Archive");
    if (period->downloads) {
      page += "<a href=\"/export.csv\" download>Télécharger en CSV</a><a href=\"/export.json\" download>en JSON</a>";
    }
    if (period->sign_out) page += link("/deconnexion", "Se déconnecter");
    page += "</nav></header>\n";
  }
  page += "<main>\n";
  page += main;
  page += "</main>\n</body>\n</html>\n";
  return page;
}

namespace {

std::string document(const std::string& title, const char* here, const PeriodView* period, const std::string& main) {
  return page_document(title, here, period, main);
}

std::string files_line(const PeriodView& period) {
  std::string line = period.files.size() == 1
                         ? "<p class=\"period\">Fichier d'articles : "
                         : "<p class=\"period\">Période de " + std::to_string(period.files.size()) + " fichiers : ";
  for (size_t i = 0; i < period.files.size(); ++i) {
    line += (i == 0 ? "« " : ", « ") + escaped(period.files[i]) + " »";
  }
  return line + "</p>\n";
}

constexpr char kUnread[] =
    "<p class=\"warning\" role=\"status\">Des fichiers ou des articles n'ont pas pu être lus : ils sont laissés de "
    "côté (fleet check en dit plus).</p>\n";

std::string busiest_text(const FleetStats& stats) {
  const int busiest = stats.busiest_week();
  return busiest < 0 ? "-" : std::to_string(busiest) + " (" + std::to_string(stats.mileage_by_week[busiest]) + " km)";
}

}  // namespace

const char* sort_word(Sort sort) {
  static constexpr const char* kWords[kSorts] = {"immatriculation", "semaine", "kilometres", "frais", "cout"};
  return kWords[static_cast<size_t>(sort)];
}

bool sort_of(const std::string& word, Sort* sort) {
  for (size_t s = 0; s < kSorts; ++s) {
    if (word == sort_word(static_cast<Sort>(s))) {
      *sort = static_cast<Sort>(s);
      return true;
    }
  }
  return false;
}

bool descending_first(Sort sort) { return sort != Sort::kPlate && sort != Sort::kWeek; }

std::string dashboard_page(const PeriodView& period, const Figures& figures) {
  const FleetStats& stats = figures.period;
  std::string main = "<h1>Tableau de bord de la flotte</h1>\n" + files_line(period);
  if (!figures.whole) main += kUnread;
  for (const ServedFile& file : figures.files) {
    if (!file.problem.empty()) {
      main += "<p class=\"warning\">Fichier « " + escaped(file.name) + " » : " + escaped(file.problem) + "</p>\n";
    }
  }
  main += "<table class=\"figures\">\n";
  auto row = [&](const char* id, const char* label, const std::string& value) {
    main += std::string("<tr><th scope=\"row\">") + label + "</th><td class=\"n\" id=\"" + id + "\">" + value +
            "</td></tr>\n";
  };
  row("articles", "Articles", std::to_string(stats.articles));
  row("kilometres", "Kilomètres", std::to_string(stats.mileage));
  row("frais", "Frais", money(stats.cents));
  row("prix-de-revient", "Prix de revient (par kilomètre)", per_kilometre(stats.cents, stats.mileage));
  row("semaine", "Semaine la plus roulée", busiest_text(stats));
  main += "</table>\n";

  if (figures.files.size() > 1) {
    main +=
        "<h2>Par fichier</h2>\n<table>\n<thead><tr><th scope=\"col\">Fichier</th><th scope=\"col\">Articles</th>"
        "<th scope=\"col\">Kilomètres</th><th scope=\"col\">Frais</th><th scope=\"col\">Coût/km</th></tr></thead>\n"
        "<tbody>\n";
    std::vector<Bar> bars;
    for (const ServedFile& file : figures.files) {
      const FleetStats& s = file.stats;
      main += "<tr><th scope=\"row\">" + escaped(file.name) + "</th><td class=\"n\">" + std::to_string(s.articles) +
              "</td><td class=\"n\">" + std::to_string(s.mileage) + "</td><td class=\"n\">" + money(s.cents) +
              "</td><td class=\"n\">" + per_kilometre(s.cents, s.mileage) + "</td></tr>\n";
      bars.push_back({escaped(file.name), s.mileage, std::to_string(s.mileage)});
    }
    main += "</tbody>\n</table>\n" + column_chart("Kilomètres par fichier, dans l'ordre de la période", bars);
  }

  std::vector<Bar> days;
  for (size_t d = 0; d < layout::kDays; ++d) {
    days.push_back({day_name(d), stats.mileage_by_day[d], std::to_string(stats.mileage_by_day[d])});
  }
  main += column_chart("Kilomètres par jour de la semaine", days);
  std::vector<Bar> weeks;
  for (const int week : stats.charted_weeks()) {
    weeks.push_back({std::to_string(week), stats.mileage_by_week[week], std::to_string(stats.mileage_by_week[week])});
  }
  if (!weeks.empty()) main += column_chart("Kilomètres par numéro de semaine", weeks);
  if (!stats.longest.empty()) {
    std::vector<Bar> cars;
    for (const Car& car : stats.longest)
      cars.push_back({plate_html(car.plate), car.mileage, std::to_string(car.mileage)});
    main += row_chart("Les " + std::to_string(cars.size()) + " voitures aux kilomètres les plus nombreux", cars);
  }
  main += "<h2>Coût par kilomètre le plus élevé</h2>\n";
  if (stats.dearest.empty()) {
    main += "<p>Aucune voiture n'a roulé.</p>\n";
  } else {
    main +=
        "<table>\n<thead><tr><th scope=\"col\">Immatriculation</th><th scope=\"col\">Coût/km</th></tr></thead>\n"
        "<tbody>\n";
    for (const Car& car : stats.dearest) {
      main += "<tr><td><a href=\"" + car_address(car.plate) + "\">" + plate_html(car.plate) +
              "</a></td><td class=\"n\">" + per_kilometre(car.cents, car.mileage) + "</td></tr>\n";
    }
    main += "</tbody>\n</table>\n";
  }
  return document("Tableau de bord", "/", &period, main);
}

std::string articles_page(const PeriodView& period, const ArticlesView& view) {
  const PageQuery& query = view.query;
  // The address of the list with the same search and these order and cursor.
  auto address = [&](Sort sort, bool descending, const std::string& cursor_name, const std::string& cursor) {
    std::string a = "/articles";
    char joint = '?';
    auto add = [&](const char* name, const std::string& value) {
      a += joint + std::string(name) + "=" + address_component(value);
      joint = '&';
    };
    if (!view.typed.empty()) add("q", view.typed);
    if (sort != Sort::kPlate) add("tri", sort_word(sort));
    if (descending != descending_first(sort)) add("sens", descending ? "decroissant" : "croissant");
    if (!cursor_name.empty()) add(cursor_name.c_str(), cursor);
    return escaped(a);
  };
  const bool several = period.files.size() > 1;
  std::string main = "<h1>Articles</h1>\n" + files_line(period);
  if (!view.whole) main += kUnread;
  main +=
      "<form method=\"get\" action=\"/articles\" role=\"search\"><label for=\"q\">Immatriculation commençant par"
      "</label> <input id=\"q\" name=\"q\" maxlength=\"8\" value=\"" +
      escaped(view.typed) + "\">";
  if (query.sort != Sort::kPlate)
    main += "<input type=\"hidden\" name=\"tri\" value=\"" + std::string(sort_word(query.sort)) + "\">";
  if (query.descending != descending_first(query.sort)) {
    main += std::string("<input type=\"hidden\" name=\"sens\" value=\"") +
            (query.descending ? "decroissant" : "croissant") + "\">";
  }
  main += " <button type=\"submit\">Chercher</button></form>\n";
  if (!view.problem.empty()) main += "<p class=\"warning\" role=\"status\">" + escaped(view.problem) + "</p>\n";

  const ArticlePage& page = view.page;
  if (page.entries.empty()) {
    main += query.prefix.empty() ? "<p>Aucun article.</p>\n" : "<p>Aucun article pour cette recherche.</p>\n";
  } else {
    main += "<p id=\"compte\">Articles " + std::to_string(page.first + 1) + " à " +
            std::to_string(page.first + page.entries.size()) + " sur " + std::to_string(page.matching) + "</p>\n";
    main += "<div class=\"table\"><table class=\"articles\">\n<thead><tr>";
    auto heading = [&](Sort sort, const char* words) {
      const bool current = sort == query.sort;
      const bool descending = current ? !query.descending : descending_first(sort);
      main += std::string("<th scope=\"col\"") +
              (current ? std::string(" aria-sort=\"") + (query.descending ? "descending" : "ascending") + "\"" : "") +
              "><a href=\"" + address(sort, descending, "", "") + "\">" + words + "</a></th>";
    };
    // Soft hyphens: on a narrow screen the headings break, so that the columns fit.
    heading(Sort::kPlate, "Immatri&shy;culation");
    if (several) main += "<th scope=\"col\">Fichier</th>";
    heading(Sort::kWeek, "Se&shy;maine");
    heading(Sort::kMileage, "Kilo&shy;mètres");
    heading(Sort::kCosts, "Frais");
    heading(Sort::kCostPerKm, "Coût/<wbr>km");
    main += "</tr></thead>\n<tbody>\n";
    // Appended piece by piece: this is the loop a page of articles spends its time in.
    for (const Entry* entry : page.entries) {
      main += "<tr><td class=\"plate\"><a href=\"";
      main += car_address(entry->plate_bytes());  // nothing in it to escape
      main += "\">";
      main += plate_html(entry->plate_bytes());
      main += "</a></td>";
      if (several) {
        main += "<td class=\"file\">";
        append_escaped(main, period.files[entry->file]);
        main += "</td>";
      }
      main += "<td class=\"n\">";
      main += two_digits(entry->week);
      main += "</td><td class=\"n\">";
      main += std::to_string(entry->mileage);
      main += "</td><td class=\"n\">";
      main += money(entry->cents);
      main += "</td><td class=\"n\">";
      main += per_kilometre(entry->cents, entry->mileage);
      main += "</td></tr>\n";
    }
    main += "</tbody>\n</table></div>\n<nav class=\"pages\" aria-label=\"Pages\">";
    if (page.earlier) {
      main += "<a rel=\"prev\" href=\"" +
              address(query.sort, query.descending, "avant", cursor_text(*page.entries.front())) +
              "\">← Précédents</a>";
    }
    if (page.later) {
      main += "<a rel=\"next\" href=\"" +
              address(query.sort, query.descending, "apres", cursor_text(*page.entries.back())) + "\">Suivants →</a>";
    }
    main += "</nav>\n";
  }
  return document("Articles", "/articles", &period, main);
}

std::string car_page(const PeriodView& period, const std::string& plate, const std::vector<CarWeek>& weeks,
                     const std::string& problems, const std::string& notice) {
  const bool several = period.files.size() > 1;
  std::string main = "<h1>Voiture « " + plate_html(plate) + " »</h1>\n" + files_line(period);
  if (!notice.empty()) main += "<p class=\"notice\" role=\"status\">" + notice + "</p>\n";
  if (!problems.empty()) main += "<p class=\"warning\" role=\"status\">" + escaped(problems) + "</p>\n";
  std::array<uint64_t, layout::kDays> by_day{};
  uint64_t mileage = 0;
  uint64_t cents = 0;
  std::vector<Bar> by_file;
  for (const CarWeek& week : weeks) {
    const Article& article = week.article;
    main += "<section>\n<h2>" +
            (several ? "Fichier « " + escaped(period.files[week.file]) + " », semaine " : std::string("Semaine ")) +
            two_digits(article.week) + "</h2>\n";
    if (period.may_write) {
      const std::string there = car_address(plate) + "/";
      const std::string file = "?fichier=" + std::to_string(week.file);
      main += "<p class=\"actions\"><a href=\"" + there + "corriger" + file + "\">Corriger</a> <a href=\"" + there +
              "supprimer" + file + "\">Supprimer</a></p>\n";
    }
    main +=
        "<table class=\"days\">\n<thead><tr><th scope=\"col\">Jour</th><th scope=\"col\">Kilomètres</th>"
        "<th scope=\"col\">Frais</th></tr></thead>\n<tbody>\n";
    for (size_t d = 0; d < layout::kDays; ++d) {
      main += "<tr><th scope=\"row\">" + day_name(d) + "</th><td class=\"n\">" +
              std::to_string(article.days[d].mileage) + "</td><td class=\"n\">" + money(article.days[d].cents) +
              "</td></tr>\n";
      by_day[d] += article.days[d].mileage;
    }
    main += "</tbody>\n<tfoot><tr><th scope=\"row\">Total</th><td class=\"n total-km\">" +
            std::to_string(article.mileage()) + "</td><td class=\"n total-frais\">" + money(article.cents()) +
            "</td></tr></tfoot>\n</table>\n<p>Coût par kilomètre : <span class=\"cout\">" +
            per_kilometre(article.cents(), article.mileage()) + "</span></p>\n</section>\n";
    mileage += article.mileage();
    cents += article.cents();
    by_file.push_back({escaped(period.files[week.file]), article.mileage(), std::to_string(article.mileage())});
  }
  if (weeks.size() > 1) {
    main +=
        "<h2>Sur la période</h2>\n<table class=\"figures\">\n<tr><th scope=\"row\">Kilomètres</th><td class=\"n\">" +
        std::to_string(mileage) + "</td></tr>\n<tr><th scope=\"row\">Frais</th><td class=\"n\">" + money(cents) +
        "</td></tr>\n<tr><th scope=\"row\">Coût par kilomètre</th><td class=\"n\">" + per_kilometre(cents, mileage) +
        "</td></tr>\n</table>\n" + column_chart("Kilomètres de la voiture par fichier", by_file);
  }
  std::vector<Bar> days;
  for (size_t d = 0; d < layout::kDays; ++d) days.push_back({day_name(d), by_day[d], std::to_string(by_day[d])});
  main += column_chart(weeks.size() > 1 ? "Kilomètres par jour, sur la période" : "Kilomètres par jour", days);
  return document("Voiture " + plate_utf8(plate), "", &period, main);
}

std::string message_page(const std::string& title, const std::string& text) {
  return document(title, "", nullptr, "<h1>" + escaped(title) + "</h1>\n<p>" + escaped(text) + "</p>\n");
}

const char kStyleSheet[] =
    ":root{color-scheme:light}"
    "body{font-family:sans-serif;margin:0;color:#1a1a1a;background:#fff;line-height:1.4}"
    "header{background:#1d4f91}nav{display:flex;flex-wrap:wrap;gap:.2em 1.2em;padding:.6em 1em}"
    "header a{color:#fff}header a[aria-current]{font-weight:bold;text-decoration:none}"
    "main{padding:0 1em 2em;max-width:60em}"
    "a{color:#0b4a9e}h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em}"
    ".period{color:#444;overflow-wrap:anywhere}.warning{background:#fff3cd;padding:.5em;border-left:4px solid #a66300}"
    "table{border-collapse:collapse;margin:1em 0}td,th{padding:.25em .6em;border-bottom:1px solid #ccc;"
    "text-align:left}.n{text-align:right;font-variant-numeric:tabular-nums}"
    ".table{max-width:100%;overflow-x:auto}td.plate,td.file{overflow-wrap:anywhere}"
    "th a{color:inherit}th[aria-sort] a::after{content:' ▲'}th[aria-sort=descending] a::after{content:' ▼'}"
    "nav.pages{display:flex;justify-content:space-between;padding:.5em 0}"
    "form{margin:1em 0}input{font:inherit;padding:.2em;width:8em}button{font:inherit}"
    "figure{margin:1.5em 0}figcaption{font-weight:bold;margin-bottom:.5em}"
    "svg.chart{max-width:100%;height:auto}svg rect{fill:#2c6fbb}svg .axis{stroke:#555}"
    "svg .grid{stroke:#bbb;stroke-dasharray:4 3}svg text{font-size:11px;fill:#1a1a1a}"
    "svg .value,svg .label{text-anchor:middle}svg .plate{text-anchor:end}"
    // The forms: a message beside its field, what was done, a label only a reader of
    // the screen needs (the table's headings say it to the eye).
    ".notice{background:#e6f4ea;padding:.5em;border-left:4px solid #1e7b34}"
    ".error{color:#a4000f;font-weight:bold}input[aria-invalid=true]{border:2px solid #a4000f}"
    ".hidden-label{position:absolute;width:1px;height:1px;overflow:hidden;clip-path:inset(50%);white-space:nowrap}"
    ".field{margin:.6em 0}.field label{display:inline-block;min-width:9em}.actions a{margin-right:1em}"
    "button.danger{background:#a4000f;color:#fff;border:0;padding:.3em .8em}pre{white-space:pre-wrap}"
    "@media (max-width:30em){main{padding:0 .5em 1em}td,th{padding:.2em .25em}body{font-size:.85em}}\n";

}  // namespace fleet::web
