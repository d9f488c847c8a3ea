// Dialogue tests of civil: standard input in, standard output and status out.
#include <gtest/gtest.h>

#include <string>

#include "testing/harness.h"

namespace {

const std::string kPrompt = "Tapez votre num\xE9ro CIVIL : ";

std::string parts(const std::string& n) {  // n: the 15 bytes held
  return "Sexe : " + n.substr(0, 1) + "\n" +
         "Ann\xE9"
         "e de naissance : " +
         n.substr(1, 2) + "\n" + "Mois de naissance : " + n.substr(3, 2) + "\n" +
         "D\xE9partement de naissance : " + n.substr(5, 2) + "\n" + "Commune : " + n.substr(7, 3) + "\n" +
         "Code registre : " + n.substr(10, 3) + "\n" + "Cl\xE9 de contr\xF4le : " + n.substr(13, 2) + "\n";
}

TEST(Civil, WorkedDialogue) {
  const dialogue::Outcome run = dialogue::run("civil", "299122A00512345\n");
  EXPECT_EQ(run.out,
            "Tapez votre num\xE9ro CIVIL : "
            "Sexe : 2\n"
            "Ann\xE9"
            "e de naissance : 99\n"
            "Mois de naissance : 12\n"
            "D\xE9partement de naissance : 2A\n"
            "Commune : 005\n"
            "Code registre : 123\n"
            "Cl\xE9 de contr\xF4le : 45\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Civil, LinesOfEveryShape) {
  struct Case {
    const char* name;
    std::string input;
    std::string held;  // the 15 bytes of the registration number
  } cases[] = {
      {"all digits", "185057512345678\n", "185057512345678"},
      {"department 2B", "185052B12345678\n", "185052B12345678"},
      {"longer line cut", "299122A00512345EXTRA\n", "299122A00512345"},
      {"shorter line filled", "29912\n", "29912          "},
      {"empty line", "\n", std::string(15, ' ')},
      {"no final line feed", "299122A00512345", "299122A00512345"},
      {"CR LF", "299122A00512345\r\n", "299122A00512345"},
      {"letters in numeric parts", "ABCDEFGHIJKLMNO\n", "ABCDEFGHIJKLMNO"},
      {"Latin-1 byte kept",
       "2991\xE9"
       "2A00512345\n",
       "2991\xE9"
       "2A00512345"},
      {"second line unread", "299122A00512345\nsecond\n", "299122A00512345"},
  };
  for (const Case& c : cases) {
    const dialogue::Outcome run = dialogue::run("civil", c.input);
    EXPECT_EQ(run.out, kPrompt + parts(c.held)) << c.name;
    EXPECT_EQ(run.status, 0) << c.name;
  }
}

TEST(Civil, EndOfInputEndsTheRunQuietly) {
  const dialogue::Outcome run = dialogue::run("civil", "");
  EXPECT_EQ(run.out, kPrompt);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST(Civil, LostOutputIsReportedWithStatusOne) {
  dialogue::Options options;
  options.stdout_path = "/dev/full";
  options.env = {"LC_ALL=C.UTF-8", "FLEET_CHARSET"};
  const dialogue::Outcome run = dialogue::run("civil", "299122A00512345\n", options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "civil : impossible d'écrire sur la sortie standard : plus de place sur le disque\n");
}

TEST(Civil, ALineOfManyMegabytesStaysBounded) {
  const std::string huge(8 << 20, '7');
  const dialogue::Outcome run = dialogue::run("civil", huge + "\n");
  EXPECT_EQ(run.out, kPrompt + parts(std::string(15, '7')));
  EXPECT_EQ(run.status, 0);
}

}  // namespace
