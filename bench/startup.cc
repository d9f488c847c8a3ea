// Start-up suite: each program without a file on its worked-example input, against a
// plain C program that writes the same bytes, run in turn so that drift cancels.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "bench/suites.h"
#include "testing/process.h"

namespace bench {

namespace {

constexpr const char* kPrograms[] = {"civil", "mirror1", "sieve", "quadra0", "quadra1", "factor", "impair"};
constexpr double kStartupLimit = 1.3;
constexpr double kRssLimitKib = 8 * 1024;
constexpr int kWarmUp = 5;

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void skip(Report& report, const char* program, const std::string& why) {
  report.add({"start-up", program, "", "", "", "", Verdict::kSkipped, why});
}

void measure_program(const Setup& setup, const char* name, Report& report) {
  Command program{setup.bin_dir + "/" + name};
  Command floor{setup.tool_dir + "/floor_" + name};
  program.stdin_path = floor.stdin_path = setup.input_dir + "/" + name + ".in";
  if (!exists(program.path)) return skip(report, name, "not built");
  if (!exists(floor.path)) return skip(report, name, "floor not built");

  // Both must write the same bytes, or the comparison means nothing.
  const std::string program_out = setup.data_dir + "/" + name + ".out";
  const std::string floor_out = setup.data_dir + "/floor_" + name + ".out";
  program.stdout_path = program_out;
  floor.stdout_path = floor_out;
  const Measure first = run(program);
  run(floor);
  if (first.status != 0) return skip(report, name, "exit status " + std::to_string(first.status));
  if (contents(program_out) != contents(floor_out)) {
    return skip(report, name, "output differs from its floor: rebuild the floor");
  }
  program.stdout_path = floor.stdout_path = "/dev/null";

  for (int i = 0; i < kWarmUp; ++i) {
    run(program);
    run(floor);
  }
  std::vector<double> program_ns;
  std::vector<double> floor_ns;
  int64_t program_rss = 0;
  int64_t floor_rss = 0;
  for (int i = 0; i < setup.startup_runs; ++i) {
    // Alternate which goes first, so neither always runs on the other's warm cache.
    for (int turn = 0; turn < 2; ++turn) {
      const bool program_turn = (turn == 0) == (i % 2 == 0);
      const Measure m = run(program_turn ? program : floor);
      (program_turn ? program_ns : floor_ns).push_back(static_cast<double>(m.wall_ns));
      int64_t& rss = program_turn ? program_rss : floor_rss;
      rss = std::max(rss, m.max_rss_kib);
    }
  }
  const double program_median = median(program_ns);
  const double floor_median = median(floor_ns);
  report.add(ratio_row("start-up (median of " + std::to_string(setup.startup_runs) + ")", name,
                       milliseconds(program_median), milliseconds(floor_median), program_median / floor_median,
                       kStartupLimit));
  Row rss{"peak RSS",
          name,
          mebibytes(static_cast<double>(program_rss)),
          mebibytes(static_cast<double>(floor_rss)),
          "",
          "<= 8 MiB",
          program_rss <= kRssLimitKib ? Verdict::kMet : Verdict::kMissed,
          ""};
  report.add(rss);
}

}  // namespace

void startup_suite(const Setup& setup, Report& report) {
  for (const char* name : kPrograms) measure_program(setup, name, report);
}

}  // namespace bench
