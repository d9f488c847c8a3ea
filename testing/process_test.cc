// Running programs (streams, environment, folder, time limit), measuring them, and the
// median of the samples.
#include "testing/process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "testing/test_folder.h"

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

TEST(Run, FeedsInputCapturesOutputAndStatus) {
  const testkit::TempFolder folder;
  const std::string in = folder.file("in");
  const std::string out = folder.file("out");
  testkit::put_bytes(in, "line\xE9\n");
  bench::Command cat{"/bin/cat"};
  cat.stdin_path = in;
  cat.stdout_path = out;
  const bench::Measure m = bench::run(cat);
  EXPECT_EQ(m.status, 0);
  EXPECT_GT(m.wall_ns, 0);
  EXPECT_GT(m.max_rss_kib, 0);
  EXPECT_EQ(testkit::bytes_of(out), "line\xE9\n");
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

TEST(Process, StreamsEnvironmentAndFolder) {
  using testkit::Stream;
  const std::string large(1 << 20, 'x');  // more than the pipes hold both ways at once
  struct Case {
    std::string script, input;
    std::vector<std::string> env;
    std::string directory;
    Stream in;
    std::string out, err;
    int status;
  };
  const Case cases[] = {
      {"cat", large, {}, "", Stream::pipe(), large, "", 0},
      {"echo \"$X\"; echo oops >&2; exit 4", "", {"X=1"}, "", Stream::pipe(), "1\n", "oops\n", 4},
      {"echo \"${HOME-none}\"", "", {"HOME"}, "", Stream::pipe(), "none\n", "", 0},
      {"pwd", "", {}, "/", Stream::pipe(), "/\n", "", 0},
      {"read line || echo closed", "", {}, "", Stream::closed(), "closed\n", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    testkit::Process process(
        {"/bin/sh", {"-c", c.script}, c.env, c.directory, -1, c.in, Stream::pipe(), Stream::pipe()});
    ASSERT_TRUE(process.start());
    process.send(c.input);
    process.close_input();
    EXPECT_TRUE(process.drain(10000));
    const testkit::Ending ending = process.wait();
    EXPECT_TRUE(process.out() == c.out) << process.out().size() << " bytes";
    EXPECT_EQ(process.err(), c.err);
    EXPECT_EQ(ending.status, c.status);
  }
}

TEST(Process, TimeLimitAndChildren) {
  testkit::Process sleeper({"/bin/sleep", {"5"}, {}, {}, -1, {}, testkit::Stream::pipe(), {}});
  ASSERT_TRUE(sleeper.start());
  EXPECT_FALSE(sleeper.drain(100));
  sleeper.kill(SIGKILL);
  EXPECT_EQ(sleeper.wait().signal, SIGKILL);
  EXPECT_EQ(testkit::in_child([] { return 3; }), 3);
  EXPECT_EQ(testkit::in_child([] { return raise(SIGKILL); }), 100 + SIGKILL);
}

}  // namespace
