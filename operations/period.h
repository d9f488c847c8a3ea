// A period: the article files that are read as one, in the order they were named (a
// week a file, say), a folder standing for the article files in it. The reading
// commands of `fleet` (list, show, export, stats, report, check) and the web server both
// read a period through these functions, so that each figure is computed once, here: the
// figures of the period and of each file, one car's weeks, a page of articles. They only
// read; what they give is rendered as text, CSV, JSON or HTML by the caller.
//
// The files are opened one at a time, as they are read, and closed after: a period of
// some years is hundreds of files, more than a process keeps open or a PostgreSQL server
// takes connections. What cannot be read is said through a Complain, one French line
// (UTF-8) each, the lines `fleet` writes on standard error; each function returns false
// when anything was left out, with what it could read.
//
//   const Period period = Period::of({"semaines"}, complain);
//   PeriodFigures figures;
//   const bool whole = gather(period, complain, &figures) && period.whole();
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/record.h"
#include "operations/text.h"
#include "storage/storage.h"

namespace fleet {

// Says one thing that was not done: a French line, UTF-8, without its line end.
using Complain = std::function<void(const std::string& message)>;

// One file of a period.
struct PeriodFile {
  std::string name;   // as named: a path or a URI; a file found in a folder is "folder/name"
  std::string shown;  // as people read it: no password, UTF-8, control characters marked
};

class Period {
 public:
  // The files that names stand for, in their order. A name that is a folder stands for
  // the article files in it, in byte order of their names: its regular files that hold
  // an SQLite database, leaving out hidden ones, SQLite's side files (-wal, -shm,
  // -journal) and copies still being made (.partial-); folders in it are not entered.
  // Any other name is a file, opened as it is read. A folder that cannot be read or
  // holds no article file is said, and the period is then not whole.
  static Period of(const std::vector<std::string>& names, const Complain& complain);

  const std::vector<PeriodFile>& files() const { return files_; }
  size_t size() const { return files_.size(); }
  bool several() const { return files_.size() > 1; }
  // False when a name stood for nothing that could be read.
  bool whole() const { return whole_; }

  // File i open for reading; nullptr, said, when it cannot be opened.
  std::unique_ptr<storage::Storage> open(size_t i, const Complain& complain) const;

  // Hands each article of file i to each, in plate order, until each returns false. An
  // article whose figures are not digits is left out, said as `left_out` ("illisible",
  // "non exporté"), and so is the rest after a read that fails. False when anything of
  // the file was left out.
  bool scan(size_t i, std::string_view left_out, const Complain& complain,
            const std::function<bool(const Article&)>& each) const;

  // What messages about an article of file i add to say where it is: " dans « name »"
  // when the period has several files, nothing when it has one.
  std::string in_file(size_t i) const;

 private:
  std::vector<PeriodFile> files_;
  bool whole_ = true;
};

// The articles, kilometres and costs (hundredths) of some articles.
struct Totals {
  uint64_t articles = 0;
  uint64_t mileage = 0;
  uint64_t cents = 0;

  void add(const Article& article) {
    ++articles;
    mileage += article.mileage();
    cents += article.cents();
  }
};

// A car's kilometres and costs, over one article or over the period.
struct Car {
  std::string plate;  // stored bytes
  uint64_t mileage = 0;
  uint64_t cents = 0;
};

// The fleet's figures over some articles: what `fleet stats` prints.
struct FleetStats : Totals {
  std::array<uint64_t, layout::kDays> mileage_by_day{};
  std::array<uint64_t, layout::kWeekMost + 1> mileage_by_week{};  // by the articles' week number
  std::array<bool, layout::kWeekMost + 1> week_seen{};
  // Cars summed over the period's files: the highest cost per kilometre first (cars
  // without kilometres left out), the most kilometres first; the smaller plate first
  // among equals.
  std::vector<Car> dearest;  // at most kDearest
  std::vector<Car> longest;  // at most kLongest

