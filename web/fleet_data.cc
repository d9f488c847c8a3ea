// The period of fleet serve, read through the fleet command's functions.
#include "web/fleet_data.h"

#include <algorithm>

#include "storage/open.h"

namespace fleet::web {
namespace {

// A mark of what the file holds now: two equal marks of one open storage mean that
// nothing was stored between them.
bool file_mark(storage::Storage& storage, std::string* mark) { return storage.version(mark).ok(); }

// The cars of the period, each with its sums over the files, ranked as fleet stats
// ranks those of one file.
void rank_period(const Listing& listing, FleetStats* period) {
  std::vector<Car> cars;
  for (const Entry& entry : listing.entries) {
    if (cars.empty() || cars.back().plate != entry.plate_bytes()) cars.push_back({std::string(entry.plate_bytes())});
    cars.back().mileage += entry.mileage;
    cars.back().cents += entry.cents;
  }
  // Among equals the smaller plate first: cars are in plate order, and the sorts stable.
  std::vector<Car> longest = cars;
  std::stable_sort(longest.begin(), longest.end(), [](const Car& a, const Car& b) { return a.mileage > b.mileage; });
  longest.resize(std::min(longest.size(), FleetStats::kLongest));
  std::vector<Car> dearest;
  for (const Car& car : cars) {
    if (car.mileage > 0) dearest.push_back(car);
  }
  std::stable_sort(dearest.begin(), dearest.end(),
                   [](const Car& a, const Car& b) { return a.cents * b.mileage > b.cents * a.mileage; });
  dearest.resize(std::min(dearest.size(), FleetStats::kDearest));
  period->longest = std::move(longest);
  period->dearest = std::move(dearest);
}

void add(const FleetStats& file, FleetStats* period) {
  period->articles += file.articles;
  period->mileage += file.mileage;
  period->cents += file.cents;
  for (size_t d = 0; d < layout::kDays; ++d) period->mileage_by_day[d] += file.mileage_by_day[d];
  for (size_t w = 0; w <= layout::kWeekMost; ++w) {
    period->mileage_by_week[w] += file.mileage_by_week[w];
    period->week_seen[w] = period->week_seen[w] || file.week_seen[w];
  }
}

// The files that the names stand for, a folder for its article files in name order, as
// the reading commands take a period: the last one, where new articles go, is a
// folder's newest by its name. A folder is looked into once, at the start.
std::vector<std::string> period_files(const Context& context, const std::vector<std::string>& names) {
  std::vector<std::string> files;
  const Period period = Period::of(names, context.complainer());
  for (const PeriodFile& file : period.files()) files.push_back(file.name);
  return files;
}

}  // namespace

FleetData::FleetData(const Context& context, std::vector<std::string> files)
    : context_(context),
      files_(period_files(context, files)),
      watch_(files_.size()),
      writable_(files_.size()),
      problems_(files_.size()) {}

FleetData::~FleetData() = default;

std::string FleetData::shown_file(size_t file) const { return storage::shown_name(files_[file]); }

storage::Storage* FleetData::watched(size_t file) {
  if (!watch_[file]) {
    // Each file is kept open to write when it may be, so that the forms' changes go
    // through the one storage of the file; one that is not there is not made (35), and
    // one the server may only read is shown all the same.
    const auto open = [&](storage::StorageMode mode) {
      return storage::open_storage({files_[file], "ARTICLES", layout::kShape, mode, "fleet"});
    };
    // The probe is closed before the file is opened again: closing a descriptor of a
    // file drops every lock this process holds on it, the other open's among them.
    storage::Opened opened = open(storage::StorageMode::kInput);
    if (opened.result.ok()) {
      opened.storage->close();
      opened = open(storage::StorageMode::kInputOutput);
      writable_[file] = opened.result.ok();
      if (!opened.result.ok()) opened = open(storage::StorageMode::kInput);
    }
    if (opened.result.ok()) {
      watch_[file] = std::move(opened.storage);
      problems_[file].clear();
    } else {
      problems_[file] = failure_account(opened.result);
    }
  }
  return watch_[file].get();
}

std::vector<std::string> FleetData::marks(Clock::time_point asked) {
  // A look that began after the request came saw every change made before it: the
  // requests that waited for this lock while it ran take its marks.
  if (looked_ > asked) return marks_;
  looked_ = Clock::now();
  std::vector<std::string> marks(files_.size());
  for (size_t file = 0; file < files_.size(); ++file) {
    storage::Storage* storage = watched(file);
    if (storage == nullptr) {
      marks[file] = "absent " + problems_[file];  // the same until the file can be opened
    } else if (!file_mark(*storage, &marks[file])) {
      watch_[file].reset();  // opened again at the next request
      marks[file] = "#" + std::to_string(++unknown_);
    }
  }
  marks_ = marks;
  return marks;
}

std::shared_ptr<const Listing> FleetData::listing() {
  const Clock::time_point asked = Clock::now() - kFresh;
  return current(asked, listing_since_, listing_now_, [&] { return listing_locked(marks(asked)); });
}

std::shared_ptr<const Listing> FleetData::listing_locked(const std::vector<std::string>& now) {
  if (listing_ && now == listing_marks_) return listing_;
  auto listing = std::make_shared<Listing>();
  for (size_t file = 0; file < files_.size(); ++file) {
    storage::Storage* storage = watched(file);
    if (storage == nullptr) {
      listing->whole = false;
      continue;
    }
    Context context = context_;
    context.file = files_[file];
    const bool whole = scan_open(*storage, "illisible", {}, context.complainer(), [&](const Article& article) {
      Entry entry{};
      std::copy_n(article.plate.begin(), entry.plate.size(), entry.plate.begin());
      entry.file = static_cast<uint16_t>(file);
      entry.week = static_cast<uint8_t>(article.week);
      entry.mileage = static_cast<uint32_t>(article.mileage());
      entry.cents = static_cast<uint32_t>(article.cents());
      listing->entries.push_back(entry);
      return true;
    });
    listing->whole = listing->whole && whole;
  }
  if (files_.size() > 1) {  // each file's articles came in plate order: now all of them
    std::stable_sort(listing->entries.begin(), listing->entries.end(),
                     [](const Entry& a, const Entry& b) { return a.plate < b.plate; });
  }
  listing_marks_ = now;
  listing_ = std::move(listing);
  return listing_;
}

std::shared_ptr<const Figures> FleetData::figures() {
  const Clock::time_point asked = Clock::now() - kFresh;
  return current(asked, figures_since_, figures_now_, [&] { return figures_locked(marks(asked)); });
}

std::shared_ptr<const Figures> FleetData::figures_locked(const std::vector<std::string>& now) {
  if (figures_ && now == figures_marks_) return figures_;
  auto figures = std::make_shared<Figures>();
  for (size_t file = 0; file < files_.size(); ++file) {
    ServedFile counted{shown_file(file), {}, false, {}};
    Context context = context_;
    context.file = files_[file];
    if (storage::Storage* storage = watched(file)) {
      counted.whole = gather_open(*storage, context.complainer(), &counted.stats);
    } else {
      counted.problem = problems_[file];
    }
    figures->whole = figures->whole && counted.whole;
    figures->files.push_back(std::move(counted));
  }
  if (files_.size() == 1) {
    figures->period = figures->files[0].stats;
  } else {
    for (const ServedFile& file : figures->files) add(file.stats, &figures->period);
    rank_period(*listing_locked(now), &figures->period);
  }
  figures_marks_ = now;
  figures_ = std::move(figures);
  return figures_;
}

bool FleetData::car(const std::string& plate, std::vector<CarWeek>* weeks, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool whole = true;
  std::string record(layout::kRecordLength, '\0');
  for (size_t file = 0; file < files_.size(); ++file) {
    auto problem = [&](const std::string& what) {
      if (!why->empty()) *why += " ; ";
      *why += "fichier « " + shown_file(file) + " » : " + what;
      whole = false;
    };
    storage::Storage* storage = watched(file);
    if (storage == nullptr) {
      problem(problems_[file]);
      continue;
    }
    const storage::Result read = storage->read_key(plate.data(), record.data());
    if (read.status == storage::FileStatus::kNoSuchKey) continue;
    if (!read.ok()) {
      problem(failure_account(read));
      watch_[file].reset();
      continue;
    }
    CarWeek week{file, {}};
    std::string field;
    if (!decode(record, &week.article, &field)) {
      problem("article illisible : " + field + " n'est pas fait de chiffres");
      continue;
    }
    weeks->push_back(std::move(week));
  }
  return whole;
}

bool FleetData::export_to(std::FILE* out, bool json, std::string* why) {
  if (files_.size() != 1) {
    *why = "l'export d'une période de plusieurs fichiers viendra avec celui de fleet export";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  storage::Storage* storage = watched(0);
  if (storage == nullptr) {
    *why = "fichier « " + shown_file(0) + " » : " + problems_[0];
    return false;
  }
  Context context = context_;
  context.file = files_[0];
  const bool whole = write_export(context, *storage, json, ',',
                                  [&](std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), out); });
  if (std::fflush(out) != 0 || std::ferror(out)) {
    *why = "impossible d'écrire l'export dans un fichier temporaire";
    return false;
  }
  if (!whole) *why = "des articles n'ont pas pu être lus (voir fleet check) : il y manquerait des articles";
  return whole;
}

bool FleetData::may_write(size_t file) {
  std::lock_guard<std::mutex> lock(mutex_);
  return watched(file) != nullptr && writable_[file];
}

bool FleetData::change(size_t file, const Context& context, const Work& work, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  storage::Storage* storage = watched(file);
  if (storage == nullptr) {
    *why = "fichier « " + shown_file(file) + " » : " + problems_[file];
    return false;
  }
  if (!writable_[file]) {
    *why = "le fichier « " + shown_file(file) + " » ne peut être que lu par ce serveur";
    return false;
  }
  Context there = context;
  there.file = files_[file];
  there.files = {files_[file]};
  work(*storage, there);
  // What the pages hold was read before the change: the next request looks again.
  looked_ = {};
  figures_since_.store(INT64_MIN, std::memory_order_release);
  listing_since_.store(INT64_MIN, std::memory_order_release);
  return true;
}

}  // namespace fleet::web
