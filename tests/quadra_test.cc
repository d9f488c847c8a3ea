// Dialogue tests of quadra0 and quadra1: no input read, the same lines out whatever
// standard input holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "testing/harness.h"

namespace {

#define CELL     \
  "Coordonn\xC3" \
  "es ("  // 0xC3 alone
static_assert(sizeof(CELL) - 1 == 13);

struct Program {
  const char* name;
  std::string output;
};
void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

const Program kPrograms[] = {
    {"quadra0", "Taille du tableau : 03\n" CELL "01, 01) : 01\n" CELL "01, 02) : 01\n" CELL "01, 03) : 01\n" CELL
                "02, 01) : 01\n" CELL "02, 02) : 01\n" CELL "02, 03) : 01\n" CELL "03, 01) : 01\n" CELL
                "03, 02) : 01\n" CELL "03, 03) : 01\n"
                "Carr\xE9 magique termin\xE9.\n"},
    {"quadra1",
     "Taille du tableau : 03\n"
     "02\n"  // 3 / 2 = 1.5, rounded: not 01
     "Carr\xE9 magique termin\xE9.\n"},
};

class Quadra : public ::testing::TestWithParam<Program> {};

TEST_P(Quadra, WorkedExample) {
  const dialogue::Outcome run = dialogue::run(GetParam().name, "");
  EXPECT_EQ(run.out, GetParam().output);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST_P(Quadra, SameOutputWhateverStandardInputHolds) {
  const std::string text = "5\n11\nabc\n" + std::string(1 << 20, 'x');
  for (const std::string& input : {std::string(), text, std::string("no line feed")}) {
    const dialogue::Outcome run = dialogue::run(GetParam().name, input);
    EXPECT_EQ(run.out, GetParam().output) << input.size();
    EXPECT_EQ(run.status, 0) << input.size();
  }
  dialogue::Options closed;
  closed.stdin_fd = dialogue::kClosedInput;
  const dialogue::Outcome run = dialogue::run(GetParam().name, "", closed);
  EXPECT_EQ(run.out, GetParam().output);
  EXPECT_EQ(run.status, 0);
}

TEST_P(Quadra, TypedTextIsLeftUnread) {
  dialogue::TempDir dir;
  const std::string path = dir.file("typed");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "3\n3\n", 4), 4);
  lseek(fd, 0, SEEK_SET);
  dialogue::Options options;
  options.stdin_fd = fd;
  EXPECT_EQ(dialogue::run(GetParam().name, "", options).out, GetParam().output);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);  // the shared offset never moved
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(EachProgram, Quadra, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program>& info) { return std::string(info.param.name); });

}  // namespace
