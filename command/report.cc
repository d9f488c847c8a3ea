// fleet report --html: one self-contained page (no file, script or font of its own
// outside it) with the figures of `fleet stats` and charts drawn as inline SVG. Its
// size does not grow with the file: it shows sums, the 100 week numbers and 20 cars
// (and, for a period of several files, a line and a bar of each file).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "command/commands.h"
#include "command/replace_file.h"

namespace fleet {
namespace {

std::string escaped(std::string_view utf8) {
  std::string out;
  for (const char c : utf8) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A stored plate for the page: control bytes marked, then escaped.
std::string plate_html(std::string_view plate) {
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return escaped(charset::shown(plate, charset::Charset::kUtf8));
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// French figures, as a French reader writes them: digits grouped by three with a narrow
// no-break space (U+202F, the one space of the page's figures), a decimal comma, the
// euro after a space: 79 275,63 €.
constexpr char kSpace[] = "\u202F";

std::string grouped(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += kSpace;
    out += digits[i];
  }
  return out;
}

std::string euros(uint64_t cents) {
  const std::string decimals = money(cents % 100);  // "0.63"
  return grouped(cents / 100) + "," + decimals.substr(2) + kSpace + "€";
}

// A cost per kilometre in euros, three decimals; "-" without kilometres.
std::string euros_per_kilometre(uint64_t cents, uint64_t kilometres) {
  std::string text = per_kilometre(cents, kilometres);
  if (text == "-") return text;
  const size_t point = text.find('.');
  return grouped(std::stoull(text.substr(0, point))) + "," + text.substr(point + 1) + kSpace + "€";
}

// The scale of an axis from 0 to at least most: a round step (1, 2 or 5 times a power
// of ten) giving at most five ticks.
double scale_step(double most) {
  if (most <= 0) return 1;
  double power = 1;
  while (power * 10 <= most / 5) power *= 10;
  while (power > most / 5 && power > 1e-3) power /= 10;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (most / (power * factor) <= 5) return power * factor;
  }
  return power * 10;
}

// The date of the page, in French: "9 décembre 2026 à 14:05".
std::string made_on() {
  static const char* const kMonths[] = {"janvier", "février", "mars",      "avril",   "mai",      "juin",
                                        "juillet", "août",    "septembre", "octobre", "novembre", "décembre"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return "?";
  char time_of_day[8];
  std::snprintf(time_of_day, sizeof time_of_day, "%02d:%02d", local.tm_hour, local.tm_min);
  return std::to_string(local.tm_mday) + (local.tm_mday == 1 ? "er " : " ") + kMonths[local.tm_mon] + " " +
         std::to_string(local.tm_year + 1900) + " à " + time_of_day;
}

// A horizontal axis under bars from x0, width wide for 0 to top: a tick and its value
// every step.
std::string axis_ticks(double x0, double width, double y, double top, double step, bool decimals) {
  std::string svg = "<line x1=\"" + number(x0) + "\" y1=\"" + number(y) + "\" x2=\"" + number(x0 + width) + "\" y2=\"" +
                    number(y) + "\" class=\"axis\"/>";
  for (double v = 0; v <= top + step / 2; v += step) {
    const double x = x0 + width * v / top;
    char shown[32];
    std::snprintf(shown, sizeof shown, decimals ? "%.2f" : "%.0f", v);
    std::string text = shown;
    if (const size_t point = text.find('.'); point != std::string::npos) text[point] = ',';
    if (!decimals) text = grouped(static_cast<uint64_t>(v));
    svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(y) + "\" x2=\"" + number(x) + "\" y2=\"" + number(y + 4) +
           "\" class=\"axis\"/><text x=\"" + number(x) + "\" y=\"" + number(y + 15) + "\" class=\"value\">" + text +
           "</text>";
  }
  return svg + "\n";
}

// An svg element of that size that shrinks to the width of its box (a phone's).
std::string svg_open(double width, double height, const std::string& title) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width) + "\" height=\"" + number(height) +
         "\" viewBox=\"0 0 " + number(width) + " " + number(height) + "\" role=\"img\" aria-label=\"" + escaped(title) +
         "\">\n";
}

struct Bar {
  std::string label;  // HTML already
  uint64_t value;
  std::string shown;  // the value as written
};

// Vertical bars on a scale of kilometres (ticks on the left axis), the value above
// each; with many bars only every fifth label and the values in each bar's tooltip.
std::string column_chart(const std::string& title, const std::vector<Bar>& bars) {
  const bool crowded = bars.size() > 20;
  const double step = crowded ? 9 : 90;
  constexpr double kLeft = 60;
  const double width = kLeft + 20 + step * static_cast<double>(bars.size());
  constexpr double kHeight = 200;
  uint64_t most = 1;
  for (const Bar& bar : bars) most = std::max(most, bar.value);
  const double tick = scale_step(static_cast<double>(most));
  const double top = tick * std::ceil(static_cast<double>(most) / tick);
  std::string svg = "<figure><figcaption>" + escaped(title) + " (km)</figcaption>\n" +
                    svg_open(width, kHeight + 60, title) + "<line x1=\"" + number(kLeft) + "\" y1=\"" +
                    number(kHeight + 20) + "\" x2=\"" + number(width) + "\" y2=\"" + number(kHeight + 20) +
                    "\" class=\"axis\"/><line x1=\"" + number(kLeft) + "\" y1=\"20\" x2=\"" + number(kLeft) +
                    "\" y2=\"" + number(kHeight + 20) + "\" class=\"axis\"/>\n";
  for (double v = 0; v <= top + tick / 2; v += tick) {
    const double y = kHeight + 20 - kHeight * v / top;
    svg += "<line x1=\"" + number(kLeft - 4) + "\" y1=\"" + number(y) + "\" x2=\"" + number(width) + "\" y2=\"" +
           number(y) + "\" class=\"" + (v == 0 ? "axis" : "grid") + "\"/><text x=\"" + number(kLeft - 6) + "\" y=\"" +
           number(y + 4) + "\" class=\"tick\">" + grouped(static_cast<uint64_t>(v)) + "</text>\n";
  }
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& bar = bars[i];
    const double h = kHeight * static_cast<double>(bar.value) / top;
    const double x = kLeft + 5 + step * static_cast<double>(i);
    svg += "<rect x=\"" + number(x) + "\" y=\"" + number(kHeight + 20 - h) + "\" width=\"" + number(step * 0.75) +
           "\" height=\"" + number(h) + "\"><title>" + bar.label + " : " + bar.shown + "</title></rect>";
    if (!crowded) {
      svg += "<text x=\"" + number(x + step * 0.375) + "\" y=\"" + number(kHeight + 14 - h) + "\" class=\"value\">" +
             bar.shown + "</text>";
    }
    if (!crowded || i % 5 == 0) {
      svg += "<text x=\"" + number(x + step * 0.375) + "\" y=\"" + number(kHeight + 38) + "\" class=\"label\">" +
             bar.label + "</text>";
    }
    svg += "\n";
  }
  return svg + "</svg></figure>\n";
}

