// fleet stats: the fleet's figures in one pass over the article file.
#include "command/stats.h"

#include <algorithm>

namespace fleet {
namespace {

// True when a costs more per kilometre than b (both have kilometres).
bool dearer(const Car& a, const Car& b) { return a.cents * b.mileage > b.cents * a.mileage; }
bool longer(const Car& a, const Car& b) { return a.mileage > b.mileage; }

// Keeps the most of best cars in order; among equals the first seen (the smaller plate)
// stays first.
template <class Better>
void rank(std::vector<Car>& best, size_t most, const Car& car, Better better) {
  if (best.size() == most && !better(car, best.back())) return;
  const auto place =
      std::upper_bound(best.begin(), best.end(), car, [&](const Car& a, const Car& b) { return better(a, b); });
  best.insert(place, car);
  if (best.size() > most) best.pop_back();
}

// Text padded to a number of columns.
std::string padded(std::string text, size_t width) {
  const size_t used = text::columns(text, text::Charset::kUtf8);
  if (used < width) text.append(width - used, ' ');
  return text;
}

std::string right(const std::string& text, size_t width) {
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

}  // namespace

int FleetStats::busiest_week() const {
  int busiest = -1;
  for (size_t week = 0; week < mileage_by_week.size(); ++week) {
    if (week_seen[week] && (busiest < 0 || mileage_by_week[week] > mileage_by_week[busiest])) {
      busiest = static_cast<int>(week);
    }
  }
  return busiest;
}

bool gather(const Context& context, FleetStats* stats) {
  const std::unique_ptr<storage::Storage> articles = open_articles(context, storage::StorageMode::kInput);
  return articles && gather(context, *articles, stats);
}

bool gather(const Context& context, storage::Storage& articles, FleetStats* stats) {
  const bool whole = each_article(context, articles, "illisible", [&](const Article& article) {
    const Car car{article.plate, article.mileage(), article.cents()};
    ++stats->articles;
    stats->mileage += car.mileage;
    stats->cents += car.cents;
    for (size_t d = 0; d < layout::kDays; ++d) stats->mileage_by_day[d] += article.days[d].mileage;
    stats->mileage_by_week[article.week] += car.mileage;
    stats->week_seen[article.week] = true;
    if (car.mileage > 0) rank(stats->dearest, FleetStats::kDearest, car, dearer);
    rank(stats->longest, FleetStats::kLongest, car, longer);
  });
  return whole;
}

int show_stats(const Context& context) {
  FleetStats stats;
  const bool whole = gather(context, &stats);
  if (!whole && stats.articles == 0) return kNotDone;
  constexpr size_t kLabel = 24;
  std::string out;
  auto line = [&](const char* label, const std::string& value) { out += padded(label, kLabel) + ": " + value + "\n"; };
  line("Articles", std::to_string(stats.articles));
  line("Kilomètres", std::to_string(stats.mileage));
  line("Frais", money(stats.cents));
  line("Prix de revient", per_kilometre(stats.cents, stats.mileage) + " par kilomètre");
  const int busiest = stats.busiest_week();
  line("Semaine la plus roulée",
       busiest < 0 ? "-" : std::to_string(busiest) + " (" + std::to_string(stats.mileage_by_week[busiest]) + " km)");
  out += "Kilomètres par jour :\n";
  for (size_t d = 0; d < layout::kDays; ++d) {
    out += "  " + padded(layout::kDayNames[d], 10) + right(std::to_string(stats.mileage_by_day[d]), 9) + "\n";
  }
  out += "Coût par kilomètre le plus élevé :\n";
  if (stats.dearest.empty()) out += "  -\n";
  for (size_t i = 0; i < stats.dearest.size(); ++i) {
    const Car& car = stats.dearest[i];
    std::string plate = car.plate;
    while (!plate.empty() && plate.back() == ' ') plate.pop_back();
    out += "  " + std::to_string(i + 1) + ". " + padded(text::shown(plate, text::Charset::kUtf8), 10) +
           right(per_kilometre(car.cents, car.mileage), 9) + "\n";
  }
  Output output(context);
  output.words(out);
  return output.finish() && whole ? kDone : kNotDone;
}

}  // namespace fleet
