// fleet report --html: one self-contained page (no file, script or font of its own
// outside it) with the figures of `fleet stats` and charts drawn as inline SVG. Its
// size does not grow with the file: it shows sums, the 100 week numbers and 20 cars
// (and, for a period of several files, a line and a bar of each file).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "command/command.h"
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

struct Bar {
  std::string label;  // HTML already
  uint64_t value;
  std::string shown;  // the value as written
};

// Vertical bars, the value above each; with many bars only every fifth label and the
// values in each bar's tooltip.
std::string column_chart(const std::string& title, const std::vector<Bar>& bars) {
  const bool crowded = bars.size() > 20;
  const double step = crowded ? 9 : 90;
  const double width = 60 + step * static_cast<double>(bars.size());
  constexpr double kHeight = 200;
  uint64_t most = 1;
  for (const Bar& bar : bars) most = std::max(most, bar.value);
  std::string svg = "<figure><figcaption>" + escaped(title) +
                    "</figcaption>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width) +
                    "\" height=\"" + number(kHeight + 60) + "\" role=\"img\" aria-label=\"" + escaped(title) +
                    "\">\n<line x1=\"40\" y1=\"" + number(kHeight + 20) + "\" x2=\"" + number(width) + "\" y2=\"" +
                    number(kHeight + 20) + "\" class=\"axis\"/>\n";
  if (crowded) {  // no value above each bar: the scale's top instead
    svg += "<line x1=\"40\" y1=\"20\" x2=\"" + number(width) + "\" y2=\"20\" class=\"grid\"/><text x=\"45\" y=\"14\">" +
           std::to_string(most) + " km</text>\n";
  }
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& bar = bars[i];
    const double h = kHeight * static_cast<double>(bar.value) / static_cast<double>(most);
    const double x = 45 + step * static_cast<double>(i);
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
  const std::string title = "Les " + std::to_string(cars.size()) + " voitures aux kilomètres les plus nombreux";
  std::string svg = "<figure><figcaption>" + escaped(title) +
                    " : kilomètres (à gauche) et coût par kilomètre (à droite)"
                    "</figcaption>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"820\" height=\"" +
                    number(30 + kRow * static_cast<double>(cars.size())) + "\" role=\"img\" aria-label=\"" +
                    escaped(title) + "\">\n";
  svg += "<text x=\"110\" y=\"14\" class=\"head\">km</text><text x=\"470\" y=\"14\" class=\"head\">coût/km</text>\n";
  for (size_t i = 0; i < cars.size(); ++i) {
    const Car& car = cars[i];
    const double y = 22 + kRow * static_cast<double>(i);
    const double km = kBar * static_cast<double>(car.mileage) / static_cast<double>(most_km);
    const double cost = car.mileage == 0 || most_cost == 0
                            ? 0
                            : kBar * static_cast<double>(car.cents) / static_cast<double>(car.mileage) / most_cost;
    svg += "<text x=\"100\" y=\"" + number(y + 13) + "\" class=\"plate\">" + plate_html(car.plate) + "</text>";
    svg += "<rect x=\"110\" y=\"" + number(y) + "\" width=\"" + number(km) + "\" height=\"16\"/>";
    svg +=
        "<text x=\"" + number(114 + km) + "\" y=\"" + number(y + 13) + "\">" + std::to_string(car.mileage) + "</text>";
    svg += "<rect x=\"470\" y=\"" + number(y) + "\" width=\"" + number(cost) + "\" height=\"16\" class=\"cost\"/>";
    svg += "<text x=\"" + number(474 + cost) + "\" y=\"" + number(y + 13) + "\">" +
           per_kilometre(car.cents, car.mileage) + "</text>\n";
  }
  return svg + "</svg></figure>\n";
}

