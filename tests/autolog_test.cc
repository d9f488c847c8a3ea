// Dialogue tests of autolog: standard input in, standard output, standard error,
// status and the article file out.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "testing/harness.h"
#include "testing/live_program.h"
#include "tests/fleet.h"

namespace {

using dialogue::Outcome;
using dialogue::TempDir;
using namespace fleet_test;

const std::string kMenuRound = kQuestion + kMenu;

// The dialogue tests run on both storages: a local file and a PostgreSQL table.
class Autolog : public ::testing::TestWithParam<Storage> {
 protected:
  Outcome run(const std::string& input, const std::string& locale = "C.UTF-8") {
    dialogue::Options options;
    options.env = {"fichier=" + file_.fichier(), "LC_ALL=" + locale, "FLEET_CHARSET"};
    return dialogue::run("autolog", input, options);
  }
  // The run ended with the file closed: nothing but the file where it is kept.
  void expect_closed() { EXPECT_EQ(file_.surroundings(), std::vector<std::string>{"articles"}); }

  ArticleFile file_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Storages, Autolog, ::testing::Values(Storage::kSqlite, Storage::kPostgres),
                         [](const auto& info) { return name_of(info.param); });

TEST_P(Autolog, WorkedExampleAddsOneArticle) {
  const std::string input =
      "o\n2\n7\nAB123CD\n"
      "250\n35.40\n"  // Monday: 0250 003540
      "7\n1234.56\n"  // Tuesday: 0007 123456
      "\n\n"          // Wednesday: empty answers store zero
      "9999\n9999.99\n"
      "35\n35\n"      // a whole number of costs gets two zero decimals
      "12345\n0.5\n"  // a fifth digit of mileage is dropped
      "abc\nabc\n"
      "n\n";
  const Outcome run = this->run(input);
  EXPECT_EQ(run.out, "00\n" + kAdded + kQuestion + kEnd);
  EXPECT_EQ(run.err,  // said at once, and the article stored all the same
            "autolog : « 12345 » tapé, 2345 retenu (4 chiffres au plus)\n"
            "autolog : « abc » tapé, 0 retenu (pas un nombre)\n"
            "autolog : « abc » tapé, 0,00 retenu (pas un nombre)\n");
  EXPECT_EQ(run.status, 0);
  const std::string record = std::string("AB123CD 07") + std::string(8, '\0') +
                             "0250003540"
                             "0007123456"
                             "0000000000"
                             "9999999999"
                             "0035003500"
                             "2345000050"
                             "0000000000";
  EXPECT_EQ(file_.records(), std::vector<std::string>{record});
  expect_closed();
}

TEST_P(Autolog, QuestionAndMenuEdgeCases) {
  const std::string twelve = add_article("12", "AB123CD");
  struct Case {
    const char* name;
    std::string input;
    std::string out;  // after the status line
    std::vector<std::string> plates;
  } cases[] = {
      {"n at once", "n\n", kQuestion + kEnd, {}},
      {"N at once", "N\n", kQuestion + kEnd, {}},
      {"empty and other replies ask again",
       "\nx\nO\n1\nn\n",
       kQuestion + kQuestion + kMenuRound + kQuestion + kEnd,
       {}},
      {"choices 1, 3 and 4 do nothing",
       "o\n1\no\n3\no\n4\nn\n",
       kMenuRound + kMenuRound + kMenuRound + kQuestion + kEnd,
       {}},
      {"choice 0 ends at once", "o\n0\nnever read\n", kMenuRound + kEnd, {}},
      {"choice n ends the loop", "o\nn\n", kMenuRound + kEnd, {}},
      {"choice N ends the loop", "o\nN\n", kMenuRound + kEnd, {}},
      {"choice o does nothing", "o\no\nn\n", kMenuRound + kQuestion + kEnd, {}},
      {"choice 9 does nothing", "o\n9\nn\n", kMenuRound + kQuestion + kEnd, {}},
      {"empty choice does nothing", "o\n\nn\n", kMenuRound + kQuestion + kEnd, {}},
      {"first characters only",
       "oui\n21\n12\nAB123CD\n" + twelve.substr(std::string("o\n2\n12\nAB123CD\n").size()) + "non\n",
       kAdded + kQuestion + kEnd,
       {"AB123CD "}},
      {"two articles in one run",
       add_article("1", "ZZ999ZZ") + add_article("2", "AB") + "n\n",
       kAdded + kAdded + kQuestion + kEnd,
       {"AB      ", "ZZ999ZZ "}},
      {"choice 0 after an article", twelve + "o\n0\n", kAdded + kMenuRound + kEnd, {"AB123CD "}},
      {"CR LF line ends",
       "o\r\n2\r\n12\r\nAB123CD\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n1\r\nn\r\n",
       kAdded + kQuestion + kEnd,
       {"AB123CD "}},
  };
  for (const Case& c : cases) {
    file_.remove();
    const Outcome run = this->run(c.input);
    EXPECT_EQ(run.out, "00\n" + c.out) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(file_.plates(), c.plates) << c.name;
    expect_closed();
  }
}

TEST_P(Autolog, EndOfInputEndsTheRunAndDropsAHalfTypedArticle) {
  struct Case {
    const char* name;
    std::string input;
    std::string out;
  } cases[] = {
      {"at the question", "", kQuestion},
      {"at the menu", "o\n", kMenuRound},
      {"after the plate", "o\n2\n12\nAB123CD\n",
       kMenuRound + "NUMERO DE SEMAINE : IMMATRICULATION : LUNDI   \nKILOMETRAGE : "},
      {"at Sunday's costs", add_article("12", "AB123CD").substr(0, add_article("12", "AB123CD").size() - 3), kAdded},
  };
  for (const Case& c : cases) {
    file_.remove();
    const Outcome run = this->run(c.input);
    EXPECT_EQ(run.out, "00\n" + c.out) << c.name;
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(file_.records(), std::vector<std::string>{}) << c.name;
    expect_closed();
  }
}

TEST_P(Autolog, APlateAlreadyInTheFileIsNotStoredAndSaysSoOnStandardError) {
  // The plate as read from the file, shown harmlessly in the locale's character set.
  const std::string taken = " non enregistré : clé déjà présente dans le fichier (statut 22)\n";
  struct Case {
    std::string plate;
    const char* locale;
    std::string err;
  } cases[] = {
      {"AB123CD", "C.UTF-8", "autolog : ARTICLES : article « AB123CD »" + taken},
      {"\xC9T\xC9-42", "C.UTF-8", "autolog : ARTICLES : article « ÉTÉ-42 »" + taken},
      {"\x1B[2J\x9B", "C.UTF-8", "autolog : ARTICLES : article « ^[[2JM-^[ »" + taken},
      {"\xC9T\xC9-42", "C",
       "autolog : ARTICLES : article \xAB \xC9T\xC9-42 \xBB non enregistr\xE9 : cl\xE9 d\xE9j\xE0 pr\xE9sente dans le "
       "fichier (statut 22)\n"},
  };
  for (const Case& c : cases) {
    file_.remove();
    const Outcome run =
        this->run(add_article("12", c.plate, "100") + add_article("13", c.plate, "200") + "n\n", c.locale);
    EXPECT_EQ(run.out, "00\n" + kAdded + kAdded + kQuestion + kEnd);  // the same dialogue for both
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 1);  // something typed was not stored
    const std::vector<std::string> records = file_.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(8, 2), "12");  // the first one stays
  }
}

