// The period's functions on three files, on both storages: every figure checked against
// sums the test makes itself from the articles it stored, a car's weeks, and pages in
// each order walked to the end by their keys.
#include "operations/period.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/open.h"
#include "testing/test_folder.h"
#include "testing/test_postgres.h"

namespace fleet {
namespace {

constexpr size_t kFiles = 3;

// The articles of file f: most of 60 cars (each misses a week in four), a few without
// kilometres, one plate of Latin-1 bytes above 0x7F, which sorts after the others.
std::vector<Article> articles_of(size_t f) {
  std::vector<Article> articles;
  for (uint32_t p = 0; p < 60; ++p) {
    if ((p + f) % 4 == 0) continue;
    Article article;
    article.plate = p == 59 ? "\xC9T\xC9-42" : "P" + std::to_string(100 + p).substr(1);
    article.plate.resize(layout::kPlate.width, ' ');
    article.week = static_cast<uint32_t>(10 + f + p % 3);
    for (uint32_t d = 0; d < layout::kDays; ++d) {
      article.days[d].mileage = p % 13 == 0 ? 0 : (p * 37 + static_cast<uint32_t>(f) * 11 + d * 5) % 400;
      article.days[d].cents = (p * 913 + static_cast<uint32_t>(f) * 77 + d * 31) % 90000;
    }
    articles.push_back(article);
  }
  return articles;
}

class PeriodTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const bool sqlite = std::string(GetParam()) == "sqlite";
    const std::string weeks = folder_.file("semaines");
    std::filesystem::create_directories(weeks + "/ancien");
    const char* names[kFiles] = {"2026-s06", "2026-s07", "2026-s10"};
    for (size_t f = 0; f < kFiles; ++f) {
      if (sqlite) {
        files_.push_back(weeks + "/" + names[f]);
      } else {
        schemas_.push_back(std::make_unique<testkit::TestSchema>());
        files_.push_back(schemas_.back()->uri());
      }
      store(files_.back(), articles_of(f));
    }
    // Beside the weeks, what a folder of them also holds, none of it the period's.
    store(weeks + "/ancien/2025-s52", articles_of(0));
    store(weeks + "/.2026-s08", articles_of(0));
    testkit::put_bytes(weeks + "/2026-s07.csv", "immatriculation,semaine\r\n");
    names_ = sqlite ? std::vector<std::string>{weeks} : files_;
  }

  static void store(const std::string& name, const std::vector<Article>& articles) {
    storage::Opened opened =
        storage::open_storage({name, "ARTICLES", layout::kShape, storage::StorageMode::kInputOutput, "period_test"});
    ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
    std::vector<std::string> records;
    std::vector<const char*> pointers;
    for (const Article& article : articles) records.push_back(encode(article));
    for (const std::string& record : records) pointers.push_back(record.data());
    std::vector<storage::FileStatus> statuses;
    ASSERT_TRUE(opened.storage->insert_batch(pointers, &statuses).ok());
  }

  Complain complain_ = [this](const std::string& message) { complaints_.push_back(message); };
  std::vector<std::string> complaints_;
  testkit::TempFolder folder_;
  std::vector<std::unique_ptr<testkit::TestSchema>> schemas_;
  std::vector<std::string> files_;  // the three files' names
  std::vector<std::string> names_;  // what names the period: the folder, or the three URIs
};