// The cars with the most kilometres: a row each, kilometres and cost per kilometre
// side by side as horizontal bars.
std::string cars_chart(const std::vector<Car>& cars) {
  constexpr double kRow = 22;
  constexpr double kBar = 260;
  uint64_t most_km = 1;
  double most_cost = 0;
  for (const Car& car : cars) {
    most_km = std::max(most_km, car.mileage);
    if (car.mileage > 0)
      most_cost = std::max(most_cost, static_cast<double>(car.cents) / static_cast<double>(car.mileage));
  }
  const double km_step = scale_step(static_cast<double>(most_km));
  const double km_top = km_step * std::ceil(static_cast<double>(most_km) / km_step);
  const double cost_step = scale_step(most_cost / 100);
  const double cost_top = std::max(cost_step, cost_step * std::ceil(most_cost / 100 / cost_step - 1e-9));
  const std::string title = "Les " + std::to_string(cars.size()) + " voitures aux kilomètres les plus nombreux";
  const double bottom = 22 + kRow * static_cast<double>(cars.size());
  std::string svg = "<figure><figcaption>" + escaped(title) +
                    " : kilomètres (à gauche) et coût par kilomètre en euros (à droite)</figcaption>\n" +
                    svg_open(820, bottom + 24, title);
  svg += "<text x=\"110\" y=\"14\" class=\"head\">km</text><text x=\"470\" y=\"14\" class=\"head\">€/km</text>\n";
  svg += axis_ticks(110, kBar, bottom + 2, km_top, km_step, false);
  svg += axis_ticks(470, kBar, bottom + 2, cost_top, cost_step, true);
  for (size_t i = 0; i < cars.size(); ++i) {
    const Car& car = cars[i];
    const double y = 22 + kRow * static_cast<double>(i);
    const double km = kBar * static_cast<double>(car.mileage) / km_top;
    const double cost = car.mileage == 0
                            ? 0
                            : kBar * static_cast<double>(car.cents) / static_cast<double>(car.mileage) / 100 / cost_top;
    svg += "<text x=\"100\" y=\"" + number(y + 13) + "\" class=\"plate\">" + plate_html(car.plate) + "</text>";
    svg += "<rect x=\"110\" y=\"" + number(y) + "\" width=\"" + number(km) + "\" height=\"16\"/>";
    svg += "<text x=\"" + number(114 + km) + "\" y=\"" + number(y + 13) + "\">" + grouped(car.mileage) + "</text>";
    svg += "<rect x=\"470\" y=\"" + number(y) + "\" width=\"" + number(cost) + "\" height=\"16\" class=\"cost\"/>";
    svg += "<text x=\"" + number(474 + cost) + "\" y=\"" + number(y + 13) + "\">" +
           euros_per_kilometre(car.cents, car.mileage) + "</text>\n";
  }
  return svg + "</svg></figure>\n";
}

