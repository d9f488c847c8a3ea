// Fleet suite: autolog adding articles through its dialogue against a bare SQLite
// program, adding to a large file against an empty one, and autolog2 opening a large
// file against a one-article file. Article files live in folders of their own under
// the data folder, so a folder's size is the file's size with whatever the file
// layer keeps beside it.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "bench/process.h"
#include "bench/suites.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

constexpr unsigned kThroughputArticles = 20000;
constexpr unsigned kBaseArticles = 200000;
constexpr unsigned kBatchArticles = 1000;
constexpr double kThroughputLimit = 1.5;
constexpr double kScalingLimit = 1.5;
constexpr double kOpenLimit = 1.3;

struct Paths {
  std::string autolog, autolog2, floor, inputs, outputs, root;
};

std::string article_file(const std::string& folder) { return folder + "/articles"; }

void fresh_folder(const std::string& folder) {
  fs::remove_all(folder);
  fs::create_directories(folder);
}

int64_t folder_bytes(const std::string& folder) {
  int64_t total = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) total += static_cast<int64_t>(entry.file_size());
  }
  return total;
}

// The dialogue input that adds articles first .. first + count - 1 and then ends.
std::string articles_input(const Paths& paths, const std::string& name, unsigned first,
                           unsigned count) {
  const std::string path = paths.inputs + "/" + name + ".in";
  std::ofstream out(path + ".tmp", std::ios::binary);
  char text[kArticleTextMax];
  for (unsigned i = first; i < first + count; ++i) {
    out.write(text, static_cast<std::streamsize>(article_text(i, text)));
  }
  out << "n\n";
  out.close();
  fs::rename(path + ".tmp", path);
  return path;
}

// The smallest plate of articles first .. first + count - 1: the one autolog2 shows.
std::string first_plate(unsigned first, unsigned count) {
  std::string best;
  char plate[9];
  for (unsigned i = first; i < first + count; ++i) {
    article_plate(i, plate);
    if (best.empty() || best > plate) best = plate;
  }
  return best;
}

std::vector<std::string> lines(const std::string& path, size_t most) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> result;
  std::string line;
  while (result.size() < most && std::getline(in, line)) result.push_back(line);
  return result;
}

Command autolog_run(const Paths& paths, const std::string& folder, const std::string& input) {
  Command command{paths.autolog};
  command.env = {"fichier=" + article_file(folder)};
  command.stdin_path = input;
  command.stdout_path = paths.outputs + "/autolog.out";
  return command;
}

// Runs autolog; an empty string when it ran and its open showed status 00,
// otherwise what went wrong.
std::string checked(const Command& command, Measure* measure) {
  *measure = run(command);
  if (measure->status != 0) return "exit status " + std::to_string(measure->status);
  const auto first = lines(command.stdout_path, 1);
  if (first.empty() || first[0] != "00") {
    return "open status " + (first.empty() ? std::string("missing") : first[0]);
  }
  return "";
}

// autolog2 on the folder's file: what it shows as the first plate.
std::string shown_plate(const Paths& paths, const std::string& folder) {
  Command command{paths.autolog2};
  command.env = {"fichier=" + article_file(folder)};
  command.stdout_path = paths.outputs + "/autolog2.out";
  run(command);
  const auto shown = lines(command.stdout_path, 2);
  return shown.size() == 2 ? shown[1] : "";
}

void throughput(const Paths& paths, const Setup& setup, Report& report) {
  const std::string measure = "autolog " + grouped(kThroughputArticles) + " articles";
  const std::string input = articles_input(paths, "throughput", 0, kThroughputArticles);
  const std::string folder = paths.root + "/throughput";
  const std::string floor_folder = paths.root + "/throughput-floor";
  Command floor{paths.floor, {article_file(floor_folder), "0", std::to_string(kThroughputArticles)}};
  std::vector<double> autolog_ns;
  std::vector<double> floor_ns;
  for (int rep = 0; rep < setup.throughput_reps; ++rep) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (rep % 2 == 0)) {
        fresh_folder(folder);
        Measure m;
        const std::string problem = checked(autolog_run(paths, folder, input), &m);
        if (!problem.empty()) {
          report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, problem});
          return;
        }
        autolog_ns.push_back(static_cast<double>(m.wall_ns));
      } else {
        fresh_folder(floor_folder);
        const Measure m = run(floor);
        if (m.status != 0) {
          report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, "floor failed"});
          return;
        }
        floor_ns.push_back(static_cast<double>(m.wall_ns));
      }
    }
  }
  const double a = median(autolog_ns);
  const double f = median(floor_ns);
  auto per_second = [](double ns) { return grouped(kThroughputArticles / (ns / 1e9)) + " art/s"; };
  Row row = ratio_row(measure, "autolog", milliseconds(a) + " (" + per_second(a) + ")",
                      milliseconds(f) + " (" + per_second(f) + ")", a / f, kThroughputLimit);
  if (exists(paths.autolog2)) {
    const std::string expected = first_plate(0, kThroughputArticles);
    const std::string shown = shown_plate(paths, folder);
    row.note = shown == expected ? "first plate checked" : "autolog2 shows '" + shown + "', expected " + expected;
  }
  report.add(row);
}