TEST_P(PeriodTest, FiguresWeeksAndPagesAreThoseOfTheArticlesStored) {
  const Period period = Period::of(names_, complain_);
  ASSERT_EQ(period.size(), kFiles);
  for (size_t f = 0; f < kFiles; ++f) EXPECT_EQ(period.files()[f].name, files_[f]);

  // The test's own sums.
  FleetStats expected;
  std::vector<Totals> per_file(kFiles);
  std::map<std::string, Car> cars;
  std::vector<PageEntry> entries;
  for (size_t f = 0; f < kFiles; ++f) {
    for (const Article& article : articles_of(f)) {
      entries.push_back({f, article});
      per_file[f].add(article);
      expected.add(article);
      Car& car = cars[article.plate];
      car.plate = article.plate;
      for (size_t d = 0; d < layout::kDays; ++d) {
        expected.mileage_by_day[d] += article.days[d].mileage;
        expected.mileage_by_week[article.week] += article.days[d].mileage;
        car.mileage += article.days[d].mileage;
        car.cents += article.days[d].cents;
      }
    }
  }
  std::vector<Car> longest, dearest;
  for (const auto& [plate, car] : cars) {
    longest.push_back(car);
    if (car.mileage > 0) dearest.push_back(car);
  }
  std::stable_sort(longest.begin(), longest.end(), [](const Car& a, const Car& b) { return a.mileage > b.mileage; });
  std::stable_sort(dearest.begin(), dearest.end(), [](const Car& a, const Car& b) {
    return static_cast<long double>(a.cents) / a.mileage > static_cast<long double>(b.cents) / b.mileage;
  });
  longest.resize(FleetStats::kLongest);
  dearest.resize(FleetStats::kDearest);
  const auto busiest = std::max_element(expected.mileage_by_week.begin(), expected.mileage_by_week.end());

  PeriodFigures figures;
  ASSERT_TRUE(gather(period, complain_, &figures));
  const FleetStats& got = figures.period;
  for (size_t f = 0; f < kFiles; ++f) {
    EXPECT_TRUE(figures.files[f].whole);
    EXPECT_EQ(figures.files[f].articles, per_file[f].articles) << f;
    EXPECT_EQ(figures.files[f].mileage, per_file[f].mileage) << f;
    EXPECT_EQ(figures.files[f].cents, per_file[f].cents) << f;
  }
  EXPECT_EQ(got.articles, expected.articles);
  EXPECT_EQ(got.mileage, expected.mileage);
  EXPECT_EQ(got.cents, expected.cents);
  EXPECT_EQ(got.mileage_by_day, expected.mileage_by_day);
  EXPECT_EQ(got.mileage_by_week, expected.mileage_by_week);
  EXPECT_EQ(got.busiest_week(), busiest - expected.mileage_by_week.begin());
  auto plates = [](const std::vector<Car>& cars) {
    std::vector<std::string> found;
    for (const Car& car : cars)
      found.push_back(car.plate + " " + std::to_string(car.mileage) + " " + std::to_string(car.cents));
    return found;
  };
  EXPECT_EQ(plates(got.longest), plates(longest));
  EXPECT_EQ(plates(got.dearest), plates(dearest));

  for (const auto& [plate, car] : cars) {
    if (car.plate[2] != '7' && car.plate[0] == 'P') continue;  // a few: each look opens every file
    CarWeeks weeks;
    ASSERT_TRUE(car_weeks(period, plate, complain_, &weeks));
    EXPECT_EQ(weeks.totals.mileage, car.mileage) << plate;
    EXPECT_EQ(weeks.totals.cents, car.cents) << plate;
    for (size_t f = 0; f < kFiles; ++f) {
      const std::vector<Article> stored = articles_of(f);
      const auto in_file = std::find_if(stored.begin(), stored.end(),
                                        [&, wanted = plate](const Article& a) { return a.plate == wanted; });
      ASSERT_EQ(weeks.articles[f].has_value(), in_file != stored.end()) << plate << " in " << f;
      if (weeks.articles[f]) {
        EXPECT_EQ(encode(*weeks.articles[f]), encode(*in_file));
      }
    }
  }
  CarWeeks none;
  EXPECT_TRUE(car_weeks(period, "ABSENT  ", complain_, &none));
  EXPECT_EQ(none.totals.articles, 0u);

  // Each order, walked page by page from the key of each page's last entry, over the
  // three files or the first alone.
  const Period first = Period::of({files_[0]}, complain_);
  const struct {
    Order order;
    bool descending;
    std::string prefix;
    size_t limit;
    const Period& period;
  } requests[] = {
      {Order::kPlate, false, "", 30, period},
      {Order::kPlate, false, "P1", 4, period},
      {Order::kPlate, false, "", 10, first},
      {Order::kPlate, true, "", 40, period},
      {Order::kWeek, false, "", 35, period},
      {Order::kMileage, true, "P2", 4, period},
      {Order::kCosts, false, "", 0, period},
      {Order::kCostPerKilometre, true, "", 30, period},
      {Order::kCostPerKilometre, false, "P0", 5, period},
      {Order::kMileage, false, "", 10, first},
  };
  for (const auto& r : requests) {
    const std::string what = std::to_string(static_cast<int>(r.order)) + (r.descending ? " desc " : " asc ") +
                             r.prefix + " in " + std::to_string(r.period.size());
    // The figure each order sorts by; the cost per kilometre, without kilometres, last.
    auto figure = [&](const PageEntry& e) -> long double {
      const Article& a = e.article;
      switch (r.order) {
        case Order::kPlate:
          return 0;
        case Order::kWeek:
          return a.week;
        case Order::kMileage:
          return static_cast<long double>(a.mileage());
        case Order::kCosts:
          return static_cast<long double>(a.cents());
        case Order::kCostPerKilometre:
          break;
      }
      if (a.mileage() == 0) return r.descending ? -1 : 1e30L;
      return static_cast<long double>(a.cents()) / static_cast<long double>(a.mileage());
    };
    std::vector<PageEntry> want;
    for (const PageEntry& e : entries) {
      if (e.article.plate.starts_with(r.prefix) && e.file < r.period.size()) want.push_back(e);
    }
    std::sort(want.begin(), want.end(), [&](const PageEntry& a, const PageEntry& b) {
      if (figure(a) != figure(b)) return r.descending ? figure(a) > figure(b) : figure(a) < figure(b);
      if (a.article.plate != b.article.plate) {
        return (r.order == Order::kPlate && r.descending) ? a.article.plate > b.article.plate
                                                          : a.article.plate < b.article.plate;
      }
      return a.file < b.file;
    });
    std::vector<std::string> walked;
    PageRequest request{r.prefix, r.order, r.descending, std::nullopt, r.limit};
    for (int pages = 0; pages < 100; ++pages) {
      Page page;
      ASSERT_TRUE(read_page(r.period, request, complain_, &page)) << what;
      EXPECT_LE(page.entries.size(), r.limit == 0 ? want.size() : r.limit) << what;
      for (const PageEntry& e : page.entries) walked.push_back(std::to_string(e.file) + encode(e.article));
      if (!page.more) break;
      request.after = page.entries.back().key();
    }
    std::vector<std::string> wanted;
    for (const PageEntry& e : want) wanted.push_back(std::to_string(e.file) + encode(e.article));
    EXPECT_EQ(walked, wanted) << what;
  }
  EXPECT_EQ(complaints_, std::vector<std::string>{});
}

TEST_P(PeriodTest, WhatCannotBeReadIsSaidAndTheRestCounted) {
  const std::string empty = folder_.file("vide");
  std::filesystem::create_directories(empty);
  std::vector<std::string> names = names_;
  names.push_back(empty);
  names.push_back(folder_.file("absent"));
  const Period period = Period::of(names, complain_);
  EXPECT_FALSE(period.whole());
  ASSERT_EQ(period.size(), kFiles + 1);
  PeriodFigures figures;
  EXPECT_FALSE(gather(period, complain_, &figures));
  EXPECT_FALSE(figures.files[kFiles].whole);
  EXPECT_EQ(figures.period.articles, figures.files[0].articles + figures.files[1].articles + figures.files[2].articles);
  ASSERT_EQ(complaints_.size(), 2u) << testing::PrintToString(complaints_);
  EXPECT_EQ(complaints_[0], "aucun fichier d'articles dans le dossier « " + empty + " »");
  EXPECT_TRUE(complaints_[1].starts_with("impossible d'ouvrir le fichier d'articles « " + names.back() +
                                         " » : fichier introuvable (statut 35"))
      << complaints_[1];
}

INSTANTIATE_TEST_SUITE_P(EachStorage, PeriodTest, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace fleet