// A period's files in their order: a table of each one's figures and a chart of its
// kilometres, each bar named by the file's last part.
std::string files_section(const Period& period, const std::vector<FileFigures>& files) {
  std::string html =
      "<h2>Fichiers de la période</h2>\n<div class=\"table\"><table id=\"fichiers\">\n<tr><th>Fichier</th>"
      "<th>Articles</th><th>Kilomètres</th><th>Frais</th><th>Coût/km</th></tr>\n";
  std::vector<Bar> bars;
  for (size_t i = 0; i < files.size(); ++i) {
    const FileFigures& file = files[i];
    const std::string& shown = period.files()[i].shown;
    html += "<tr><td>" + escaped(shown) + "</td><td class=\"n\">" + grouped(file.articles) + "</td><td class=\"n\">" +
            grouped(file.mileage) + "</td><td class=\"n\">" + euros(file.cents) + "</td><td class=\"n\">" +
            euros_per_kilometre(file.cents, file.mileage) + "</td></tr>\n";
    bars.push_back({escaped(shown.substr(shown.find_last_of('/') + 1)), file.mileage, grouped(file.mileage)});
  }
  return html + "</table></div>\n" + column_chart("Kilomètres par fichier, dans l'ordre de la période", bars);
}

// On a phone nothing is wider than the screen: charts shrink to their box, a table
// too wide scrolls inside its own, long names wrap. On paper: A4, a chart or a table
// never cut across two pages.
constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1em auto;padding:0 1em;max-width:60em;color:#222;background:#fff}"
    "p,td,th{overflow-wrap:anywhere}svg{max-width:100%;height:auto}div.table{max-width:100%;overflow-x:auto}"
    "table{border-collapse:collapse;margin:1em 0}td,th{padding:.2em .8em;border-bottom:1px solid #ccc;text-align:left}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "figure{margin:2em 0}figcaption{font-weight:bold;margin-bottom:.5em}"
    "svg rect{fill:#2c6fbb}svg rect.cost{fill:#d9822b}svg .axis{stroke:#555}svg .grid{stroke:#bbb;stroke-dasharray:4 3}"
    "svg text{font-size:11px;fill:#222}svg .value,svg .label{text-anchor:middle}svg .plate{text-anchor:end}"
    "svg .head{font-weight:bold}svg .tick{text-anchor:end}"
    "@page{size:A4;margin:15mm}@media print{body{margin:0;padding:0;max-width:none}"
    "figure,table,tr{break-inside:avoid}h2{break-after:avoid}div.table{overflow:visible}}";

}  // namespace

