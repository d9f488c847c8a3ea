// Dialogue tests of autolog and autolog2 on an article file in PostgreSQL that cannot
// be opened: the status line, one line on standard error (with the URI, never its
// password), the dialogue run to its end, and nothing stored or changed. And the
// client library, which only such a file loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "testing/harness.h"
#include "tests/fleet.h"

namespace {

using dialogue::Outcome;
using dialogue::TempDir;
using namespace fleet_test;

const std::string kNothingRead(8, '\0');
const std::string kListingEnd = "fin de traitement\n";
const std::string kAdded = kQuestion + kMenu + article_prompts();
const std::string kNotWritten =
    "autolog : ARTICLES : article « AB123CD » non enregistré : fichier non ouvert en écriture (statut 48)\n";

Outcome run(const char* program, const std::string& fichier, const std::string& input = "") {
  return dialogue::run(program, input, {.env = {"fichier=" + fichier, "LC_ALL=C.UTF-8", "FLEET_CHARSET"}});
}

TEST(FleetOnPostgres, FailedOpensShowTheirStatusAndOneLineEachAndTheDialogueRunsOn) {
  testkit::TestSchema foreign;  // holds a table articles of another kind
  testkit::TestSchema empty;    // holds no table
  const std::string role = "r" + foreign.name();
  foreign.sql(
      "CREATE TABLE articles (plate text PRIMARY KEY, week int);"
      "INSERT INTO articles VALUES ('AB123CD', 12);"
      "CREATE ROLE " +
      role + " LOGIN PASSWORD 'right-one'");
  const std::string uri = foreign.uri();
  const std::string wrong_password = "postgresql://" + role + ":wrong-one" + uri.substr(uri.find('@'));
  const std::string shown_wrong_password = "postgresql://" + role + ":***" + uri.substr(uri.find('@'));
  const std::string no_server = "postgresql://postgres@/postgres?host=/nonexistent-folder";
  struct Case {
    std::string fichier;
    const char* status;
    std::string shown;   // the URI in the message
    std::string reason;  // the start of the storage's reason, after the status
    bool input_only;     // autolog creates the missing table
  } cases[] = {
      {no_server, "30", no_server,
       "socket « /nonexistent-folder/.s.PGSQL.5432 » : aucun serveur n'écoute sur ce socket", false},
      {empty.uri(), "35", empty.uri(), "aucune table \"articles\" dans les schémas du search_path", true},
      {wrong_password, "37", shown_wrong_password, "socket « ", false},
      {foreign.uri(), "39", foreign.uri(), "la table \"articles\" n'est pas un fichier indexé de ces programmes",
       false},
  };
  for (const Case& c : cases) {
    // One line for the open, and for autolog one for the article it could not store.
    const std::string open_line = "impossible d'ouvrir « " + c.shown + " » : ";
    const std::string status_and_reason = std::string(" (statut ") + c.status + " : " + c.reason;
    const Outcome listed = run("autolog2", c.fichier);
    EXPECT_EQ(listed.out, c.status + ("\n" + kNothingRead + "\n" + kListingEnd)) << c.fichier;
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.err.find("autolog2 : articles : " + open_line), 0u) << listed.err;
    EXPECT_NE(listed.err.find(status_and_reason), std::string::npos) << listed.err;
    EXPECT_TRUE(listed.err.ends_with(")\n")) << listed.err;
    EXPECT_EQ(std::count(listed.err.begin(), listed.err.end(), '\n'), 1) << listed.err;
    EXPECT_EQ(listed.err.find("wrong-one"), std::string::npos) << "the password is never shown";
    if (c.input_only) continue;

    const Outcome added = run("autolog", c.fichier, add_article("12", "AB123CD") + "n\n");
    EXPECT_EQ(added.out, c.status + ("\n" + kAdded + kQuestion + kEnd)) << c.fichier;
    EXPECT_EQ(added.status, 1);  // the article typed was not stored
    EXPECT_EQ(added.err.find("autolog : ARTICLES : " + open_line), 0u) << added.err;
    EXPECT_NE(added.err.find(status_and_reason), std::string::npos) << added.err;
    EXPECT_NE(added.err.find(")\n" + kNotWritten), std::string::npos) << added.err;
    EXPECT_EQ(std::count(added.err.begin(), added.err.end(), '\n'), 2) << added.err;
    EXPECT_EQ(added.err.find("wrong-one"), std::string::npos) << "the password is never shown";
  }
  EXPECT_EQ(empty.tables(), std::vector<std::string>{});  // autolog2 creates nothing
  EXPECT_EQ(foreign.sql("SELECT plate, week, obj_description('articles'::regclass, 'pg_class') FROM articles"),
            (testkit::Rows{{"AB123CD", "12", ""}}));
  foreign.sql("DROP ROLE " + role);
}