  static constexpr size_t kDearest = 5;
  static constexpr size_t kLongest = 20;

  // The week number with the most kilometres (the smallest among equals); -1 when there
  // is no article.
  int busiest_week() const;
  // The week numbers a chart of weeks shows: from the first one seen to the last,
  // those between without an article among them; none when there is no article.
  std::vector<int> charted_weeks() const;
};

// One file's share of a period.
struct FileFigures : Totals {
  bool whole = false;  // opened, and every article of it read
};

struct PeriodFigures {
  FleetStats period;               // over every file
  std::vector<FileFigures> files;  // one a file, in the period's order
};

// The figures of the period, in one pass over each file.
bool gather(const Period& period, const Complain& complain, PeriodFigures* figures);

// The same readings of one file whose storage is open already: fleet serve keeps each
// file's storage open, as a second open of an SQLite file in one process would drop the
// first one's locks. in_file is what messages add after an article (Period::in_file).
bool scan_open(storage::Storage& articles, std::string_view left_out, const std::string& in_file,
               const Complain& complain, const std::function<bool(const Article&)>& each);
bool gather_open(storage::Storage& articles, const Complain& complain, FleetStats* figures);

// One car over the period.
struct CarWeeks {
  std::vector<std::optional<Article>> articles;  // one a file: the car's article there, if any
  Totals totals;                                 // over the articles found
};

// The article of plate (stored bytes, padded to the field's width) in each file. No
// article found is not a failure: totals.articles is then 0.
bool car_weeks(const Period& period, std::string_view plate, const Complain& complain, CarWeeks* car);

// The articles of these plates (stored bytes, padded), file by file in the period's
// order, each file's in plate order, handed to each with the index of their file.
// found[k] tells whether plates[k] was found in any file.
bool plates_articles(const Period& period, const std::vector<std::string>& plates, const Complain& complain,
                     const std::function<void(size_t file, const Article&)>& each, std::vector<bool>* found);

// Pages of the period's articles, for lists too long to show at once. An article is an
// entry: the article of one plate in one file. Entries come by plate, then by the
// order of their files (each car's weeks together), or by one of their figures, then by
// plate and file. A page starts after the entry whose key the caller hands back (the
// last of the page before), so that a page is right whatever was added since.
enum class Order { kPlate, kWeek, kMileage, kCosts, kCostPerKilometre };

// What places an entry among the others.
struct PageKey {
  std::string plate;  // stored bytes
  size_t file = 0;
  uint32_t week = 0;
  uint64_t mileage = 0;
  uint64_t cents = 0;
};

struct PageEntry {
  size_t file = 0;  // its file's index in the period
  Article article;

  PageKey key() const;
};

struct PageRequest {
  std::string prefix;  // stored bytes that the plates start with; empty for every plate
  Order order = Order::kPlate;
  bool descending = false;  // the largest figure first; among equals the plate order stays
  std::optional<PageKey> after;
  size_t limit = 0;  // entries at most; 0 for all of them
};

struct Page {
  std::vector<PageEntry> entries;
  bool more = false;  // entries follow the last one
};

// A page of entries, holding no more than limit + 1 entries at a time (every entry when
// limit is 0). By plate, each file is read only up to the end of the page. Entries
// without kilometres come last by cost per kilometre, whatever the direction.
bool read_page(const Period& period, const PageRequest& request, const Complain& complain, Page* page);

// A plate as typed in charset as stored bytes, padded to the field's width; false with
// why (French, UTF-8) when it cannot be a plate.
bool typed_plate(std::string_view typed, text::Charset charset, std::string* plate, std::string* why);

// A name (a path or a URI, as typed) as people read it: any password hidden, bytes that
// are not UTF-8 taken as Latin-1, control characters marked as in docs/charsets.md.
std::string shown_file_name(std::string_view name);

}  // namespace fleet