TEST_P(Autolog, AlternateKeysAllowDuplicates) {
  // Same week and same Monday entry, other plates: all stored, nothing on standard error.
  const Outcome run = this->run(add_article("12", "AA") + add_article("12", "BB") + add_article("12", "CC") + "n\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(file_.plates(), (std::vector<std::string>{"AA      ", "BB      ", "CC      "}));
}

// What only a local file meets: folders, foreign files, the default name.
TEST(AutologOnALocalFile, AFailedOpenShowsItsStatusAndTheDialogueRunsOn) {
  TempDir folder;
  std::filesystem::create_directory(folder.file("folder"));
  const std::string foreign = folder.file("foreign");
  const std::string foreign_bytes = "plate;week\nAB123CD;12\n";
  std::ofstream(foreign, std::ios::binary) << foreign_bytes;
  struct Case {
    std::string path;
    const char* status;
  } cases[] = {
      {folder.file("folder"), "30"},
      {folder.file("missing/articles"), "30"},
      {foreign, "39"},
  };
  for (const Case& c : cases) {
    dialogue::Options options;
    options.env = {"fichier=" + c.path, "LC_ALL=C.UTF-8", "FLEET_CHARSET"};
    const Outcome run = dialogue::run("autolog", add_article("12", "AB123CD") + "n\n", options);
    EXPECT_EQ(run.out, c.status + ("\n" + kAdded + kQuestion + kEnd)) << c.path;
    EXPECT_EQ(run.status, 1);  // the article typed was not stored
    // One line for the open, with the path, and one for the write that could not be made.
    const size_t line_end = run.err.find('\n');
    ASSERT_NE(line_end, std::string::npos) << c.path;
    EXPECT_EQ(run.err.substr(0, line_end).find("autolog : ARTICLES : impossible d'ouvrir « " + c.path + " » : "), 0u)
        << run.err;
    EXPECT_EQ(run.err.substr(line_end + 1),
              "autolog : ARTICLES : article « AB123CD » non enregistré : fichier non ouvert en écriture (statut 48)\n");
  }
  std::ifstream in(foreign, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), foreign_bytes);
  EXPECT_FALSE(std::filesystem::exists(folder.file("missing")));
}

