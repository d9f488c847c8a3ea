// Fleet suite: autolog adding articles through its dialogue against a bare SQLite
// program, what one acknowledged (flushed) article costs, adding to a large file
// against an empty one, and autolog2 opening a large file against a one-article file. Article files live in folders of their own under
// the data folder, so a folder's size is the file's size with whatever the file
// layer keeps beside it.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "bench/suites.h"
#include "testing/process.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

constexpr unsigned kThroughputArticles = 20000;
constexpr unsigned kBaseArticles = 200000;
constexpr unsigned kBatchArticles = 1000;
constexpr double kThroughputLimit = 1.2;
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
std::string articles_input(const Paths& paths, const std::string& name, unsigned first, unsigned count) {
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

// Runs autolog; an empty string when it ran and its open succeeded (a status of the
// class 0x, such as 00, or 05 for a file the open created), otherwise what went wrong.
std::string checked(const Command& command, Measure* measure) {
  *measure = run(command);
  if (measure->status != 0) return "exit status " + std::to_string(measure->status);
  const auto first = lines(command.stdout_path, 1);
  if (first.empty() || first[0].size() != 2 || first[0][0] != '0') {
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

// Returns autolog's articles per second, 0 when it could not be measured.
double throughput(const Paths& paths, const Setup& setup, Report& report) {
  const std::string measure = grouped(kThroughputArticles) + " articles";
  const std::string input = articles_input(paths, "throughput", 0, kThroughputArticles);
  const std::string folder = paths.root + "/throughput";
  const std::string floor_folder = paths.root + "/throughput-floor";
  const std::string count = std::to_string(kThroughputArticles);
  Command floor{paths.floor, {article_file(floor_folder), "0", count}};
  Command unflushed{paths.floor, {"--unflushed", article_file(floor_folder), "0", count}};
  std::vector<double> autolog_ns;
  std::vector<double> floor_ns;
  std::vector<double> unflushed_ns;
  for (int rep = 0; rep < setup.throughput_reps; ++rep) {
    for (int turn = 0; turn < 3; ++turn) {
      if ((turn + rep) % 3 == 0) {
        fresh_folder(folder);
        Measure m;
        const std::string problem = checked(autolog_run(paths, folder, input), &m);
        if (!problem.empty()) {
          report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, problem});
          return 0;
        }
        autolog_ns.push_back(static_cast<double>(m.wall_ns));
      } else {
        const bool flushed = (turn + rep) % 3 == 1;
        fresh_folder(floor_folder);
        const Measure m = run(flushed ? floor : unflushed);
        if (m.status != 0) {
          report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, "floor failed"});
          return 0;
        }
        (flushed ? floor_ns : unflushed_ns).push_back(static_cast<double>(m.wall_ns));
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
  // What durability costs: an article is acknowledged once its commit is on the disk.
  const double u = median(unflushed_ns);
  Row cost{"one acknowledged article",
           "autolog",
           fixed(a / kThroughputArticles / 1e6, 3) + " ms",
           fixed(u / kThroughputArticles / 1e6, 3) + " ms unflushed",
           fixed(a / u, 2),
           "",
           Verdict::kInfo,
           "flushed at each commit; floor: bare SQLite, synchronous NORMAL"};
  report.add(cost);
  return kThroughputArticles / (a / 1e9);
}

// Adds articles to the article file in a folder: by autolog's dialogue, or straight
// through SQLite by the floor. Returns an empty string when it went well, otherwise
// what went wrong.
using Adder = std::function<std::string(const std::string& folder, unsigned first, unsigned count, Measure* measure)>;

Adder autolog_adder(const Paths& paths) {
  return [&paths](const std::string& folder, unsigned first, unsigned count, Measure* measure) {
    const std::string input = count == 0 ? paths.inputs + "/none.in" : articles_input(paths, "add", first, count);
    return checked(autolog_run(paths, folder, input), measure);
  };
}

Adder floor_adder(const Paths& paths) {
  return [&paths](const std::string& folder, unsigned first, unsigned count, Measure* measure) {
    *measure = run(Command{paths.floor, {article_file(folder), std::to_string(first), std::to_string(count)}});
    return measure->status == 0 ? std::string() : "floor failed";
  };
}

// Makes a large file in one transaction: autolog creates the file (its layout and
// header), the floor fills it. Flushing 200,000 commits one by one would take minutes.
Adder autolog_filler(const Paths& paths) {
  return [&paths](const std::string& folder, unsigned first, unsigned count, Measure* measure) {
    std::string problem = checked(autolog_run(paths, folder, paths.inputs + "/none.in"), measure);
    if (!problem.empty()) return problem;
    const int64_t made_ns = measure->wall_ns;
    *measure =
        run(Command{paths.floor, {"--fill", article_file(folder), std::to_string(first), std::to_string(count)}});
    measure->wall_ns += made_ns;
    return measure->status == 0 ? std::string() : "filling it failed";
  };
}

Adder floor_filler(const Paths& paths) {
  return [&paths](const std::string& folder, unsigned first, unsigned count, Measure* measure) {
    *measure =
        run(Command{paths.floor, {"--fill", article_file(folder), std::to_string(first), std::to_string(count)}});
    return measure->status == 0 ? std::string() : "floor failed";
  };
}

// The 200,000-article file made by program (autolog itself, or the floor), made once
// and kept until the program or the articles change.
std::string base_file(const Paths& paths, const std::string& program, const Adder& add, Report& report,
                      std::string* problem) {
  const std::string name = fs::path(program).filename().string();
  const std::string folder = paths.root + "/base-" + name;
  struct stat made_by {};
  stat(program.c_str(), &made_by);
  char last[kArticleTextMax];
  const std::string last_text(last, article_text(kBaseArticles - 1, last));
  const std::string stamp = std::to_string(made_by.st_size) + " " + std::to_string(made_by.st_mtim.tv_sec) + "." +
                            std::to_string(made_by.st_mtim.tv_nsec) + " " + std::to_string(kBaseArticles) + " " +
                            std::to_string(std::hash<std::string>{}(last_text));
  const std::string stamp_path = folder + ".stamp";
  const auto kept = lines(stamp_path, 1);
  if (!kept.empty() && kept[0] == stamp && exists(folder)) return folder;

  fs::remove(stamp_path);
  fresh_folder(folder);
  Measure m;
  *problem = add(folder, 0, kBaseArticles, &m);
  if (!problem->empty()) return "";
  std::ofstream(stamp_path) << stamp << "\n";
  const double ns = static_cast<double>(m.wall_ns);
  report.add({"make the " + grouped(kBaseArticles) + "-article file", name, milliseconds(ns), "", "", "",
              Verdict::kInfo, "one transaction; kept for the next run"});
  return folder;
}

// A working copy of a kept file, so that the kept one stays as it was made.
std::string working_copy(const std::string& base) {
  const std::string copy = base + "-copy";
  fs::remove_all(copy);
  fs::copy(base, copy, fs::copy_options::recursive);
  return copy;
}

void open_large(const Paths& paths, const Setup& setup, const std::string& large, Report& report) {
  const std::string measure = "open, read first: " + grouped(kBaseArticles) + " vs 1 article";
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

// Adds 1,000 articles to the large file and to an empty one, in turn.
void scaling(const Paths& paths, const Setup& setup, const std::string& program, const Adder& add,
             const std::string& large, Report& report, bool with_target) {
  const std::string measure = "1,000 into " + grouped(kBaseArticles) + " vs empty";
  const std::string empty = paths.root + "/empty";
  std::vector<double> large_ns;
  std::vector<double> empty_ns;
  for (int rep = 0; rep < setup.scaling_reps; ++rep) {
    // Each pass adds new plates, spread over the whole key range.
    const unsigned first = kBaseArticles + static_cast<unsigned>(rep) * kBatchArticles;
    fresh_folder(empty);
    Measure m;
    std::string problem = add(empty, 0, 0, &m);  // the empty file
    for (int turn = 0; turn < 2 && problem.empty(); ++turn) {
      const bool large_turn = (turn == 0) == (rep % 2 == 0);
      problem = add(large_turn ? large : empty, first, kBatchArticles, &m);
      (large_turn ? large_ns : empty_ns).push_back(static_cast<double>(m.wall_ns));
    }
    if (!problem.empty()) {
      report.add({measure, program, "", "", "", "", Verdict::kSkipped, problem});
      return;
    }
  }
  const double l = median(large_ns);
  const double e = median(empty_ns);
  Row row = ratio_row(measure, program, milliseconds(l), milliseconds(e), l / e, kScalingLimit);
  if (!with_target) {
    row.verdict = Verdict::kInfo;
    row.target.clear();
    row.note = "the same inserts straight through SQLite";
  }
  report.add(row);
}

}  // namespace

void fleet_suite(const Setup& setup, Report& report) {
  Paths paths{setup.bin_dir + "/autolog", setup.bin_dir + "/autolog2", setup.tool_dir + "/articles_floor",
              setup.data_dir + "/inputs", setup.data_dir + "/outputs", setup.data_dir};
  fs::create_directories(paths.inputs);
  fs::create_directories(paths.outputs);
  std::ofstream(paths.inputs + "/none.in", std::ios::binary) << "n\n";
  const bool floor = exists(paths.floor);
  const std::string scaling_measure = "1,000 into " + grouped(kBaseArticles) + " vs empty";
  if (!exists(paths.autolog)) {
    for (const std::string& measure : {std::string("20,000 articles"), scaling_measure}) {
      report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, "not built"});
    }
    report.add({"open, read first: " + grouped(kBaseArticles) + " vs 1 article", "autolog2", "", "", "", "",
                Verdict::kSkipped, exists(paths.autolog2) ? "needs autolog to make its files" : "not built"});
    return;
  }
  if (!floor) {
    for (const std::string& measure : {std::string("20,000 articles"), scaling_measure}) {
      report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, "floor not built"});
    }
    return;
  }
  throughput(paths, setup, report);
  std::string problem;
  const std::string base = base_file(paths, paths.autolog, autolog_filler(paths), report, &problem);
  if (base.empty()) {
    report.add({"make the " + grouped(kBaseArticles) + "-article file", "autolog", "", "", "", "", Verdict::kSkipped,
                problem});
    return;
  }
  const std::string large = working_copy(base);
  open_large(paths, setup, large, report);
  scaling(paths, setup, "autolog", autolog_adder(paths), large, report, true);
  // The floor's own figure shows how much of the cost is SQLite's.
  const std::string floor_base = base_file(paths, paths.floor, floor_filler(paths), report, &problem);
  if (!floor_base.empty()) {
    scaling(paths, setup, "articles_floor", floor_adder(paths), working_copy(floor_base), report, false);
  }
}

}  // namespace bench
