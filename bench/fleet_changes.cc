// fleet changes suite: `fleet archive` of a 200,000-article file against the bare
// SQLite floor moving the same records in one transaction, and its own time against
// its 10 s target; `fleet delete` and `fleet import --replace` of one article in that
// file against one bare flushed commit of the same statement. The floor runs in turn
// with fleet, in the same run, on copies of the same file.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "bench/suites.h"
#include "testing/process.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr unsigned kArticles = 200000;
constexpr double kArchiveLimit = 1.5;
constexpr double kArchiveSeconds = 10;
constexpr double kOneLimit = 1.3;
constexpr int kOneRuns = 40;  // of each, in turn
const char kHeading[] =
    "immatriculation,semaine,lundi_km,lundi_frais,mardi_km,mardi_frais,mercredi_km,mercredi_frais,jeudi_km,"
    "jeudi_frais,vendredi_km,vendredi_frais,samedi_km,samedi_frais,dimanche_km,dimanche_frais\r\n";

struct Tools {
  std::string fleet, floor, filler, root;
};

// A copy of the kept file under a name of its own (with nothing of an earlier copy
// beside it).
std::string copy_of(const std::string& base, const std::string& name) {
  const std::string copy = fs::path(base).parent_path().string() + "/" + name;
  for (const char* end : {"", "-wal", "-shm", "-journal"}) fs::remove(copy + end);
  fs::copy_file(base, copy);
  return copy;
}

// The 200,000-article file: fleet makes it (an import of a heading alone), the
// article floor fills it in one transaction.
std::string base_file(const Tools& tools, std::string* problem) {
  fs::create_directories(tools.root);
  const std::string base = tools.root + "/base";
  for (const char* end : {"", "-wal", "-shm"}) fs::remove(base + end);
  const std::string heading = tools.root + "/heading.csv";
  std::ofstream(heading, std::ios::binary) << kHeading;
  if (run(Command{tools.fleet, {"-f", base, "import", heading}}).status != 0) {
    *problem = "fleet import failed";
  } else if (run(Command{tools.filler, {"--fill", base, "0", std::to_string(kArticles)}}).status != 0) {
    *problem = "filling it failed";
  }
  return problem->empty() ? base : "";
}

// The CSV row of article i with another week, as import --replace reads it.
std::string replacing_row(unsigned i) {
  char plate[9];
  article_plate(i, plate);
  std::string row = std::string(kHeading) + plate + ",99";
  char text[32];
  for (unsigned day = 1; day <= 7; ++day) {
    const unsigned cents = article_cents(i, day);
    std::snprintf(text, sizeof text, ",%u,%u.%02u", article_mileage(i, day), cents / 100, cents % 100);
    row += text;
  }
  return row + "\r\n";
}

void archive(const Tools& tools, const Setup& setup, const std::string& base, Report& report) {
  const std::string measure = "fleet archive of " + grouped(kArticles);
  std::vector<double> fleet_ns, floor_ns;
  for (int rep = 0; rep < setup.throughput_reps; ++rep) {
    for (const bool floor : {rep % 2 == 1, rep % 2 == 0}) {
      const std::string source = copy_of(base, floor ? "floor-source" : "fleet-source");
      const std::string destination = tools.root + (floor ? "/floor-archive" : "/fleet-archive");
      for (const char* end : {"", "-wal", "-shm"}) fs::remove(destination + end);
      const Measure m = floor ? run(Command{tools.floor, {"archive", source, destination}})
                              : run(Command{tools.fleet, {"-f", source, "archive", destination}});
      if (m.status != 0) {
        report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped,
                    std::string(floor ? "floor" : "fleet archive") + " failed"});
        return;
      }
      (floor ? floor_ns : fleet_ns).push_back(static_cast<double>(m.wall_ns));
    }
  }
  const double a = median(fleet_ns);
  const double f = median(floor_ns);
  Row row = ratio_row(measure, "fleet", milliseconds(a), milliseconds(f), a / f, kArchiveLimit);
  row.note = "floor: bare SQLite, one transaction over both files (INSERT SELECT, then DELETE)";
  report.add(row);
  report.add({measure + " (wall)", "fleet", fixed(a / 1e9, 2) + " s", "", "", "< " + fixed(kArchiveSeconds, 0) + " s",
              a / 1e9 < kArchiveSeconds ? Verdict::kMet : Verdict::kMissed, ""});
}

// One change at a time on the large file, fleet and the floor in turn, each on another
// article; the file keeps what each run changed.
void one_change(const Tools& tools, const Setup& setup, const std::string& base, bool replace, Report& report) {
  const std::string measure = std::string(replace ? "fleet import --replace" : "fleet delete") + " of one article";
  const std::string file = copy_of(base, replace ? "replaced" : "deleted");
  const std::string row_path = tools.root + "/row.csv";
  const int runs = setup.throughput_reps == 1 ? kOneRuns / 4 : kOneRuns;
  std::vector<double> fleet_ns, floor_ns;
  for (int i = 0; i < 2 * runs; ++i) {
    const bool floor = i % 2 == 1;
    const unsigned article = static_cast<unsigned>(i * 997 % kArticles);
    char plate[9];
    article_plate(article, plate);
    Command command{tools.fleet, {"-f", file, "delete", plate}};
    if (floor) {
      command = Command{tools.floor, {replace ? "replace" : "delete", file, replace ? std::to_string(article) : plate}};
    } else if (replace) {
      std::ofstream(row_path, std::ios::binary) << replacing_row(article);
      command = Command{tools.fleet, {"-f", file, "import", "--replace", row_path}};
    }
    const Measure m = run(command);
    if (m.status != 0) {
      report.add(
          {measure, "fleet", "", "", "", "", Verdict::kSkipped, std::string(floor ? "floor" : "fleet") + " failed"});
      return;
    }
    (floor ? floor_ns : fleet_ns).push_back(static_cast<double>(m.wall_ns));
  }
  const double a = median(fleet_ns);
  const double f = median(floor_ns);
  Row row = ratio_row(measure, "fleet", milliseconds(a), milliseconds(f), a / f, kOneLimit);
  row.note = std::string("in a ") + grouped(kArticles) + "-article file; floor: one flushed " +
             (replace ? "UPDATE" : "DELETE") + " through bare SQLite";
  report.add(row);
}

}  // namespace

void fleet_changes_suite(const Setup& setup, Report& report) {
  const Tools tools{setup.bin_dir + "/fleet", setup.tool_dir + "/change_floor", setup.tool_dir + "/articles_floor",
                    setup.data_dir + "/fleet-changes"};
  const std::vector<std::string> measures = {"fleet archive of " + grouped(kArticles), "fleet delete of one article",
                                             "fleet import --replace of one article"};
  std::string problem;
  if (!exists(tools.fleet) || !exists(tools.floor) || !exists(tools.filler)) problem = "not built";
  const std::string base = problem.empty() ? base_file(tools, &problem) : "";
  if (!problem.empty()) {
    for (const std::string& measure : measures)
      report.add({measure, "fleet", "", "", "", "", Verdict::kSkipped, problem});
    return;
  }
  archive(tools, setup, base, report);
  one_change(tools, setup, base, false, report);
  one_change(tools, setup, base, true, report);
}

}  // namespace bench