// Tables of the right shape that would lose, hide or double articles: each is 39 at
// open, with nothing written, and fleet check names it (status 1).
TEST(FleetOnPostgres, ATableThatLosesHidesOrDoublesArticlesIsNoArticleFile) {
  const std::string remade =  // the same table made again, some other way
      "ALTER TABLE articles RENAME TO old; CREATE TABLE articles ";
  const std::string marked = "; COMMENT ON TABLE articles IS 'indexed file 88 0+8 8+2d 18+10d'";
  struct Case {
    std::string ddl;
    const char* reason;  // a part of it
  } cases[] = {
      {"ALTER TABLE articles SET UNLOGGED", "est UNLOGGED"},
      {"CREATE FUNCTION gone() RETURNS trigger LANGUAGE plpgsql AS"
       " $$BEGIN DELETE FROM articles WHERE key0 = NEW.key0; RETURN NULL; END$$;"
       "CREATE TRIGGER gone AFTER INSERT ON articles FOR EACH ROW EXECUTE FUNCTION gone()",
       "a le déclencheur gone"},
      {"CREATE FUNCTION skip() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RETURN NULL; END$$;"
       "CREATE TRIGGER skip BEFORE INSERT ON articles FOR EACH ROW EXECUTE FUNCTION skip()",
       "a le déclencheur skip"},
      {"CREATE RULE nothing AS ON INSERT TO articles DO INSTEAD NOTHING", "a la règle nothing"},
      {"ALTER TABLE articles ENABLE ROW LEVEL SECURITY; CREATE POLICY hiding ON articles USING (key1 <> '12')",
       "a la sécurité par ligne"},
      {"CREATE TABLE copies () INHERITS (articles); INSERT INTO copies SELECT * FROM articles",
       "a la table fille copies"},
      {"CREATE TABLE parent (LIKE articles); ALTER TABLE articles INHERIT parent", "hérite de parent"},
      {remade +
           "(LIKE old INCLUDING ALL) PARTITION BY HASH (key0);"
           "CREATE TABLE part PARTITION OF articles FOR VALUES WITH (MODULUS 1, REMAINDER 0)" +
           marked,
       "est partitionnée"},
      {remade +
           "(key0 bytea NOT NULL PRIMARY KEY, key1 bytea NOT NULL, key2 bytea NOT NULL"
           " GENERATED ALWAYS AS (substring(record from 19 for 10)) STORED, record bytea NOT NULL);"
           "CREATE INDEX ON articles (key1); CREATE INDEX ON articles (key2)" +
           marked,
       "a la colonne générée key2"},
  };
  for (const Case& c : cases) {
    ArticleFile file(Storage::kPostgres);
    ASSERT_EQ(run("autolog", file.fichier(), add_article("12", "AB123CD") + "n\n").status, 0);
    file.sql(c.ddl);
    const Outcome added = run("autolog", file.fichier(), add_article("13", "ZZ999ZZ") + "n\n");
    EXPECT_TRUE(added.out.starts_with("39\n")) << c.reason << ": " << added.out;
    EXPECT_NE(added.err.find(c.reason), std::string::npos) << added.err;
    EXPECT_EQ(file.sql("SELECT count(*) FROM articles WHERE key0 = 'ZZ999ZZ '"), (testkit::Rows{{"0"}})) << c.reason;
    const Outcome checked = dialogue::run("/bin/sh", "exec '" + dialogue::program_path("fleet") + "' check\n",
                                          {.env = {"fichier=" + file.fichier()}});
    EXPECT_EQ(checked.status, 1) << c.reason << ": " << checked.out;
    EXPECT_NE(checked.err.find(c.reason), std::string::npos) << checked.err;
  }
}

TEST(FleetOnPostgres, AnEmptyTableIsListedWithoutAPlate) {
  ArticleFile file(Storage::kPostgres);
  ASSERT_EQ(run("autolog", file.fichier(), "n\n").out, "00\n" + kQuestion + kEnd);  // creates it
  const Outcome listed = run("autolog2", file.fichier());
  EXPECT_EQ(listed.out, "00\n" + kNothingRead + "\n" + kListingEnd);
  EXPECT_EQ(listed.err, "");
}

// A table held locked by another session: the write of autolog (30 and one line) and
// the read of autolog2 give up within the window, and the dialogues run on.
TEST(FleetOnPostgres, ALockedTableIsGivenUpWithin30Seconds) {
  ArticleFile file(Storage::kPostgres);
  ASSERT_EQ(run("autolog", file.fichier(), "n\n").out, "00\n" + kQuestion + kEnd);  // creates it
  file.sql("BEGIN; LOCK TABLE articles IN ACCESS EXCLUSIVE MODE");
  const auto start = std::chrono::steady_clock::now();
  auto added = std::async(std::launch::async,
                          [&] { return run("autolog", file.fichier(), add_article("12", "AB123CD") + "n\n"); });
  const Outcome listed = run("autolog2", file.fichier());
  const Outcome written = added.get();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(35));
  file.sql("ROLLBACK");
  EXPECT_EQ(written.out, "00\n" + kAdded + kQuestion + kEnd);
  EXPECT_EQ(listed.out, "00\n" + kNothingRead + "\n" + kListingEnd);
  EXPECT_EQ(written.err,
            "autolog : ARTICLES : article « AB123CD » non enregistré : échec (statut 30 : verrou non obtenu dans le "
            "délai (lock_timeout) : un autre programme retient la table)\n");
  EXPECT_EQ(file.records(), std::vector<std::string>{});
}

// LD_DEBUG=libs makes the dynamic loader name on standard error every library it
// looks for, at start and at each dlopen.
TEST(FleetOnPostgres, OnlyADatabaseLoadsTheClientLibrary) {
  TempDir folder;
  ArticleFile database(Storage::kPostgres);
  struct Case {
    std::string fichier;
    bool loads;
  } cases[] = {{folder.file("articles"), false}, {database.fichier(), true}};
  for (const Case& c : cases) {
    for (const char* program : {"autolog", "autolog2"}) {
      const Outcome outcome = dialogue::run(program, "n\n", {.env = {"fichier=" + c.fichier, "LD_DEBUG=libs"}});
      EXPECT_TRUE(outcome.out.starts_with("00\n")) << program << " " << c.fichier << ": " << outcome.out;
      EXPECT_EQ(outcome.err.find("libpq.so.5") != std::string::npos, c.loads) << program << " " << c.fichier;
    }
  }
}

}  // namespace
