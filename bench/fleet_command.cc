// fleet command suite: `fleet export` of a 200,000-article file against sqlite3 -csv
// selecting the same fields in plate order, and `fleet import` of that export into a
// new file against the bare-SQLite floor inserting the same records in the same
// transactions; the import's own time against its 10 s target; and `fleet stats` over
// a year of weekly files against `fleet stats` of one file holding as many articles.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "bench/suites.h"
#include "operations/batch.h"
#include "testing/process.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr unsigned kArticles = 200000;
constexpr double kRatioLimit = 1.5;
constexpr unsigned kWeeks = 52;
constexpr unsigned kCars = 4000;
constexpr double kPeriodLimit = 2;
constexpr double kImportSeconds = 10;
const char kSqlite3[] = "/usr/bin/sqlite3";

// The articles in the export's CSV, in plate order, as fleet export writes them.
void write_export(const std::string& path) {
  std::vector<std::string> rows;
  char plate[9];
  char text[32];
  for (unsigned i = 0; i < kArticles; ++i) {
    article_plate(i, plate);
    std::string row = std::string(plate) + "," + std::to_string(article_week(i));
    for (unsigned day = 1; day <= 7; ++day) {
      const unsigned cents = article_cents(i, day);
      std::snprintf(text, sizeof text, ",%u,%u.%02u", article_mileage(i, day), cents / 100, cents % 100);
      row += text;
    }
    rows.push_back(row + "\r\n");
  }
  std::sort(rows.begin(), rows.end());
  std::ofstream out(path, std::ios::binary);
  out << "immatriculation,semaine";
  for (const char* day : {"lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi", "dimanche"}) {
    out << "," << day << "_km," << day << "_frais";
  }
  out << "\r\n";
  for (const std::string& row : rows) out << row;
}

// The same fields as the export, selected by sqlite3 in plate order.
std::string sqlite3_query() {
  std::string sql = "SELECT rtrim(substr(record, 1, 8)), CAST(substr(record, 9, 2) AS INTEGER)";
  for (int day = 0; day < 7; ++day) {
    const int at = 19 + 10 * day;
    sql += ", CAST(substr(record, " + std::to_string(at) + ", 4) AS INTEGER), printf('%.2f', substr(record, " +
           std::to_string(at + 4) + ", 6) / 100.0)";
  }
  return sql + " FROM records ORDER BY substr(record, 1, 8)";
}

std::string fresh(const std::string& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder + "/articles";
}

bool same_bytes(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(x), {}, std::istreambuf_iterator<char>(y), {});
}

std::string per_second(double ns) { return grouped(kArticles / (ns / 1e9)) + " art/s"; }

// A year of weekly files in folder: the same 4,000 cars each week, week w holding the
// figures of articles w * 4,000 to w * 4,000 + 3,999, imported by fleet from a CSV in
// plate order, as fleet export and fleet archive write a week (and as the floor
// inserts the one file). False when an import failed.
bool write_year(const std::string& fleet, const std::string& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  char plate[9];
  char text[32];
  for (unsigned w = 0; w < kWeeks; ++w) {
    const std::string csv = folder + ".csv";
    {
      std::ofstream out(csv, std::ios::binary);
      out << "immatriculation,semaine";
      for (const char* day : {"lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi", "dimanche"}) {
        out << "," << day << "_km," << day << "_frais";
      }
      out << "\r\n";
      std::vector<std::string> rows;
      for (unsigned car = 0; car < kCars; ++car) {
        const unsigned i = w * kCars + car;
        article_plate(car, plate);
        std::string row = std::string(plate) + "," + std::to_string(w + 1);
        for (unsigned day = 1; day <= 7; ++day) {
          const unsigned cents = article_cents(i, day);
          std::snprintf(text, sizeof text, ",%u,%u.%02u", article_mileage(i, day), cents / 100, cents % 100);
          row += text;
        }
        rows.push_back(row + "\r\n");
      }
      std::sort(rows.begin(), rows.end());
      for (const std::string& row : rows) out << row;
    }
    std::snprintf(text, sizeof text, "/2026-s%02u", w + 1);
    if (run(Command{fleet, {"-f", folder + text, "import", csv}}).status != 0) return false;
    fs::remove(csv);
  }
  return true;
}

// The value after "label : " in fleet stats.
std::string stats_figure(const std::string& path, const std::string& label) {
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(label)) return line.substr(line.find(": ") + 2);
  }
  return "(none)";
}