int write_report(const Context& context, const std::string& destination) {
  const Period period = context.period();
  PeriodFigures figures;
  const bool whole = gather(period, context.complainer(), &figures) && period.whole();
  const FleetStats& stats = figures.period;
  if (!whole && stats.articles == 0) return kNotDone;

  const int busiest = stats.busiest_week();
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Flotte : rapport</title>\n<style>" +
      std::string(kStyle) + "</style>\n</head>\n<body>\n";
  const std::vector<PeriodFile>& files = period.files();
  page += "<h1>Rapport de la flotte</h1>\n<p id=\"couvre\">" +
          (period.several() ? "Période de " + std::to_string(period.size()) + " fichiers d'articles, de « " +
                                  escaped(files.front().shown) + " » à « " + escaped(files.back().shown) + " »"
                            : "Fichier d'articles : « " + escaped(files[0].shown) + " »") +
          "</p>\n<p id=\"date\">Établi le " + made_on() + "</p>\n";
  page += "<div class=\"table\"><table>\n<tr><th>Chiffre</th><th>Valeur</th></tr>\n";
  auto row = [&](const char* id, const char* label, const std::string& value) {
    page += std::string("<tr><td>") + label + "</td><td class=\"n\" id=\"" + id + "\">" + value + "</td></tr>\n";
  };
  row("articles", "Articles", grouped(stats.articles));
  row("kilometres", "Kilomètres", grouped(stats.mileage));
  row("frais", "Frais", euros(stats.cents));
  row("prix-de-revient", "Prix de revient (par kilomètre)", euros_per_kilometre(stats.cents, stats.mileage));
  row("semaine", "Semaine la plus roulée",
      busiest < 0 ? "-" : std::to_string(busiest) + " (" + grouped(stats.mileage_by_week[busiest]) + kSpace + "km)");
  page += "</table></div>\n";
  if (period.several()) page += files_section(period, figures.files);

  std::vector<Bar> days;
  for (size_t d = 0; d < layout::kDays; ++d) {
    days.push_back({layout::kDayNames[d], stats.mileage_by_day[d], grouped(stats.mileage_by_day[d])});
  }
  page += column_chart("Kilomètres par jour de la semaine", days);
  std::vector<Bar> weeks;
  for (const int week : stats.charted_weeks()) {
    weeks.push_back({std::to_string(week), stats.mileage_by_week[week], grouped(stats.mileage_by_week[week])});
  }
  if (!weeks.empty()) page += column_chart("Kilomètres par numéro de semaine", weeks);
  if (!stats.longest.empty()) page += cars_chart(stats.longest);

  page +=
      "<h2>Coût par kilomètre le plus élevé</h2>\n<div class=\"table\"><table>\n"
      "<tr><th>Immatriculation</th><th>Coût par kilomètre</th></tr>\n";
  for (const Car& car : stats.dearest) {
    page += "<tr><td>" + plate_html(car.plate) + "</td><td class=\"n\">" + euros_per_kilometre(car.cents, car.mileage) +
            "</td></tr>\n";
  }
  page += "</table></div>\n</body>\n</html>\n";

  if (destination == "-") {
    Output output(context);
    output.write(page);
    return output.finish() && whole ? kDone : kNotDone;
  }
  if (!replace_file(destination, page)) {
    context.complain("impossible d'écrire la page " + destination + " : " + std::strerror(errno));
    return kNotDone;
  }
  return whole ? kDone : kNotDone;
}

}  // namespace fleet
