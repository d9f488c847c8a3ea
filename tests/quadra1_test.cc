// Dialogue tests of quadra1: no input read, three lines out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testing/harness.h"

namespace {

const std::string kOutput =
    "Taille du tableau : 03\n"
    "02\n"  // 3 / 2 = 1.5, rounded: not 01
    "Carr\xE9 magique termin\xE9.\n";

TEST(Quadra1, WorkedExample) {
  const dialogue::Outcome run = dialogue::run("quadra1", "");
  EXPECT_EQ(run.out, kOutput);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Quadra1, SameOutputWhateverStandardInputHolds) {
  const std::string text = "5\n11\nabc\n" + std::string(1 << 20, 'x');
  for (const std::string& input : {std::string(), text, std::string("no line feed")}) {
    const dialogue::Outcome run = dialogue::run("quadra1", input);
    EXPECT_EQ(run.out, kOutput) << input.size();
    EXPECT_EQ(run.status, 0) << input.size();
  }
  dialogue::Options closed;
  closed.stdin_fd = dialogue::kClosedInput;
  const dialogue::Outcome run = dialogue::run("quadra1", "", closed);
  EXPECT_EQ(run.out, kOutput);
  EXPECT_EQ(run.status, 0);

  dialogue::TempDir dir;
  const std::string path = dir.file("typed");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "3\n3\n", 4), 4);
  lseek(fd, 0, SEEK_SET);
  dialogue::Options file;
  file.stdin_fd = fd;
  EXPECT_EQ(dialogue::run("quadra1", "", file).out, kOutput);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // typed text left unread
  close(fd);
}

}  // namespace
