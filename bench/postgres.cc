// PostgreSQL suite: autolog adding articles to a table through its dialogue, against a
// bare libpq program doing the same inserts, on a throwaway server of the benchmark's
// own (the tests' scripts/pg-test-server, in the data folder). Each run gets a new
// schema, so both start from no table at all.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "bench/suites.h"
#include "testing/process.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

constexpr unsigned kArticles = 5000;
constexpr double kLimit = 1.2;

// Runs SQL as the server's superuser through psql; the first row's first value, or ""
// on failure. Through psql rather than libpq, so that the process that starts the
// measured programs stays small (the peak memory of a child counts its parent's pages).
std::string sql(const std::string& uri, const std::string& statements) {
  const std::string answer =
      (std::filesystem::temp_directory_path() / ("bench-psql-" + std::to_string(::getpid()))).string();
  const Measure m = run({.path = "/usr/bin/psql",
                         .args = {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d", uri, "-c", statements},
                         .stdout_path = answer});
  std::string value;
  if (m.status == 0) {
    std::ifstream in(answer);
    std::getline(in, value);
  }
  std::remove(answer.c_str());
  return value;
}

// A new empty schema; the URI whose search path is that schema.
std::string fresh_schema(const std::string& server, const std::string& name) {
  sql(server,
      "SET client_min_messages TO warning;"
      "DROP SCHEMA IF EXISTS " +
          name + " CASCADE; CREATE SCHEMA " + name);
  // Each run starts with the server's dirty pages written out, so that no run pays for
  // a checkpoint the one before it caused.
  sql(server, "CHECKPOINT");
  return server + (server.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + name;
}

std::string articles_input(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  char text[kArticleTextMax];
  for (unsigned i = 0; i < kArticles; ++i) out.write(text, static_cast<std::streamsize>(article_text(i, text)));
  out << "n\n";
  return path;
}

}  // namespace

void postgres_suite(const Setup& setup, Report& report) {
  const std::string measure = grouped(kArticles) + " articles, PostgreSQL";
  const std::string autolog = setup.bin_dir + "/autolog";
  const std::string floor = setup.tool_dir + "/postgres_floor";
  const auto skipped = [&](const std::string& why) {
    report.add({measure, "autolog", "", "", "", "", Verdict::kSkipped, why});
  };
  if (!exists(autolog) || !exists(floor)) return skipped(exists(autolog) ? "floor not built" : "not built");
  std::cerr << "PostgreSQL: " << kArticles << " articles through autolog and through libpq...\n";
  const std::string folder = setup.data_dir + "/postgres";
  const std::string server_script = BENCH_PG_SERVER;
  if (std::system((server_script + " start " + folder + " >/dev/null").c_str()) != 0) {
    return skipped("no PostgreSQL server could be started (scripts/pg-test-server)");
  }
  std::string server;
  std::getline(std::ifstream(folder + "/uri"), server);
  const std::string input = articles_input(setup.data_dir + "/postgres-articles.in");

  std::vector<double> autolog_ns;
  std::vector<double> floor_ns;
  std::string problem;
  // A run takes about a second: more of them than of the 20,000-article runs, as a
  // shared server's figures vary more.
  const int reps = setup.throughput_reps > 1 ? 7 : 1;
  for (int rep = 0; rep < reps && problem.empty(); ++rep) {
    for (int turn = 0; turn < 2 && problem.empty(); ++turn) {
      const bool autolog_turn = (turn == 0) == (rep % 2 == 0);
      const std::string schema = autolog_turn ? "bench_autolog" : "bench_floor";
      const std::string uri = fresh_schema(server, schema);
      Command command{floor, {uri, "0", std::to_string(kArticles)}};
      if (autolog_turn) {
        command = Command{autolog};
        command.env = {"fichier=" + uri};
        command.stdin_path = input;
        command.stdout_path = setup.data_dir + "/postgres-autolog.out";
      }
      const Measure m = run(command);
      const std::string stored = sql(server, "SELECT count(*) FROM " + schema + ".articles");
      if (m.status != 0 || stored != std::to_string(kArticles)) {
        problem = (autolog_turn ? "autolog" : "floor") + std::string(" stored ") + (stored.empty() ? "0" : stored) +
                  " articles, exit status " + std::to_string(m.status);
      }
      (autolog_turn ? autolog_ns : floor_ns).push_back(static_cast<double>(m.wall_ns));
    }
  }
  (void)!std::system((server_script + " stop " + folder + " >/dev/null").c_str());  // the figures stand anyway
  if (!problem.empty()) return skipped(problem);
  const double a = median(autolog_ns);
  const double f = median(floor_ns);
  auto per_second = [](double ns) { return grouped(kArticles / (ns / 1e9)) + " art/s"; };
  Row row = ratio_row(measure, "autolog", milliseconds(a) + " (" + per_second(a) + ")",
                      milliseconds(f) + " (" + per_second(f) + ")", a / f, kLimit);
  row.note = "the same inserts through libpq; serializable, one commit per article";
  report.add(row);
}

}  // namespace bench