// A period's files in their order: a table of each one's figures and a chart of its
// kilometres, each bar named by the file's last part.
std::string files_section(const Period& period, const std::vector<FileFigures>& files) {
  std::string html =
      "<h2>Fichiers de la période</h2>\n<table id=\"fichiers\">\n<tr><th>Fichier</th><th>Articles</th>"
      "<th>Kilomètres</th><th>Frais</th><th>Coût/km</th></tr>\n";
  std::vector<Bar> bars;
  for (size_t i = 0; i < files.size(); ++i) {
    const FileFigures& file = files[i];
    const std::string& shown = period.files()[i].shown;
    html += "<tr><td>" + escaped(shown) + "</td><td class=\"n\">" + std::to_string(file.articles) +
            "</td><td class=\"n\">" + std::to_string(file.mileage) + "</td><td class=\"n\">" + money(file.cents) +
            "</td><td class=\"n\">" + per_kilometre(file.cents, file.mileage) + "</td></tr>\n";
    bars.push_back({escaped(shown.substr(shown.find_last_of('/') + 1)), file.mileage, std::to_string(file.mileage)});
  }
  return html + "</table>\n" + column_chart("Kilomètres par fichier, dans l'ordre de la période", bars);
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:2em;color:#222;background:#fff}"
    "table{border-collapse:collapse;margin:1em 0}td,th{padding:.2em .8em;border-bottom:1px solid #ccc;text-align:left}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "figure{margin:2em 0}figcaption{font-weight:bold;margin-bottom:.5em}"
    "svg rect{fill:#2c6fbb}svg rect.cost{fill:#d9822b}svg .axis{stroke:#555}svg .grid{stroke:#bbb;stroke-dasharray:4 3}"
    "svg text{font-size:11px;fill:#222}svg .value,svg .label{text-anchor:middle}svg .plate{text-anchor:end}"
    "svg .head{font-weight:bold}";

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
      "<title>Flotte : rapport</title>\n<style>" +
      std::string(kStyle) + "</style>\n</head>\n<body>\n";
  page += "<h1>Rapport de la flotte</h1>\n<p>" +
          (period.several() ? "Période de " + std::to_string(period.size()) + " fichiers d'articles"
                            : "Fichier d'articles : « " + escaped(period.files()[0].shown) + " »") +
          "</p>\n";
  page += "<table>\n";
  auto row = [&](const char* id, const char* label, const std::string& value) {
    page += std::string("<tr><th>") + label + "</th><td class=\"n\" id=\"" + id + "\">" + value + "</td></tr>\n";
  };
  row("articles", "Articles", std::to_string(stats.articles));
  row("kilometres", "Kilomètres", std::to_string(stats.mileage));
  row("frais", "Frais", money(stats.cents));
  row("prix-de-revient", "Prix de revient (par kilomètre)", per_kilometre(stats.cents, stats.mileage));
  row("semaine", "Semaine la plus roulée",
      busiest < 0 ? "-" : std::to_string(busiest) + " (" + std::to_string(stats.mileage_by_week[busiest]) + " km)");
  page += "</table>\n";
  if (period.several()) page += files_section(period, figures.files);

  std::vector<Bar> days;
  for (size_t d = 0; d < layout::kDays; ++d) {
    days.push_back({layout::kDayNames[d], stats.mileage_by_day[d], std::to_string(stats.mileage_by_day[d])});
  }
  page += column_chart("Kilomètres par jour de la semaine", days);
  std::vector<Bar> weeks;
  int first = -1;
  int last = -1;
  for (int week = 0; week <= static_cast<int>(layout::kWeekMost); ++week) {
    if (!stats.week_seen[week]) continue;
    if (first < 0) first = week;
    last = week;
  }
  for (int week = first; first >= 0 && week <= last; ++week) {
    weeks.push_back({std::to_string(week), stats.mileage_by_week[week], std::to_string(stats.mileage_by_week[week])});
  }
  if (!weeks.empty()) page += column_chart("Kilomètres par numéro de semaine", weeks);
  if (!stats.longest.empty()) page += cars_chart(stats.longest);

  page += "<h2>Coût par kilomètre le plus élevé</h2>\n<table>\n";
  for (const Car& car : stats.dearest) {
    page += "<tr><td>" + plate_html(car.plate) + "</td><td class=\"n\">" + per_kilometre(car.cents, car.mileage) +
            "</td></tr>\n";
  }
  page += "</table>\n</body>\n</html>\n";

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
