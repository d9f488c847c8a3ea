#include "runtime/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// Reads every line the reader gives for input written into a pipe.
std::vector<std::string> lines_of(const std::string& input) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = write(fds[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  auto reader = std::make_unique<rt::LineReader>(fds[0], nullptr);
  std::vector<std::string> lines;
  std::string_view line;
  while (reader->next(&line)) lines.emplace_back(line);
  writer.join();
  close(fds[0]);
  return lines;
}

TEST(LineReader, LineEnds) {
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},  // CR LF, and a last line without LF
      {"a\r\r\n", {"a\r"}},    // only the CR just before the LF goes
      {"a\rb\n", {"a\rb"}},
      {"\r", {"\r"}},  // no LF: the CR stays
      {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const Case& c : cases) EXPECT_EQ(lines_of(c.input), c.lines);
}

TEST(LineReader, LongLinesAreCutAndTheirRestDiscarded) {
  const size_t max = rt::LineReader::kMaxLine;
  const std::string long_line(max + 70000, 'x');
  EXPECT_EQ(lines_of(long_line + "\nnext\n"), (std::vector<std::string>{std::string(max, 'x'), "next"}));
  EXPECT_EQ(lines_of(std::string(max - 1, 'y') + "\r\n"), (std::vector<std::string>{std::string(max - 1, 'y')}));
  EXPECT_EQ(lines_of(std::string(max, 'y') + "\r\nz"), (std::vector<std::string>{std::string(max, 'y'), "z"}));
}

TEST(OutputBuffer, WritesInOrderAndRemembersFailure) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    rt::OutputBuffer out(fds[1]);
    out.write("ab", 2);
    const std::string big(40000, 'c');
    out.write(big.data(), big.size());
    out.write("d", 1);
    out.flush();
    EXPECT_EQ(out.error(), 0);
  }
  close(fds[1]);
  std::string got;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  EXPECT_EQ(got, "ab" + std::string(40000, 'c') + "d");

  rt::OutputBuffer closed(-1);
  closed.write("x", 1);
  closed.flush();
  EXPECT_NE(closed.error(), 0);
}

// A pipe already holding bytes and closed for writing: reads give them, then the end.
int pipe_holding(const std::string& bytes) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  return fds[0];
}

TEST(LineReader, AttachStartsOverOnTheNewDescriptor) {
  const int first = pipe_holding("a\nunread\n");
  const int second = pipe_holding("c");
  auto reader = std::make_unique<rt::LineReader>(first, nullptr);
  std::string_view line;
  ASSERT_TRUE(reader->next(&line));
  EXPECT_EQ(line, "a");
  reader->attach(second);  // what the first one still buffers is gone
  ASSERT_TRUE(reader->next(&line));
  EXPECT_EQ(line, "c");
  EXPECT_FALSE(reader->next(&line));
  EXPECT_FALSE(reader->next(&line));  // the end stays the end
  const int third = pipe_holding("d\n");
  reader->attach(third);  // and a new descriptor reads again
  ASSERT_TRUE(reader->next(&line));
  EXPECT_EQ(line, "d");
  for (int fd : {first, second, third}) close(fd);
}

TEST(OutputBuffer, AttachForgetsPendingBytesAndFailure) {
  rt::OutputBuffer out(-1);
  out.write("lost", 4);
  out.flush();
  EXPECT_NE(out.error(), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  out.write("dropped", 7);
  out.attach(fds[1]);
  EXPECT_EQ(out.error(), 0);
  out.write("kept", 4);
  out.flush();
  close(fds[1]);
  char buffer[16];
  EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "kept");
  close(fds[0]);
}

}  // namespace
