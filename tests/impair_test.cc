// Dialogue tests of impair: answers until an odd one, one remainder line each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/harness.h"

namespace {

const std::string kPrompt = "Saisissez un chiffre impair : ";
const std::string kVerdict = "Le nombre est impair.         \n";

TEST(Impair, WorkedDialogue) {
  const dialogue::Outcome run = dialogue::run("impair", "4\n10\n7\n");
  EXPECT_EQ(run.out,
            "Saisissez un chiffre impair : 0\n"
            "Saisissez un chiffre impair : 0\n"
            "Saisissez un chiffre impair : 1\n"
            "Le nombre est impair.         \n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Impair, EvenAnswersUntilAnOddOne) {
  struct Case {
    const char* input;
    const char* remainders;  // one digit per answer read
  } cases[] = {
      {"7\n", "1"},
      {"4\n0\n98\n99\n", "0001"},
      {"3\n", "1"},                // held as 03
      {"100\n5\n", "01"},          // 100 is held as 00: even
      {"107\n", "1"},              // held as 07
      {"\nabc\n-3\n3\n", "0001"},  // not numbers: 0, even
      {"3.5\n", "1"},              // decimals dropped: 3
      {" 8 \r\n9\r\n", "01"},
      {"9\n4\n", "1"},   // the run ends at the odd answer, the rest unread
      {"12\n13", "01"},  // a last line without line feed
  };
  for (const Case& c : cases) {
    std::string expected;
    for (const char* r = c.remainders; *r != '\0'; ++r) expected += kPrompt + *r + "\n";
    const dialogue::Outcome run = dialogue::run("impair", c.input);
    EXPECT_EQ(run.out, expected + kVerdict) << c.input;
    EXPECT_EQ(run.status, 0) << c.input;
  }
}

TEST(Impair, EndOfInputEndsTheRunAfterTheLastRemainder) {
  const dialogue::Outcome run = dialogue::run("impair", "4\n10\n");
  EXPECT_EQ(run.out, kPrompt + "0\n" + kPrompt + "0\n" + kPrompt);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);

  for (int stdin_fd : {dialogue::kPipedInput, dialogue::kClosedInput}) {
    dialogue::Options options;
    options.stdin_fd = stdin_fd;
    const dialogue::Outcome empty = dialogue::run("impair", "", options);
    EXPECT_EQ(empty.out, kPrompt) << stdin_fd;
    EXPECT_EQ(empty.status, 0) << stdin_fd;
  }
}

TEST(Impair, TensOfThousandsOfEvenAnswersThenAnOddOne) {
  constexpr int kEven = 50000;
  std::string input, expected;
  for (int i = 0; i < kEven; ++i) {
    input += std::to_string(i * 2 % 100) + "\n";
    expected += kPrompt + "0\n";
  }
  input += "51\n";
  expected += kPrompt + "1\n" + kVerdict;
  const dialogue::Outcome run = dialogue::run("impair", input);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out == expected) << "output of " << run.out.size() << " bytes differs";
}

}  // namespace