// The 200,000-article file, made once by autolog itself and kept until autolog
// changes.
std::string base_file(const Paths& paths, Report& report, std::string* problem) {
  const std::string folder = paths.root + "/base-" + std::to_string(kBaseArticles);
  struct stat program {};
  stat(paths.autolog.c_str(), &program);
  const std::string stamp = std::to_string(program.st_size) + " " +
                            std::to_string(program.st_mtim.tv_sec) + "." +
                            std::to_string(program.st_mtim.tv_nsec) + " " + std::to_string(kBaseArticles);
  const std::string stamp_path = paths.root + "/base.stamp";
  const auto kept = lines(stamp_path, 1);
  if (!kept.empty() && kept[0] == stamp && exists(folder)) return folder;

  fs::remove(stamp_path);
  fresh_folder(folder);
  const std::string input = articles_input(paths, "base", 0, kBaseArticles);
  Measure m;
  *problem = checked(autolog_run(paths, folder, input), &m);
  if (!problem->empty()) return "";
  std::ofstream(stamp_path) << stamp << "\n";
  report.add({"build the " + grouped(kBaseArticles) + "-article file", "autolog",
              milliseconds(static_cast<double>(m.wall_ns)), "", "", "", Verdict::kInfo,
              grouped(kBaseArticles / (static_cast<double>(m.wall_ns) / 1e9)) + " art/s; kept for the next run"});
  return folder;
}

void open_large(const Paths& paths, const Setup& setup, const std::string& large, Report& report) {
  const std::string measure = "autolog2 on " + grouped(kBaseArticles) + " vs 1 article";
  if (!exists(paths.autolog2)) {
    report.add({measure, "autolog2", "", "", "", "", Verdict::kSkipped, "not built"});
    return;
  }
  const std::string one = paths.root + "/one";
  fresh_folder(one);
  Measure m;
  const std::string problem = checked(autolog_run(paths, one, articles_input(paths, "one", 0, 1)), &m);
  if (!problem.empty()) {
    report.add({measure, "autolog2", "", "", "", "", Verdict::kSkipped, "one-article file: " + problem});
    return;
  }
  const std::string expected = first_plate(0, kBaseArticles);
  const std::string shown = shown_plate(paths, large);
  Command on_large{paths.autolog2};
  Command on_one{paths.autolog2};
  on_large.env = {"fichier=" + article_file(large)};
  on_one.env = {"fichier=" + article_file(one)};
  std::vector<double> large_ns;
  std::vector<double> one_ns;
  for (int i = 0; i < setup.autolog2_runs; ++i) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool large_turn = (turn == 0) == (i % 2 == 0);
      const Measure r = run(large_turn ? on_large : on_one);
      (large_turn ? large_ns : one_ns).push_back(static_cast<double>(r.wall_ns));
    }
  }
  const double l = median(large_ns);
  const double o = median(one_ns);
  Row row = ratio_row(measure, "autolog2", milliseconds(l), milliseconds(o), l / o, kOpenLimit);
  row.note = fixed(static_cast<double>(folder_bytes(large)) / kBaseArticles, 1) + " file bytes/article";
  if (shown != expected) row.note += "; shows '" + shown + "', expected " + expected;
  report.add(row);
}

void scaling(const Paths& paths, const Setup& setup, const std::string& large, Report& report) {
  const std::string measure = "autolog 1,000 into " + grouped(kBaseArticles) + " vs empty";
  const std::string empty = paths.root + "/empty";
  const std::string none = paths.inputs + "/none.in";
  std::ofstream(none, std::ios::binary) << "n\n";
  std::vector<double> large_ns;
  std::vector<double> empty_ns;
  for (int rep = 0; rep < setup.scaling_reps; ++rep) {
    // Each pass adds new plates, spread over the whole key range.
    const unsigned first = kBaseArticles + static_cast<unsigned>(rep) * kBatchArticles;
    const std::string batch = articles_input(paths, "batch-" + std::to_string(rep), first, kBatchArticles);
    fresh_folder(empty);
    Measure m;
    std::string problem = checked(autolog_run(paths, empty, none), &m);  // the empty file
    for (int turn = 0; turn < 2 && problem.empty(); ++turn) {
      const bool large_turn = (turn == 0) == (rep % 2 == 0);
      problem = checked(autolog_run(paths, large_turn ? large : empty, batch), &m);
      (large_turn ? large_ns : empty_ns).push_back(static_cast<double>(m.wall_ns));
    }
    if (!problem.empty()) {
      report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, problem});
      return;
    }
  }
  const double l = median(large_ns);
  const double e = median(empty_ns);
  report.add(ratio_row(measure, "autolog", milliseconds(l), milliseconds(e), l / e, kScalingLimit));
}

}  // namespace

void fleet_suite(const Setup& setup, Report& report) {
  Paths paths{setup.bin_dir + "/autolog", setup.bin_dir + "/autolog2",
              setup.tool_dir + "/articles_floor", setup.data_dir + "/inputs",
              setup.data_dir + "/outputs", setup.data_dir};
  fs::create_directories(paths.inputs);
  fs::create_directories(paths.outputs);
  if (!exists(paths.autolog)) {
    for (const char* measure : {"autolog 20,000 articles", "autolog 1,000 into 200,000 vs empty"}) {
      report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, "not built"});
    }
    report.add({"autolog2 on 200,000 vs 1 article", "autolog2", "", "", "", "", Verdict::kSkipped,
                exists(paths.autolog2) ? "needs autolog to make its files" : "not built"});
    return;
  }
  if (!exists(paths.floor)) {
    report.add({"autolog 20,000 articles", "autolog", "", "", "", "", Verdict::kSkipped, "floor not built"});
  } else {
    throughput(paths, setup, report);
  }
  std::string problem;
  const std::string base = base_file(paths, report, &problem);
  if (base.empty()) {
    report.add({"200,000-article file", "autolog", "", "", "", "", Verdict::kSkipped, problem});
    return;
  }
  // Work on a copy: the kept file stays as autolog made it.
  const std::string large = paths.root + "/large";
  fs::remove_all(large);
  fs::copy(base, large, fs::copy_options::recursive);
  open_large(paths, setup, large, report);
  scaling(paths, setup, large, report);
}

}  // namespace bench
