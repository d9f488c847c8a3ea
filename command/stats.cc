// fleet stats: the figures of the period, each file's and the whole's.
#include <algorithm>

#include "command/commands.h"

namespace fleet {
namespace {

// The cars of a period's list of the most kilometres.
constexpr size_t kLongestShown = 10;

// Text padded to a number of columns.
std::string padded(std::string text, size_t width) {
  const size_t used = text::columns(text);
  if (used < width) text.append(width - used, ' ');
  return text;
}

std::string right(const std::string& text, size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string plate_shown(std::string plate) {
  while (!plate.empty() && plate.back() == ' ') plate.pop_back();
  return charset::shown(plate, text::Charset::kUtf8);
}

// One line per file: its articles, kilometres, costs and cost per kilometre.
std::string files_table(const Period& period, const std::vector<FileFigures>& files) {
  size_t width = 7;  // "Fichier"
  for (const PeriodFile& file : period.files()) width = std::max(width, text::columns(file.shown));
  std::string out = "Par fichier :\n  " + padded("Fichier", width) + "  Articles  Kilomètres        Frais  Coût/km\n";
  for (size_t i = 0; i < files.size(); ++i) {
    const FileFigures& file = files[i];
    out += "  " + padded(period.files()[i].shown, width) + right(std::to_string(file.articles), 10) +
           right(std::to_string(file.mileage), 12) + right(money(file.cents), 13) +
           right(per_kilometre(file.cents, file.mileage), 9) + (file.whole ? "" : "  (lecture incomplète)") + "\n";
  }
  return out;
}

}  // namespace

int show_stats(const Context& context) {
  const Period period = context.period();
  PeriodFigures figures;
  const bool whole = gather(period, context.complainer(), &figures) && period.whole();
  const FleetStats& stats = figures.period;
  if (!whole && stats.articles == 0) return kNotDone;
  constexpr size_t kLabel = 24;
  std::string out;
  auto line = [&](const char* label, const std::string& value) { out += padded(label, kLabel) + ": " + value + "\n"; };
  if (period.several()) line("Fichiers", std::to_string(period.size()));
  line("Articles", std::to_string(stats.articles));
  line("Kilomètres", std::to_string(stats.mileage));
  line("Frais", money(stats.cents));
  line("Prix de revient", per_kilometre(stats.cents, stats.mileage) + " par kilomètre");
  const int busiest = stats.busiest_week();
  line("Semaine la plus roulée",
       busiest < 0 ? "-" : std::to_string(busiest) + " (" + std::to_string(stats.mileage_by_week[busiest]) + " km)");
  if (period.several()) out += files_table(period, figures.files);
  out += "Kilomètres par jour :\n";
  for (size_t d = 0; d < layout::kDays; ++d) {
    out += "  " + padded(layout::kDayNames[d], 10) + right(std::to_string(stats.mileage_by_day[d]), 9) + "\n";
  }
  out += "Coût par kilomètre le plus élevé :\n";
  if (stats.dearest.empty()) out += "  -\n";
  for (size_t i = 0; i < stats.dearest.size(); ++i) {
    const Car& car = stats.dearest[i];
    out += "  " + std::to_string(i + 1) + ". " + padded(plate_shown(car.plate), 10) +
           right(per_kilometre(car.cents, car.mileage), 9) + "\n";
  }
  if (period.several()) {
    out += "Kilomètres les plus nombreux sur la période :\n";
    if (stats.longest.empty()) out += "  -\n";
    for (size_t i = 0; i < stats.longest.size() && i < kLongestShown; ++i) {
      const Car& car = stats.longest[i];
      out += right(std::to_string(i + 1), 3) + ". " + padded(plate_shown(car.plate), 10) +
             right(std::to_string(car.mileage), 9) + "\n";
    }
  }
  Output output(context);
  output.words(out);
  return output.finish() && whole ? kDone : kNotDone;
}

}  // namespace fleet