TEST(AutologOnALocalFile, TheFileIsFichierInTheCurrentFolderWhenTheVariableIsUnsetOrEmpty) {
  for (const std::string& setting : {std::string("fichier"), std::string("fichier=")}) {
    TempDir here;
    dialogue::Options options;
    options.env = {setting};
    options.directory = here.path();
    const Outcome run = dialogue::run("autolog", add_article("12", "AB123CD") + "n\n", options);
    EXPECT_EQ(run.out, "00\n" + kAdded + kQuestion + kEnd) << setting;
    EXPECT_EQ(plates_in(here.file("fichier")), std::vector<std::string>{"AB123CD "}) << setting;
  }
}

// autolog killed with SIGKILL at points of a run: every article whose question came
// back (its write returned) is in the file, an article not fully typed is not, and the
// file opens again for autolog2 and for autolog.
TEST_P(Autolog, AcknowledgedArticlesSurviveSigkill) {
  const std::string half = "o\n2\n13\nHALF\n";  // an article begun after the acknowledged ones
  const std::string all_but_last = add_article("13", "HALF").substr(0, add_article("13", "HALF").size() - 3);
  struct Case {
    const char* name;
    std::string typed;    // sent after the acknowledged articles
    std::string shown;    // the kill comes once this is in the output
    bool may_store_half;  // killed as the last answer went in: HALF may be stored
  } cases[] = {
      {"at the question", "", "", false},
      {"at the menu", "o\n", "VOTRE CHOIX : ", false},
      {"after the plate", half, "LUNDI   \nKILOMETRAGE : ", false},
      {"while Tuesday's answers are typed", half + "100\n10\n100\n", "MARDI   \nKILOMETRAGE : FRAIS : ", false},
      {"at Sunday's costs", all_but_last, "DIMANCHE\nKILOMETRAGE : FRAIS : ", false},
      {"as the last answer goes in", add_article("13", "HALF"), "", true},
  };
  const std::vector<std::string> acknowledged = {"KILL1   ", "KILL2   ", "KILL3   "};
  for (const Case& c : cases) {
    file_.remove();
    {
      dialogue::LiveProgram autolog("autolog", {"fichier=" + file_.fichier()});
      ASSERT_TRUE(autolog.wait_for(kQuestion, 1)) << c.name;
      for (size_t i = 0; i < acknowledged.size(); ++i) {
        autolog.send(add_article("12", acknowledged[i]));
        // The question comes back once the article's write has returned.
        ASSERT_TRUE(autolog.wait_for(kQuestion, i + 2)) << c.name << ": " << autolog.out();
      }
      autolog.send(c.typed);
      if (!c.shown.empty()) {
        const std::string dialogue_so_far = kAdded.substr(0, kAdded.find(c.shown) + c.shown.size());
        ASSERT_TRUE(autolog.wait_for(dialogue_so_far, acknowledged.size() + 1)) << c.name << ": " << autolog.out();
      }
      autolog.kill(SIGKILL);
      EXPECT_EQ(autolog.wait(), 100 + SIGKILL) << c.name;
    }
    // An article whose last answer went in as the kill came may be stored, even a
    // moment later (a database server finishes a commit it had been sent).
    const auto acknowledged_in_file = [&] {
      std::vector<std::string> plates = file_.plates();
      if (c.may_store_half) std::erase(plates, std::string("HALF    "));
      return plates;
    };
    ASSERT_EQ(acknowledged_in_file(), acknowledged) << c.name;

    const Outcome listing = dialogue::run("autolog2", "", {.env = {"fichier=" + file_.fichier()}});
    const std::string first =
        c.may_store_half && listing.out.find("HALF") != std::string::npos ? "HALF    " : "KILL1   ";
    EXPECT_EQ(listing.out, "00\n" + first + "\nfin de traitement\n") << c.name;
    // And autolog works on with the file.
    const Outcome next = run(add_article("12", "AFTER") + "n\n");
    EXPECT_EQ(next.out, "00\n" + kAdded + kQuestion + kEnd) << c.name;
    EXPECT_EQ(next.err, "") << c.name;
    std::vector<std::string> expected = acknowledged;
    expected.insert(expected.begin(), "AFTER   ");
    EXPECT_EQ(acknowledged_in_file(), expected) << c.name;
    expect_closed();
  }
}

