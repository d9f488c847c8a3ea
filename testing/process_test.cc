// Running and measuring programs, and the median of the samples.
#include "testing/process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

TEST(Median, OddEvenAndUnsorted) {
  struct Case {
    std::vector<double> samples;
    double median;
  };
  const Case cases[] = {
      {{}, 0}, {{5}, 5}, {{3, 1, 2}, 2}, {{4, 1, 3, 2}, 2.5}, {{9, 1, 1, 9, 5}, 5}, {{7, 7}, 7},
  };
  for (const Case& c : cases) EXPECT_EQ(bench::median(c.samples), c.median);
}

std::string temp_path(const char* name) {
  return testing::TempDir() + "/process_test_" + name;
}

TEST(Run, FeedsInputCapturesOutputAndStatus) {
  const std::string in = temp_path("in");
  const std::string out = temp_path("out");
  std::ofstream(in, std::ios::binary) << "line\xE9\n";
  bench::Command cat{"/bin/cat"};
  cat.stdin_path = in;
  cat.stdout_path = out;
  const bench::Measure m = bench::run(cat);
  EXPECT_EQ(m.status, 0);
  EXPECT_GT(m.wall_ns, 0);
  EXPECT_GT(m.max_rss_kib, 0);
  std::ifstream got(out, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), "line\xE9\n");
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(Run, ArgumentsEnvironmentAndFailures) {
  struct Case {
    std::string script;
    std::vector<std::string> env;
    int status;
  };
  const Case cases[] = {
      {"exit 3", {}, 3},
      {"test \"$fichier\" = /tmp/a", {"fichier=/tmp/a"}, 0},
      {"test \"$HOME\" = /elsewhere", {"HOME=/elsewhere"}, 0},  // replaces, not duplicates
      {"kill -9 $$", {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    bench::Command sh{"/bin/sh", {"-c", c.script}, c.env};
    EXPECT_EQ(bench::run(sh).status, c.status);
  }
  EXPECT_EQ(bench::run(bench::Command{"/nonexistent/program"}).status, 127);
}

}  // namespace