// fleet stats over the 52 files of a year, in turn with stats of one file of as many
// articles (the same figures, each car its own plate).
void period_stats(const std::string& fleet, const std::string& floor, const std::string& root, int reps,
                  Report& report) {
  const std::string measure = "fleet stats of " + std::to_string(kWeeks) + " files of " + grouped(kCars);
  const std::string year = root + "/year";
  const std::string single = root + "/single/articles";
  const std::string ready = root + "/year-ready-2";  // made in plate order
  if (!exists(ready)) {
    if (!write_year(fleet, year)) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "fleet import of a week failed"});
      return;
    }
    if (run(Command{floor,
                    {fresh(root + "/single"), std::to_string(kWeeks * kCars), std::to_string(fleet::kBatchMost)}})
            .status != 0) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "floor failed"});
      return;
    }
    std::ofstream(ready) << "52 weeks of 4,000 cars, and one file of 208,000 articles\n";
  }
  std::vector<double> period_ns, single_ns, period_kib, single_kib;
  Command over_year{fleet, {"-f", year, "stats"}};
  over_year.stdout_path = root + "/year-stats.txt";
  Command over_one{fleet, {"-f", single, "stats"}};
  over_one.stdout_path = root + "/single-stats.txt";
  for (int rep = 0; rep < reps; ++rep) {
    const Measure p = run(over_year);
    const Measure s = run(over_one);
    if (p.status != 0 || s.status != 0) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "fleet stats failed"});
      return;
    }
    period_ns.push_back(static_cast<double>(p.wall_ns));
    single_ns.push_back(static_cast<double>(s.wall_ns));
    period_kib.push_back(static_cast<double>(p.max_rss_kib));
    single_kib.push_back(static_cast<double>(s.max_rss_kib));
  }
  const double p = median(period_ns);
  const double s = median(single_ns);
  Row row = ratio_row(measure, "fleet", milliseconds(p), milliseconds(s), p / s, kPeriodLimit);
  const bool same = stats_figure(over_year.stdout_path, "Kilom") == stats_figure(over_one.stdout_path, "Kilom") &&
                    stats_figure(over_year.stdout_path, "Frais") == stats_figure(over_one.stdout_path, "Frais");
  row.note = "floor: stats of one file of " + grouped(kWeeks * kCars) + "; peak " + mebibytes(median(period_kib)) +
             " against " + mebibytes(median(single_kib)) + (same ? "; same totals" : "; the totals differ");
  report.add(row);
}

}  // namespace

void fleet_command_suite(const Setup& setup, Report& report) {
  const std::string fleet = setup.bin_dir + "/fleet";
  const std::string floor = setup.tool_dir + "/fleet_import_floor";
  const std::string root = setup.data_dir + "/fleet-command";
  const std::string import_measure = "fleet import of " + grouped(kArticles);
  const std::string export_measure = "fleet export of " + grouped(kArticles);
  if (!exists(fleet) || !exists(floor)) {
    for (const std::string& measure : {import_measure, export_measure, std::string("fleet stats of 52 files")}) {
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, "not built"});
    }
    return;
  }
  fs::create_directories(root);
  period_stats(fleet, floor, root, setup.throughput_reps, report);
  const std::string csv = root + "/export.csv";
  write_export(csv);

  // Import, in turn with the floor, each into a new file.
  std::vector<double> fleet_ns, floor_ns;
  std::string imported;
  for (int rep = 0; rep < setup.throughput_reps; ++rep) {
    imported = fresh(root + "/imported");
    Command command{fleet, {"-f", imported, "import", csv}};
    const Measure m = run(command);
    if (m.status != 0) {
      report.add(
          {import_measure, "fleet", "", "", "", "", Verdict::kSkipped, "exit status " + std::to_string(m.status)});
      return;
    }
    fleet_ns.push_back(static_cast<double>(m.wall_ns));
    const Measure f =
        run(Command{floor, {fresh(root + "/floor"), std::to_string(kArticles), std::to_string(fleet::kBatchMost)}});
    if (f.status != 0) {
      report.add({import_measure, "fleet", "", "", "", "", Verdict::kSkipped, "floor failed"});
      return;
    }
    floor_ns.push_back(static_cast<double>(f.wall_ns));
  }
  const double a = median(fleet_ns);
  const double f = median(floor_ns);
  Row row = ratio_row(import_measure, "fleet", milliseconds(a) + " (" + per_second(a) + ")",
                      milliseconds(f) + " (" + per_second(f) + ")", a / f, kRatioLimit);
  row.note = "batches of " + grouped(fleet::kBatchMost) + "; floor: bare SQLite inserts";
  report.add(row);
  report.add({import_measure + " (wall)", "fleet", fixed(a / 1e9, 1) + " s", "", "",
              "< " + fixed(kImportSeconds, 0) + " s", a / 1e9 < kImportSeconds ? Verdict::kMet : Verdict::kMissed, ""});

  // Export of the file just imported, in turn with sqlite3 selecting the same fields.
  if (!exists(kSqlite3)) {
    report.add({export_measure, "fleet", "", "", "", "", Verdict::kSkipped, "no sqlite3 (Debian package sqlite3)"});
    return;
  }
  const std::string exported = root + "/exported.csv";
  std::vector<double> export_ns, sqlite3_ns;
  for (int rep = 0; rep < setup.throughput_reps; ++rep) {
    Command command{fleet, {"-f", imported, "export"}};
    command.stdout_path = exported;
    const Measure m = run(command);
    Command select{kSqlite3, {"-csv", imported, sqlite3_query()}};
    select.stdout_path = root + "/sqlite3.csv";
    const Measure s = run(select);
    if (m.status != 0 || s.status != 0) {
      report.add({export_measure, "fleet", "", "", "", "", Verdict::kSkipped,
                  m.status != 0 ? "fleet export failed" : "sqlite3 failed"});
      return;
    }
    export_ns.push_back(static_cast<double>(m.wall_ns));
    sqlite3_ns.push_back(static_cast<double>(s.wall_ns));
  }
  const double e = median(export_ns);
  const double s = median(sqlite3_ns);
  Row export_row = ratio_row(export_measure, "fleet", milliseconds(e) + " (" + per_second(e) + ")",
                             milliseconds(s) + " (" + per_second(s) + ")", e / s, kRatioLimit);
  export_row.note = same_bytes(exported, csv) ? "floor: sqlite3 -csv; round trip checked byte for byte"
                                              : "the export differs from the file imported";
  report.add(export_row);
}

}  // namespace bench
