// bench_run: measures the programs against their floors and prints one table, also
// written as CSV.
//
//   bench_run [--csv PATH] [--quick] [--only startup|fleet|command|changes|postgres|serve|post|micro]
//
// fleet holds command and changes: the fleet command's reading rows, alone with --only
// command, and its changes (archive, delete, replace), alone with --only changes.
//
// --quick makes fewer runs, for trying the benchmark out; its figures are rough.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "bench/suites.h"

namespace bench {

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

}  // namespace bench

int main(int argc, char** argv) {
  bench::Setup setup{BENCH_BIN_DIR, BENCH_TOOL_DIR, BENCH_INPUT_DIR, BENCH_DATA_DIR};
  std::string csv = std::string(BENCH_DATA_DIR) + "/bench.csv";
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--csv" && i + 1 < argc) {
      csv = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--quick") {
      setup.startup_runs = 20;
      setup.autolog2_runs = 10;
      setup.throughput_reps = 1;
      setup.scaling_reps = 1;
      setup.micro_min_time = "0.01";
    } else {
      std::cerr << "usage: bench_run [--csv PATH] [--quick] [--only "
                   "startup|fleet|command|changes|postgres|serve|post|micro]\n";
      return 2;
    }
  }
  std::filesystem::create_directories(setup.data_dir);

  bench::Report report;
  if (only.empty() || only == "startup") {
    std::cerr << "start-up: " << setup.startup_runs << " runs of each program and its floor...\n";
    bench::startup_suite(setup, report);
  }
  if (only.empty() || only == "fleet") {
    std::cerr << "article file: autolog and autolog2...\n";
    bench::fleet_suite(setup, report);
  }
  if (only.empty() || only == "fleet" || only == "command") bench::fleet_command_suite(setup, report);
  if (only.empty() || only == "fleet" || only == "changes") {
    std::cerr << "fleet archive, delete and import --replace...\n";
    bench::fleet_changes_suite(setup, report);
  }
  if (only.empty() || only == "postgres") bench::postgres_suite(setup, report);
  if (only.empty() || only == "serve") bench::serve_suite(setup, report);
  if (only.empty() || only == "serve" || only == "post") bench::serve_post_suite(setup, report);
  if (only.empty() || only == "micro") {
    std::cerr << "micro-benchmarks...\n";
    bench::micro_suite(setup, report);
  }

  report.print(std::cout);
  const std::filesystem::path csv_path(csv);
  if (csv_path.has_parent_path()) std::filesystem::create_directories(csv_path.parent_path());
  std::ofstream out(csv);
  report.write_csv(out);
  out.close();
  std::cout << "written to " << csv << "\n";
  return 0;
}
