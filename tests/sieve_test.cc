// Dialogue tests of sieve: standard input in, standard output and status out.
#include <gtest/gtest.h>

#include <string>

#include "testing/harness.h"

namespace {

using dialogue::repeat;

const std::string kPrompt = "Saisissez un mot : ";

// The whole output for a six-byte code.
std::string output(const std::string& code) {
  return kPrompt + "Mot consonn\xE9 : " + code + "\n" + "FIN DU TRAITEMENT\n";
}

TEST(Sieve, WorkedExample) {
  const dialogue::Outcome run = dialogue::run("sieve", "BERNARD\n");
  EXPECT_EQ(run.out, "Saisissez un mot : Mot consonn\xE9 : BRNRD \nFIN DU TRAITEMENT\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Sieve, Words) {
  const struct Case {
    std::string word;  // the line typed, without its line end
    std::string code;  // the six bytes shown
  } cases[] = {
      // The first character stays, even a vowel.
      {"ALEXANDRE", "ALXNDR"},
      {"ANNA", "AN    "},
      // Y and y are vowels.
      {"XYZZY", "XZ    "},
      {"Yves", "Yvs   "},
      // A letter equal to the last kept is dropped, across removed vowels too.
      {"BOB", "B     "},
      {"MISSISSIPPI", "MSP   "},
      {"GUILLAUME", "GLM   "},
      // Lower-case vowels go, the case of other letters stays.
      {"Bernadette", "Brndt "},
      {"bcdfgh", "bcdfgh"},
      {"BaBaBa", "B     "},
      // The sixth position takes whatever comes once five characters stand.
      {"BCDFGHJ", "BCDFGH"},
      {"BCDFGEH", "BCDFG "},
      {"BCDFGGH", "BCDFG "},
      {"DUPONT", "DPNT  "},
      // Empty and blank lines.
      {"", "      "},
      {"     ", "      "},
      // Position 30 is never examined, nor anything beyond the field.
      {repeat(29, 'A') + "Z", "A     "},
      {repeat(29, 'A') + "ZBCDFG", "A     "},
      {repeat(28, 'A') + "ZQ", "AZ    "},
      // A leading space is kept as the first character.
      {" BOB", " B    "},
      // Bytes above 0x7F are not vowels: Latin-1 and UTF-8 "H\xE9l\xE8ne".
      {"H\xE9l\xE8ne", "H\xE9l\xE8n "},
      {"H\xC3\xA9l\xC3\xA8ne", "H\xC3\xA9l\xC3\xA8"},
      // Long enough for `last-position` to fall to 0 and stay there.
      {"BCDFGHJKLMNPQRSTVWXZBCDFGHJKLM", "BCDFGH"},
      {"BCDFGHJKLMNPQRSTVWXZBCDFGHJKLMNPQRSTV", "BCDFGH"},
      {repeat(30, 'B'), "B     "},
      {"Bb" + repeat(28, 'c'), "Bbc   "},
  };
  for (const Case& c : cases) {
    const dialogue::Outcome run = dialogue::run("sieve", c.word + "\n");
    EXPECT_EQ(run.out, output(c.code)) << c.word;
    EXPECT_EQ(run.status, 0) << c.word;
    EXPECT_EQ(run.err.empty(), c.word.size() <= 30) << c.word;  // a longer word is cut, and said so
  }
}

TEST(Sieve, LineEnds) {
  const struct Case {
    const char* name;
    std::string input;
    std::string code;
  } cases[] = {
      {"no final line feed", "BERNARD", "BRNRD "},
      {"CR LF", "BERNARD\r\n", "BRNRD "},
      {"second line unread", "BERNARD\nBCDFGH\n", "BRNRD "},
  };
  for (const Case& c : cases) {
    const dialogue::Outcome run = dialogue::run("sieve", c.input);
    EXPECT_EQ(run.out, output(c.code)) << c.name;
    EXPECT_EQ(run.status, 0) << c.name;
  }
}

TEST(Sieve, EndOfInputEndsTheRunQuietly) {
  const dialogue::Outcome run = dialogue::run("sieve", "");
  EXPECT_EQ(run.out, kPrompt);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
