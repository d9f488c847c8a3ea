// Suites: the groups of measurements that make up the benchmark table. Each one adds
// its rows to the report, and skips with a row that says why when what it measures
// was not built.
#pragma once

#include <string>

#include "bench/report.h"

namespace bench {

struct Setup {
  std::string bin_dir;                 // the programs
  std::string tool_dir;                // the floors and the micro-benchmarks
  std::string input_dir;               // worked-example inputs, one <program>.in each
  std::string data_dir;                // article files and their inputs; the 200,000 file is kept
  int startup_runs = 200;              // runs of each program and of its floor
  int autolog2_runs = 60;              // runs on each of the two files
  int throughput_reps = 3;             // 20,000-article runs of autolog and of its floor
  int scaling_reps = 5;                // 1,000-article runs into each of the two files
  std::string micro_min_time = "0.2";  // seconds per micro-benchmark
};

bool exists(const std::string& path);

// Start-up and peak memory of the seven programs without a file, against floors.
void startup_suite(const Setup& setup, Report& report);

// autolog throughput and scaling, autolog2 on a large file.
void fleet_suite(const Setup& setup, Report& report);

// autolog on a PostgreSQL table against bare libpq, on a throwaway server of its own.
void postgres_suite(const Setup& setup, Report& report);

// fleet export and import of a 200,000-article file, against sqlite3 and a bare floor;
// fleet stats over 52 weekly files against one file of as many articles.
void fleet_command_suite(const Setup& setup, Report& report);

// fleet archive of a 200,000-article file, and fleet delete and import --replace of one
// article, against bare SQLite doing the same statements.
void fleet_changes_suite(const Setup& setup, Report& report);
// fleet serve under wrk's load, against the same HTTP library serving a static page.
void serve_suite(const Setup& setup, Report& report);
// fleet serve's POST of one article against autolog's acknowledged article.
void serve_post_suite(const Setup& setup, Report& report);

// Google Benchmark micro-benchmarks of the runtime's hot operations.
void micro_suite(const Setup& setup, Report& report);

}  // namespace bench