// autolog killed while it works through many articles sent at once: the articles in
// the file are the first ones sent, every article shown acknowledged among them.
TEST_P(Autolog, SigkillInTheMiddleOfAStreamOfArticles) {
  constexpr int kArticles = 100;
  std::string input;
  std::vector<std::string> sent;
  for (int a = 0; a < kArticles; ++a) {
    char plate[9];
    std::snprintf(plate, sizeof plate, "S%03d", a);  // sent in plate order
    input += add_article("12", plate);
    sent.push_back(std::string(plate) + "    ");
  }
  dialogue::LiveProgram autolog("autolog", {"fichier=" + file_.fichier()});
  autolog.send(input);  // no end: autolog waits for more once it has done all
  // Output comes in blocks: kill at the first one that acknowledges an article.
  ASSERT_TRUE(autolog.wait_for(kQuestion, 2));
  autolog.kill(SIGKILL);
  EXPECT_EQ(autolog.wait(), 100 + SIGKILL);

  size_t shown = 0;  // acknowledged: an article's prompts, then the question again
  for (size_t at = autolog.out().find(kAdded + kQuestion); at != std::string::npos;
       at = autolog.out().find(kAdded + kQuestion, at + 1)) {
    ++shown;
  }
  // The articles sent are stored in order, each after the one before, and an article
  // in flight as the kill came may still be stored a moment later (a database server
  // finishes a commit it had been sent): the file holds the first ones sent.
  const auto first_sent = [&](const std::vector<std::string>& plates) {
    return plates == std::vector<std::string>(sent.begin(), sent.begin() + std::min(plates.size(), sent.size()));
  };
  const std::vector<std::string> plates = file_.plates();
  EXPECT_GE(plates.size(), shown);
  EXPECT_TRUE(first_sent(plates)) << plates.size();
  const Outcome next = run(add_article("12", "AFTER") + "n\n");
  EXPECT_EQ(next.out, "00\n" + kAdded + kQuestion + kEnd);
  std::vector<std::string> after = file_.plates();
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front(), "AFTER   ");
  after.erase(after.begin());
  EXPECT_GE(after.size(), plates.size());
  EXPECT_TRUE(first_sent(after)) << after.size();
}

TEST_P(Autolog, SeveralAutologsAtOnceLoseNothingAndStoreASharedPlateOnce) {
  constexpr int kWriters = 4;
  constexpr int kArticlesEach = 15;
  std::vector<std::unique_ptr<dialogue::LiveProgram>> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(std::make_unique<dialogue::LiveProgram>(
        "autolog", std::vector<std::string>{"fichier=" + file_.fichier(), "LC_ALL=C.UTF-8", "FLEET_CHARSET"}));
  }
  std::vector<std::string> expected;
  for (int w = 0; w < kWriters; ++w) {
    std::string input = add_article("01", "SHARED");  // every writer adds this plate first
    for (int a = 0; a < kArticlesEach; ++a) {
      const std::string plate = "W" + std::to_string(w) + "-" + std::to_string(a);
      input += add_article(std::to_string(a), plate);
      expected.push_back(plate + std::string(8 - plate.size(), ' '));
    }
    writers[w]->send(input + "n\n");
  }
  int refused = 0;
  for (auto& writer : writers) {
    const int status = writer->wait();
    EXPECT_EQ(status, writer->err().empty() ? 0 : 1);  // 1 for the writers whose SHARED was refused
    EXPECT_EQ(writer->out().substr(0, 3), "00\n");
    EXPECT_EQ(writer->out().size(), 3 + (kArticlesEach + 1) * kAdded.size() + kQuestion.size() + kEnd.size());
    refused +=
        writer->err() ==
        "autolog : ARTICLES : article « SHARED » non enregistré : clé déjà présente dans le fichier (statut 22)\n";
    EXPECT_TRUE(writer->err().empty() || writer->err().find("SHARED") != std::string::npos) << writer->err();
  }
  EXPECT_EQ(refused, kWriters - 1);
  expected.push_back("SHARED  ");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(file_.plates(), expected);  // every article exactly once, in plate order
  expect_closed();
}

}  // namespace
