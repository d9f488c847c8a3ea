// Dialogue tests of autolog2: the status line, the first plate and the end message,
// over files that autolog wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "testing/harness.h"
#include "testing/live_program.h"
#include "tests/fleet.h"

namespace {

using dialogue::Outcome;
using dialogue::TempDir;
using namespace fleet_test;

Outcome list(const std::string& fichier) {
  return dialogue::run("autolog2", "", {.env = {"fichier=" + fichier, "LC_ALL=C.UTF-8", "FLEET_CHARSET"}});
}

// The dialogue tests run on both storages: a local file and a PostgreSQL table.
class Autolog2 : public ::testing::TestWithParam<Storage> {
 protected:
  void add(const std::string& answers) {
    const Outcome run = dialogue::run("autolog", answers + "n\n", {.env = {"fichier=" + file_.fichier()}});
    ASSERT_EQ(run.status, 0) << run.err;  // every article stored (a plate cut to 8 is said, not refused)
  }

  ArticleFile file_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Storages, Autolog2, ::testing::Values(Storage::kSqlite, Storage::kPostgres),
                         [](const auto& info) { return name_of(info.param); });

TEST_P(Autolog2, WorkedExampleShowsTheFirstPlateInPlateOrder) {
  add(add_article("12", "ZZ999ZZ") + add_article("13", "AB123CD"));
  const Outcome run = list(file_.fichier());
  EXPECT_EQ(run.out, "00\nAB123CD \n" + kEndLine);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(file_.surroundings(), std::vector<std::string>{"articles"});  // no side file left
}

TEST_P(Autolog2, PlatesAreShownAtFullWidthInByteOrder) {
  struct Case {
    std::vector<std::string> plates;  // added in this order
    std::string shown;
  } cases[] = {
      {{"A1"}, "A1      "},
      {{"b", "B", "a"}, "B       "},            // capitals sort before small letters
      {{"AB12", "AB 12"}, "AB 12   "},          // a space sorts before digits
      {{"\xC9T\xC9", "ZZZZZZZZ"}, "ZZZZZZZZ"},  // Latin-1 letters after ASCII
      {{"123456789"}, "12345678"},              // cut to 8
  };
  for (const Case& c : cases) {
    file_.remove();
    std::string answers;
    int week = 0;
    for (const std::string& plate : c.plates) answers += add_article(std::to_string(++week), plate);
    add(answers);
    EXPECT_EQ(list(file_.fichier()).out, "00\n" + c.shown + "\n" + kEndLine) << c.shown;
  }
}

// What only a local file meets: folders, foreign files, the default name.
TEST(Autolog2OnALocalFile, EmptyMissingAndForeignFiles) {
  TempDir folder;
  const std::string path = folder.file("articles");
  ASSERT_EQ(dialogue::run("autolog", "n\n", {.env = {"fichier=" + path}}).status, 0);  // creates it empty
  std::filesystem::create_directory(folder.file("folder"));
  const std::string foreign = folder.file("foreign");
  std::ofstream(foreign, std::ios::binary) << "SQLite format 2\n";
  struct Case {
    std::string path;
    const char* status;
  } cases[] = {
      {path, "00"},                    // empty file: the read finds no record
      {folder.file("missing"), "35"},  // nothing is created
      {folder.file("folder"), "30"},
      {foreign, "39"},
  };
  for (const Case& c : cases) {
    const Outcome run = list(c.path);
    EXPECT_EQ(run.out, c.status + ("\n" + kNothingRead + "\n" + kEndLine)) << c.path;
    EXPECT_EQ(run.status, 0);
    if (std::string(c.status) == "00") {
      EXPECT_EQ(run.err, "");
    } else {  // one line, with the path
      EXPECT_EQ(run.err.find("autolog2 : articles : impossible d'ouvrir « " + c.path + " » : "), 0u) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
  }
  EXPECT_EQ(entries_of(folder.path()).size(), 3u);  // articles, folder, foreign: nothing new
  std::ifstream in(foreign, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "SQLite format 2\n");
}

TEST_P(Autolog2, ReadsWhileAutologWrites) {
  dialogue::LiveProgram autolog("autolog", {"fichier=" + file_.fichier()});
  autolog.send(add_article("12", "MM"));
  ASSERT_TRUE(autolog.wait_for(kQuestion, 2));
  EXPECT_EQ(list(file_.fichier()).out, "00\nMM      \n" + kEndLine);
  autolog.send(add_article("12", "AA"));
  ASSERT_TRUE(autolog.wait_for(kQuestion, 3));
  EXPECT_EQ(list(file_.fichier()).out, "00\nAA      \n" + kEndLine);
  autolog.send("n\n");
  EXPECT_EQ(autolog.wait(), 0);
  EXPECT_EQ(autolog.err(), "");
}

TEST(Autolog2OnALocalFile, TheFileIsFichierInTheCurrentFolderWhenTheVariableIsUnset) {
  TempDir folder;
  dialogue::Options options;
  options.env = {"fichier"};
  options.directory = folder.path();
  ASSERT_EQ(dialogue::run("autolog", add_article("12", "HERE") + "n\n", options).status, 0);
  EXPECT_EQ(dialogue::run("autolog2", "", options).out, "00\nHERE    \n" + kEndLine);
}

}  // namespace
