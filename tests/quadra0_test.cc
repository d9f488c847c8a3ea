// Dialogue tests of quadra0: no input read, eleven lines out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testing/harness.h"

namespace {

#define CELL     \
  "Coordonn\xC3" \
  "es ("  // 13 bytes: 0xC3 alone

const std::string kOutput =
    "Taille du tableau : 03\n" CELL "01, 01) : 01\n" CELL "01, 02) : 01\n" CELL "01, 03) : 01\n" CELL
    "02, 01) : 01\n" CELL "02, 02) : 01\n" CELL "02, 03) : 01\n" CELL "03, 01) : 01\n" CELL "03, 02) : 01\n" CELL
    "03, 03) : 01\n"
    "Carr\xE9 magique termin\xE9.\n";

TEST(Quadra0, WorkedExample) {
  const dialogue::Outcome run = dialogue::run("quadra0", "");
  EXPECT_EQ(run.out, kOutput);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(std::string(CELL).size(), 13u);
}

TEST(Quadra0, SameOutputWhateverStandardInputHolds) {
  const std::string text = "5\n11\nabc\n" + std::string(1 << 20, 'x');
  for (const std::string& input : {std::string(), text, std::string("no line feed")}) {
    const dialogue::Outcome run = dialogue::run("quadra0", input);
    EXPECT_EQ(run.out, kOutput) << input.size();
    EXPECT_EQ(run.status, 0) << input.size();
  }
  dialogue::Options closed;
  closed.stdin_fd = dialogue::kClosedInput;
  const dialogue::Outcome run = dialogue::run("quadra0", "", closed);
  EXPECT_EQ(run.out, kOutput);
  EXPECT_EQ(run.status, 0);
}

TEST(Quadra0, TypedTextIsLeftUnread) {
  dialogue::TempDir dir;
  const std::string path = dir.file("typed");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "3\n3\n", 4), 4);
  lseek(fd, 0, SEEK_SET);
  dialogue::Options options;
  options.stdin_fd = fd;
  const dialogue::Outcome run = dialogue::run("quadra0", "", options);
  EXPECT_EQ(run.out, kOutput);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // the shared offset never moved
  close(fd);
}

}  // namespace
