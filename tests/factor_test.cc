// Dialogue tests of factor: two answers in, the remainder line and the verdict out.
#include <gtest/gtest.h>

#include <string>

#include "testing/harness.h"

namespace {

const std::string kPrompts = "Saisissez un chiffre de base : Saisissez le chiffre suivant : ";
const std::string kPositive = "Le nombre est un multiple incr\n";
const std::string kNegative = "Le nombre n'est pas un multipl\n";

TEST(Factor, WorkedDialogue) {
  const dialogue::Outcome run = dialogue::run("factor", "5\n11\n");
  EXPECT_EQ(run.out,
            "Saisissez un chiffre de base : "
            "Saisissez le chiffre suivant : "
            "RESTE : 1\n"
            "Le nombre est un multiple incr\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Factor, RemainderAndVerdict) {
  struct Case {
    const char* input;
    char remainder;
    bool positive;
  } cases[] = {
      {"5\n10\n", '0', false},                                  // an exact multiple
      {"1\n37\n", '0', false},                                  // base 1: every remainder is 0
      {"7\n1\n", '1', true},                                    // below the base: quotient 0
      {"5\n0\n", '0', false},        {"15\n29\n", '0', false},  // 14 does not fit one digit: the field keeps 0
      {"99\n98\n", '0', false},                                 // 98 does not fit either
      {"9\n98\n", '8', false},       {"12\n25\n", '1', true},   // a two-digit base
      {"07\n15\n", '1', true},                                  // 7 and 07 are the same number
      {"0\n5\n", '0', false},                                   // base 0: a size error, the remainder keeps 0
      {"\n\n", '0', false},                                     // empty answers are 0, so 0 / 0 as well
      {"100\n11\n", '0', false},                                // held as 00
      {"5\n111\n", '1', true},                                  // held as 11
      {"-5\n11\n", '0', false},                                 // not a number: 0
      {"3.9\n10\n", '1', true},                                 // decimals dropped: 3
      {" +5 \r\n11\r\n", '1', true}, {"5\n11", '1', true},      // a last line without line feed
      {"5\n11\n4\n", '1', true},                                // a third line is left unread
  };
  for (const Case& c : cases) {
    const dialogue::Outcome run = dialogue::run("factor", c.input);
    EXPECT_EQ(run.out, kPrompts + "RESTE : " + c.remainder + "\n" + (c.positive ? kPositive : kNegative)) << c.input;
    EXPECT_EQ(run.status, 0) << c.input;
  }
}

TEST(Factor, EndOfInputEndsTheRunQuietly) {
  struct Case {
    const char* input;
    std::string out;
  } cases[] = {
      {"", "Saisissez un chiffre de base : "},
      {"5\n", kPrompts},
      {"5", kPrompts},
  };
  for (const Case& c : cases) {
    const dialogue::Outcome run = dialogue::run("factor", c.input);
    EXPECT_EQ(run.out, c.out) << c.input;
    EXPECT_EQ(run.err, "") << c.input;
    EXPECT_EQ(run.status, 0) << c.input;
  }
}

}  // namespace
