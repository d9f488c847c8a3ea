// The period: its files found, each read in one pass, and the figures, weeks and pages
// computed from those passes.
#include "operations/period.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>

#include "charset/charset.h"
#include "operations/context.h"
#include "storage/open.h"

namespace fleet {
namespace {

// The first bytes of every SQLite database: what tells an article file in a folder from
// the exports, notes and pages people keep beside the weeks.
constexpr char kSqliteHeader[] = "SQLite format 3";  // and its terminating zero byte

bool ends_with(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Whether the entry name of a folder is one of the period's files.
bool article_file(const std::string& path, const std::string& name) {
  if (name.empty() || name[0] == '.' || ends_with(name, "-wal") || ends_with(name, "-shm") ||
      ends_with(name, "-journal") || name.find(".partial-") != std::string::npos) {
    return false;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // one that cannot be read is the period's: its open says why
  char header[sizeof kSqliteHeader];
  const bool sqlite =
      ::read(fd, header, sizeof header) == sizeof header && std::memcmp(header, kSqliteHeader, sizeof header) == 0;
  ::close(fd);
  return sqlite;
}

// A plate, then file order, or a figure first: the order of entries.
struct Placed {
  std::string_view plate;
  size_t file;
  uint32_t week;
  uint64_t mileage;
  uint64_t cents;
};

Placed placed(const PageKey& key) { return {key.plate, key.file, key.week, key.mileage, key.cents}; }
Placed placed(const PageEntry& entry) {
  return {entry.article.plate, entry.file, entry.article.week, entry.article.mileage(), entry.article.cents()};
}

template <class T>
int compared(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

bool before(const Placed& a, const Placed& b, Order order, bool descending) {
  int figure = 0;
  switch (order) {
    case Order::kPlate:
      figure = a.plate.compare(b.plate);
      break;
    case Order::kWeek:
      figure = compared(a.week, b.week);
      break;
    case Order::kMileage:
      figure = compared(a.mileage, b.mileage);
      break;
    case Order::kCosts:
      figure = compared(a.cents, b.cents);
      break;
    case Order::kCostPerKilometre:
      // Without kilometres there is no cost per kilometre: those come last either way.
      if ((a.mileage == 0) != (b.mileage == 0)) return a.mileage != 0;
      if (a.mileage != 0) {
        figure = compared(static_cast<unsigned __int128>(a.cents) * b.mileage,
                          static_cast<unsigned __int128>(b.cents) * a.mileage);
      }
      break;
  }
  if (figure != 0) return descending ? figure > 0 : figure < 0;
  if (a.plate != b.plate) return a.plate < b.plate;
  return a.file < b.file;
}

// The cars of the figures: most kilometres, highest cost per kilometre, the smaller
// plate first among equals.
bool longer(const Car& a, const Car& b) { return a.mileage != b.mileage ? a.mileage > b.mileage : a.plate < b.plate; }
bool dearer(const Car& a, const Car& b) {
  const auto x = static_cast<unsigned __int128>(a.cents) * b.mileage;
  const auto y = static_cast<unsigned __int128>(b.cents) * a.mileage;
  return x != y ? x > y : a.plate < b.plate;
}

// Keeps the most of best cars in order.
template <class Better>
void rank(std::vector<Car>& best, size_t most, const Car& car, Better better) {
  if (best.size() == most && !better(car, best.back())) return;
  best.insert(std::upper_bound(best.begin(), best.end(), car, better), car);
  if (best.size() > most) best.pop_back();
}

void rank(FleetStats& stats, const Car& car) {
  if (car.mileage > 0) rank(stats.dearest, FleetStats::kDearest, car, dearer);
  rank(stats.longest, FleetStats::kLongest, car, longer);
}

// The cars of a period, each one's sums over the files read so far, in plate order.
// Each file comes in plate order too, so adding one is a walk along both: the same
// fleet week after week costs one comparison an article, and memory one car a plate.
class CarSums {
 public:
  void add(const Article& article) {
    while (at_ < cars_.size() && cars_[at_].plate < article.plate) ++at_;
    Car* car = at_ < cars_.size() && cars_[at_].plate == article.plate ? &cars_[at_] : nullptr;
    if (car == nullptr) car = &added_.emplace_back(Car{article.plate, 0, 0});
    car->mileage += article.mileage();
    car->cents += article.cents();
  }
  // After each file: the cars it added take their places.
  void end_file() {
    const size_t old = cars_.size();
    cars_.insert(cars_.end(), std::make_move_iterator(added_.begin()), std::make_move_iterator(added_.end()));
    std::inplace_merge(cars_.begin(), cars_.begin() + static_cast<ptrdiff_t>(old), cars_.end(),
                       [](const Car& a, const Car& b) { return a.plate < b.plate; });
    added_.clear();
    at_ = 0;
  }
  const std::vector<Car>& cars() const { return cars_; }

 private:
  std::vector<Car> cars_;
  std::vector<Car> added_;
  size_t at_ = 0;
};

std::string quoted(const PeriodFile& file) { return "« " + file.shown + " »"; }

std::string quoted_plate(std::string_view plate) {
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return "« " + charset::shown(plate, text::Charset::kUtf8) + " »";
}

}  // namespace

std::string shown_file_name(std::string_view name) { return charset::harmless(storage::shown_name(name)); }

Period Period::of(const std::vector<std::string>& names, const Complain& complain) {
  namespace fs = std::filesystem;
  Period period;
  for (const std::string& name : names) {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      period.files_.push_back({name, shown_file_name(name)});
      continue;
    }
    const std::string shown = "« " + shown_file_name(name) + " »";
    std::vector<std::string> entries;
    std::error_code error;
    for (fs::directory_iterator it(name, error), end; !error && it != end; it.increment(error)) {
      entries.push_back(it->path().filename().string());
    }
    if (error) {
      complain("impossible de lire le dossier " + shown + " : " + error.message());
      period.whole_ = false;
      continue;
    }
    std::sort(entries.begin(), entries.end());
    const std::string folder = ends_with(name, "/") ? name : name + "/";
    size_t found = 0;
    for (const std::string& entry : entries) {
      if (!article_file(folder + entry, entry)) continue;
      period.files_.push_back({folder + entry, shown_file_name(folder + entry)});
      ++found;
    }
    if (found == 0) {
      complain("aucun fichier d'articles dans le dossier " + shown);
      period.whole_ = false;
    }
  }
  return period;
}

std::unique_ptr<storage::Storage> Period::open(size_t i, const Complain& complain) const {
  storage::Opened opened = open_article_file(files_[i].name, storage::StorageMode::kInput);
  if (!opened.result.ok()) {
    complain("impossible d'ouvrir le fichier d'articles " + quoted(files_[i]) + " : " + failure_account(opened.result));
    return nullptr;
  }
  return std::move(opened.storage);
}

std::string Period::in_file(size_t i) const { return several() ? " dans " + quoted(files_[i]) : std::string(); }

bool scan_open(storage::Storage& articles, std::string_view left_out, const std::string& in_file,
               const Complain& complain, const std::function<bool(const Article&)>& each) {
  bool whole = true;
  Article article;
  std::string field;
  const storage::Result scanned = articles.scan([&](std::string_view record) {
    if (decode(record, &article, &field)) return each(article);
    complain("article " + quoted_plate(article.plate) + " " + std::string(left_out) + in_file + " : " + field +
             " n'est pas fait de chiffres");
    whole = false;
    return true;
  });
  if (!scanned.ok()) {
    complain("lecture du fichier d'articles " + (in_file.empty() ? std::string() : in_file.substr(6) + " ") +
             "interrompue : " + failure_account(scanned));
    whole = false;
  }
  return whole;
}

bool Period::scan(size_t i, std::string_view left_out, const Complain& complain,
                  const std::function<bool(const Article&)>& each) const {
  const std::unique_ptr<storage::Storage> articles = open(i, complain);
  return articles && scan_open(*articles, left_out, in_file(i), complain, each);
}

bool gather_open(storage::Storage& articles, const Complain& complain, FleetStats* stats) {
  return scan_open(articles, "illisible", {}, complain, [&](const Article& article) {
    stats->add(article);
    for (size_t d = 0; d < layout::kDays; ++d) stats->mileage_by_day[d] += article.days[d].mileage;
    stats->mileage_by_week[article.week] += article.mileage();
    stats->week_seen[article.week] = true;
    rank(*stats, Car{article.plate, article.mileage(), article.cents()});
    return true;
  });
}

int FleetStats::busiest_week() const {
  int busiest = -1;
  for (size_t week = 0; week < mileage_by_week.size(); ++week) {
    if (week_seen[week] && (busiest < 0 || mileage_by_week[week] > mileage_by_week[busiest])) {
      busiest = static_cast<int>(week);
    }
  }
  return busiest;
}

std::vector<int> FleetStats::charted_weeks() const {
  int first = -1;
  int last = -1;
  for (int week = 0; week <= static_cast<int>(layout::kWeekMost); ++week) {
    if (!week_seen[week]) continue;
    if (first < 0) first = week;
    last = week;
  }
  std::vector<int> weeks;
  for (int week = first; first >= 0 && week <= last; ++week) weeks.push_back(week);
  return weeks;
}

bool gather(const Period& period, const Complain& complain, PeriodFigures* figures) {
  *figures = {};
  figures->files.resize(period.size());
  FleetStats& all = figures->period;
  // A car's sums over several files: a car has an article in each week it drove.
  CarSums cars;
  bool whole = true;
  for (size_t i = 0; i < period.size(); ++i) {
    FileFigures& file = figures->files[i];
    file.whole = period.scan(i, "illisible", complain, [&](const Article& article) {
      file.add(article);
      all.add(article);
      for (size_t d = 0; d < layout::kDays; ++d) all.mileage_by_day[d] += article.days[d].mileage;
      all.mileage_by_week[article.week] += article.mileage();
      all.week_seen[article.week] = true;
      if (!period.several()) {
        rank(all, Car{article.plate, article.mileage(), article.cents()});
      } else {
        cars.add(article);
      }
      return true;
    });
    cars.end_file();
    whole = whole && file.whole;
  }
  for (const Car& car : cars.cars()) rank(all, car);
  return whole;
}

bool plates_articles(const Period& period, const std::vector<std::string>& plates, const Complain& complain,
                     const std::function<void(size_t file, const Article&)>& each, std::vector<bool>* found) {
  const std::set<std::string> sorted(plates.begin(), plates.end());
  std::set<std::string> seen;
  bool whole = true;
  std::string record(layout::kRecordLength, '\0');
  Article article;
  std::string field;
  for (size_t i = 0; i < period.size(); ++i) {
    const std::unique_ptr<storage::Storage> articles = period.open(i, complain);
    if (!articles) {
      whole = false;
      continue;
    }
    for (const std::string& plate : sorted) {
      const storage::Result read = articles->read_key(plate.data(), record.data());
      if (read.status == storage::FileStatus::kNoSuchKey) continue;
      if (!read.ok()) {
        complain("lecture de l'article " + quoted_plate(plate) + period.in_file(i) + " : " + failure_account(read));
        whole = false;
      } else if (!decode(record, &article, &field)) {
        complain("article " + quoted_plate(plate) + " illisible" + period.in_file(i) + " : " + field +
                 " n'est pas fait de chiffres");
        whole = false;
      } else {
        seen.insert(plate);
        each(i, article);
      }
    }
  }
  found->clear();
  for (const std::string& plate : plates) found->push_back(seen.count(plate) > 0);
  return whole;
}

bool car_weeks(const Period& period, std::string_view plate, const Complain& complain, CarWeeks* car) {
  *car = {};
  car->articles.resize(period.size());
  std::vector<bool> found;
  return plates_articles(
      period, {std::string(plate)}, complain,
      [&](size_t file, const Article& article) {
        car->articles[file] = article;
        car->totals.add(article);
      },
      &found);
}

PageKey PageEntry::key() const { return {article.plate, file, article.week, article.mileage(), article.cents()}; }

bool read_page(const Period& period, const PageRequest& request, const Complain& complain, Page* page) {
  page->entries.clear();
  page->more = false;
  const size_t keep = request.limit == 0 ? std::numeric_limits<size_t>::max() : request.limit + 1;
  const bool by_plate = request.order == Order::kPlate && !request.descending;
  auto earlier = [&](const PageEntry& a, const PageEntry& b) {
    return before(placed(a), placed(b), request.order, request.descending);
  };
  // The entries kept so far; once there are keep of them, a heap with the last on top.
  std::vector<PageEntry>& kept = page->entries;
  bool whole = true;
  for (size_t i = 0; i < period.size(); ++i) {
    size_t taken = 0;  // by plate, what follows this many of a file's entries is past the page
    whole = period.scan(i, "illisible", complain, [&](const Article& article) {
      const int placed_prefix = article.plate.compare(0, request.prefix.size(), request.prefix);
      if (placed_prefix != 0) return !(by_plate && placed_prefix > 0);
      PageEntry entry{i, article};
      if (request.after && !before(placed(*request.after), placed(entry), request.order, request.descending)) {
        return true;
      }
      if (kept.size() < keep) {
        kept.push_back(std::move(entry));
        if (kept.size() == keep) std::make_heap(kept.begin(), kept.end(), earlier);
      } else if (earlier(entry, kept.front())) {
        std::pop_heap(kept.begin(), kept.end(), earlier);
        kept.back() = std::move(entry);
        std::push_heap(kept.begin(), kept.end(), earlier);
      }
      return !(by_plate && ++taken == keep);
    }) && whole;
  }
  std::sort(kept.begin(), kept.end(), earlier);
  if (kept.size() > request.limit && request.limit > 0) {
    kept.pop_back();
    page->more = true;
  }
  return whole;
}

bool typed_plate(std::string_view typed, text::Charset charset, std::string* plate, std::string* why) {
  if (charset == text::Charset::kUtf8) {
    if (!charset::to_latin1(typed, plate)) {
      *why = "l'immatriculation contient un caractère hors Latin-1";
      return false;
    }
  } else {
    plate->assign(typed);
  }
  if (plate->size() > layout::kPlate.width) {
    *why = "l'immatriculation a plus de " + std::to_string(layout::kPlate.width) + " caractères";
    return false;
  }
  plate->resize(layout::kPlate.width, ' ');
  return true;
}

}  // namespace fleet
