// Micro suite: runs the Google Benchmark binary of the runtime's hot operations and
// brings its results into the table, one row per benchmark.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/suites.h"
#include "testing/process.h"

namespace bench {

namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (char c : line) {
    if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      fields.push_back(std::move(field)), field.clear();
    else
      field += c;
  }
  fields.push_back(field);
  return fields;
}

}  // namespace

void micro_suite(const Setup& setup, Report& report) {
  Command micro{setup.tool_dir + "/runtime_bench"};
  if (!exists(micro.path)) {
    report.add({"micro", "runtime_bench", "", "", "", "", Verdict::kSkipped, "not built (Google Benchmark missing)"});
    return;
  }
  const std::string results = setup.data_dir + "/micro.csv";
  micro.args = {"--benchmark_out=" + results, "--benchmark_out_format=csv",
                "--benchmark_min_time=" + setup.micro_min_time};
  const Measure m = run(micro);
  std::ifstream in(results);
  std::string line;
  std::vector<std::string> header;
  int rows = 0;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = split(line);
    if (header.empty()) {
      if (!fields.empty() && fields[0] == "name") header = fields;
      continue;
    }
    auto column = [&](const char* name) -> std::string {
      for (size_t c = 0; c < header.size() && c < fields.size(); ++c) {
        if (header[c] == name) return fields[c];
      }
      return "";
    };
    report.add({"micro (cpu time per call)", column("name"),
                fixed(std::stod(column("cpu_time")), 1) + " " + column("time_unit"), "", "", "", Verdict::kInfo,
                "for regressions"});
    ++rows;
  }
  if (rows == 0) {
    report.add({"micro", "runtime_bench", "", "", "", "", Verdict::kSkipped,
                "no results (exit status " + std::to_string(m.status) + ")"});
  }
}

}  // namespace bench
