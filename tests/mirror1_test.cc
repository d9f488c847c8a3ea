// Dialogue tests of mirror1: standard input in, standard output and status out.
#include <gtest/gtest.h>

#include <string>

#include "testing/harness.h"

namespace {

using dialogue::repeat;

const std::string kPrompt = "Saisissez une phrase : ";
const std::string kSame = "C'EST UN PALINDROME" + repeat(11);
const std::string kNotSame = "CE N'EST PAS UN PALINDROME" + repeat(4);

// A 255-character field holding text followed by spaces.
std::string field(const std::string& text) { return text + repeat(255 - text.size()); }

// The whole output for a sentence (as held, before padding), its two texts and verdict.
std::string output(const std::string& sentence, const std::string& forward, const std::string& backward,
                   const std::string& verdict) {
  return kPrompt + "MOT SAISI : " + field(sentence) + "\n" + "MOT DEPART : " + field(forward) + "\n" +
         "MOT ARRIVEE : " + field(backward) + "\n" + verdict + "\n" + "FIN DU TRAITEMENT\n";
}

TEST(Mirror1, WorkedExampleThatReadsTheSameBothWays) {
  const dialogue::Outcome run = dialogue::run("mirror1", "ELU PAR CETTE CRAPULE\n");
  EXPECT_EQ(run.out,
            "Saisissez une phrase : "
            "MOT SAISI : ELU PAR CETTE CRAPULE" +
                repeat(234) + "\n" + "MOT DEPART : ELUPARCETTECRAPULE" + repeat(237) + "\n" +
                "MOT ARRIVEE : ELUPARCETTECRAPULE" + repeat(237) + "\n" + "C'EST UN PALINDROME" + repeat(11) + "\n" +
                "FIN DU TRAITEMENT\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Mirror1, WorkedExampleThatDoesNot) {
  const dialogue::Outcome run = dialogue::run("mirror1", "BONJOUR\n");
  EXPECT_EQ(run.out,
            "Saisissez une phrase : "
            "MOT SAISI : BONJOUR" +
                repeat(248) + "\n" + "MOT DEPART : BONJOUR" + repeat(248) + "\n" + "MOT ARRIVEE : RUOJNOB" +
                repeat(248) + "\n" + "CE N'EST PAS UN PALINDROME" + repeat(4) + "\n" + "FIN DU TRAITEMENT\n");
  EXPECT_EQ(run.status, 0);
}

TEST(Mirror1, SentencesOfEveryShape) {
  const std::string full_palindrome = repeat(127, 'A') + "B" + repeat(127, 'A');
  const std::string full_other = repeat(254, 'A') + "B";
  const struct Case {
    const char* name;
    std::string input;
    std::string sentence;
    std::string forward;
    std::string backward;
    const std::string& verdict;
  } cases[] = {
      {"empty line", "\n", "", "", "", kSame},
      {"spaces only", "      \n", "", "", "", kSame},
      {"single character", "Z\n", "Z", "Z", "Z", kSame},
      {"two spaces between words", "AB  BA\n", "AB  BA", "ABBA", "ABBA", kSame},
      {"leading and trailing spaces", "  ABBA  \n", "  ABBA", "ABBA", "ABBA", kSame},
      {"case matters", "Abba\n", "Abba", "Abba", "abbA", kNotSame},
      {"punctuation reads the same", "A,A\n", "A,A", "A,A", "A,A", kSame},
      {"punctuation does not", "AB,\n", "AB,", "AB,", ",BA", kNotSame},
      {"a tab is a character", "A\tB\n", "A\tB", "A\tB", "B\tA", kNotSame},
      {"tabs around a palindrome", "\tA A\t\n", "\tA A\t", "\tAA\t", "\tAA\t", kSame},
      {"digits", "12 21\n", "12 21", "1221", "1221", kSame},
      {"UTF-8 letters have their bytes swapped", "\xC3\xA9t\xC3\xA9\n", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9",
       "\xA9\xC3t\xA9\xC3", kNotSame},
      {"Latin-1 letters are one byte", "\xE9t\xE9\n", "\xE9t\xE9", "\xE9t\xE9", "\xE9t\xE9", kSame},
      {"255 characters reading the same", full_palindrome + "\n", full_palindrome, full_palindrome, full_palindrome,
       kSame},
      {"255 characters that do not", full_other + "\n", full_other, full_other, "B" + repeat(254, 'A'), kNotSame},
      {"no final line feed", "ABBA", "ABBA", "ABBA", "ABBA", kSame},
      {"CR LF", "ABBA\r\n", "ABBA", "ABBA", "ABBA", kSame},
      {"second line unread", "ABBA\nXY\n", "ABBA", "ABBA", "ABBA", kSame},
  };
  for (const Case& c : cases) {
    const dialogue::Outcome run = dialogue::run("mirror1", c.input);
    EXPECT_EQ(run.out, output(c.sentence, c.forward, c.backward, c.verdict)) << c.name;
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
  }
}

TEST(Mirror1, EndOfInputEndsTheRunQuietly) {
  const dialogue::Outcome run = dialogue::run("mirror1", "");
  EXPECT_EQ(run.out, kPrompt);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
