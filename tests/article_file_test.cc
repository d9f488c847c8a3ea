// Faults of the article file as the user meets them: fichier names something that is
// not an article file, or a file the program may not read or write. autolog and
// autolog2 show the status of the open on their first line, write one line on
// standard error with the path and the reason, run their dialogue on, and leave
// everything in the folder exactly as it was: no byte changed, no file created.
// (A writer killed at every point of a run: autolog_test.cc.)
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "testing/harness.h"
#include "testing/live_program.h"
#include "testing/test_folder.h"
#include "tests/fleet.h"

namespace {

using dialogue::Outcome;
using dialogue::TempDir;
using testkit::bytes_of;
using testkit::put_bytes;
using namespace fleet_test;

namespace fs = std::filesystem;

const std::string kAutologAnswers = add_article("12", "AB123CD") + "n\n";

// Everything in a folder and below, by name: a file's bytes, a link's target, the
// kind of anything else. Two runs that leave a folder alone give the same map.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> found;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path& path = it->path();
    const std::string name = fs::relative(path, folder).string();
    if (it->is_symlink()) {
      found[name] = "link to " + fs::read_symlink(path).string();
    } else if (it->is_regular_file()) {
      found[name] = "file " + bytes_of(path.string());
    } else if (it->is_directory()) {
      found[name] = "folder";
    } else {
      found[name] = "other";
    }
  }
  return found;
}

// A valid article file with a few articles, written by autolog.
void make_article_file(const std::string& path) {
  const Outcome run = dialogue::run(
      "autolog", add_article("12", "AB123CD") + add_article("12", "ZZ999ZZ") + add_article("13", "MM") + "n\n",
      {.env = {"fichier=" + path}});
  ASSERT_EQ(run.out.substr(0, 3), "00\n");
  ASSERT_EQ(run.err, "");
}

// A database of another program, made by SQLite itself.
void make_sqlite_database(const std::string& path, const std::string& statements) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// The statuses a row allows: "39", or "30 39" for either.
bool allowed(const std::string& statuses, const std::string& status) {
  return status.size() == 2 && statuses.find(status) != std::string::npos;
}

// The status of the open that the first line of standard error ends with.
std::string status_in(const std::string& err) {
  const size_t at = err.find(" (statut ");
  return at == std::string::npos ? "" : err.substr(at + 9, 2);
}

// How the first line of standard error begins when program cannot open path.
std::string cannot_open(const std::string& program, const std::string& path) {
  return program + (program == "autolog" ? " : ARTICLES" : " : articles") + " : impossible d'ouvrir « " + path +
         " » : ";
}

// Checks one refused open of autolog (which then types an article) and of autolog2,
// on the file at path: the status line, the dialogue, standard error, and the folder
// left alone.
void expect_refused(const std::string& folder, const std::string& name, const std::string& path,
                    const std::string& autolog_statuses, const std::string& autolog2_statuses,
                    const dialogue::Options& base = {}) {
  dialogue::Options options = base;
  options.env.insert(options.env.end(), {"fichier=" + path, "LC_ALL=C.UTF-8", "FLEET_CHARSET"});
  options.timeout_seconds = 20;  // a fifo must not hold the program

  const auto before = snapshot(folder);
  const Outcome autolog = dialogue::run("autolog", kAutologAnswers, options);
  const std::string status = autolog.out.substr(0, 2);
  EXPECT_TRUE(allowed(autolog_statuses, status)) << name << ": autolog shows " << status;
  EXPECT_EQ(autolog.out, status + "\n" + kAdded + kQuestion + kEnd) << name;
  EXPECT_EQ(autolog.status, 1) << name;  // the article typed was not stored
  EXPECT_FALSE(autolog.timed_out) << name;
  // One line for the open, with the path and the status shown, one for the article.
  EXPECT_EQ(autolog.err.find(cannot_open("autolog", path)), 0u) << name << ": " << autolog.err;
  EXPECT_EQ(status_in(autolog.err), status) << name << ": " << autolog.err;
  const size_t line_end = autolog.err.find('\n');
  ASSERT_NE(line_end, std::string::npos) << name;
  EXPECT_EQ(autolog.err.substr(line_end + 1),
            "autolog : ARTICLES : article « AB123CD » non enregistré : fichier non ouvert en écriture (statut 48)\n")
      << name;
  EXPECT_EQ(snapshot(folder), before) << name << ": autolog changed the folder";

  const Outcome autolog2 = dialogue::run("autolog2", "", options);
  const std::string status2 = autolog2.out.substr(0, 2);
  EXPECT_TRUE(allowed(autolog2_statuses, status2)) << name << ": autolog2 shows " << status2;
  EXPECT_EQ(autolog2.out, status2 + "\n" + kNothingRead + "\n" + kEndLine) << name;
  EXPECT_EQ(autolog2.status, 0) << name;
  EXPECT_EQ(autolog2.err.find(cannot_open("autolog2", path)), 0u) << name << ": " << autolog2.err;
  EXPECT_EQ(status_in(autolog2.err), status2) << name;
  EXPECT_EQ(std::count(autolog2.err.begin(), autolog2.err.end(), '\n'), 1) << name << ": " << autolog2.err;
  EXPECT_EQ(snapshot(folder), before) << name << ": autolog2 changed the folder";
}

TEST(ArticleFileFaults, WhatIsNotAnArticleFileIsRefusedAndLeftAsItWas) {
  TempDir folder;
  const std::string valid = folder.file("valid");
  make_article_file(valid);
  const std::string article_bytes = bytes_of(valid);
  ASSERT_GT(article_bytes.size(), 1000u);

  std::mt19937 random(7);
  std::string noise(8192, '\0');
  for (char& byte : noise) byte = static_cast<char>(random() & 0xFF);
  put_bytes(folder.file("random"), noise);
  put_bytes(folder.file("empty"), "");
  make_sqlite_database(folder.file("other-sqlite"),
                       "CREATE TABLE cars(plate TEXT PRIMARY KEY, week INTEGER);"
                       "INSERT INTO cars VALUES('AB123CD', 12);");
  make_sqlite_database(folder.file("other-sqlite-wal"),
                       "PRAGMA journal_mode=WAL; CREATE TABLE records(record BLOB);"
                       "INSERT INTO records VALUES(zeroblob(88));");
  // Truncated copies: inside the header, the header alone, and cut through the pages.
  const size_t cuts[] = {50, 100, article_bytes.size() / 2, article_bytes.size() * 3 / 4 + 1};
  for (const size_t cut : cuts) put_bytes(folder.file("cut-" + std::to_string(cut)), article_bytes.substr(0, cut));

  struct Case {
    std::string name;
    std::string autolog;  // statuses allowed
    std::string autolog2;
  } cases[] = {
      {"random", "39", "39"},
      {"empty", "39", "39"},  // an empty file is no article file: never made into one
      {"other-sqlite", "39", "39"},
      {"other-sqlite-wal", "39", "39"},
      {"cut-50", "39", "39"},
      // A cut article file keeps a header of this layer; SQLite then finds its pages
      // missing. Either status refuses it, untouched.
      {"cut-100", "30 39", "30 39"},
      {"cut-" + std::to_string(cuts[2]), "30 39", "30 39"},
      {"cut-" + std::to_string(cuts[3]), "30 39", "30 39"},
  };
  for (const Case& c : cases) expect_refused(folder.path(), c.name, folder.file(c.name), c.autolog, c.autolog2);
  EXPECT_EQ(bytes_of(valid), article_bytes);
}

TEST(ArticleFileFaults, WhatIsNoFileIsRefused) {
  TempDir folder;
  put_bytes(folder.file("text"), "AB123CD;12\n");
  ASSERT_EQ(mkfifo(folder.file("fifo").c_str(), 0644), 0);
  fs::create_directory(folder.file("folder"));
  fs::create_symlink(folder.file("nowhere"), folder.file("dangling"));
  struct Case {
    std::string name;
    std::string path;
    std::string autolog;
    std::string autolog2;
  } cases[] = {
      {"a folder", folder.file("folder"), "30", "30"},
      {"a missing parent folder", folder.file("missing/articles"), "30", "30"},
      {"a path through a file", folder.file("text/articles"), "30", "30"},
      {"a fifo, never opened", folder.file("fifo"), "30", "30"},
      // autolog creates no file at the end of a link: the link is there, its file is not.
      {"a link to nothing", folder.file("dangling"), "30", "35"},
  };
  for (const Case& c : cases) expect_refused(folder.path(), c.name, c.path, c.autolog, c.autolog2);
}

// Files and folders the program may not use: 37. As root every permission is granted,
// so a test running as root runs the programs as the user nobody.
TEST(ArticleFileFaults, PermissionRefusedIs37) {
  dialogue::Options as_user;
  if (geteuid() == 0) as_user.user = 65534;

  TempDir top;
  chmod(top.path().c_str(), 0755);
  // Each case in a folder of its own, made by the test's own user.
  struct Case {
    const char* name;
    mode_t folder_mode;
    mode_t file_mode;  // 0 with no_file: no file at all
    bool no_file;
    const char* autolog;
    const char* autolog2;  // 00: reads the first plate
  } cases[] = {
      {"a read-only file", 0755, 0444, false, "37", "00"},
      {"an unreadable file", 0755, 0, false, "37", "37"},
      {"a read-only folder", 0555, 0666, false, "37", "00"},
      {"a read-only folder without the file", 0555, 0, true, "37", "35"},
      {"a folder that may not be searched", 0, 0666, false, "37", "37"},
  };
  // A probe, with every permission granted, shows that the user can run the programs
  // and reach the folders at all, and that a file's permissions hold for the user.
  const std::string probe = top.path() + "/probe";
  fs::create_directory(probe);
  chmod(probe.c_str(), 0777);
  make_article_file(probe + "/articles");
  chmod((probe + "/articles").c_str(), 0666);
  dialogue::Options probe_options = as_user;
  probe_options.env = {"fichier=" + probe + "/articles"};
  const Outcome reachable = dialogue::run("autolog2", "", probe_options);
  ASSERT_EQ(reachable.out.substr(0, 2), "00") << "status " << reachable.status << ": " << reachable.err;
  chmod((probe + "/articles").c_str(), 0444);
  if (geteuid() != 0 && access((probe + "/articles").c_str(), W_OK) == 0) {
    GTEST_SKIP() << "permissions are not enforced for this user";
  }

  for (const Case& c : cases) {
    const std::string folder = top.path() + "/" + std::to_string(&c - cases);
    fs::create_directory(folder);
    const std::string path = folder + "/articles";
    if (!c.no_file) {
      make_article_file(path);
      chmod(path.c_str(), c.file_mode);
    }
    chmod(folder.c_str(), 0755);
    const auto before = snapshot(folder);
    chmod(folder.c_str(), c.folder_mode);

    if (std::string(c.autolog2) == "00") {
      // autolog is refused; autolog2 only reads and finds the first article.
      dialogue::Options options = as_user;
      options.env = {"fichier=" + path, "LC_ALL=C.UTF-8", "FLEET_CHARSET"};
      const Outcome autolog2 = dialogue::run("autolog2", "", options);
      EXPECT_EQ(autolog2.out, "00\nAB123CD \n" + kEndLine) << c.name;
      EXPECT_EQ(autolog2.err, "") << c.name;
      const Outcome autolog = dialogue::run("autolog", kAutologAnswers, options);
      EXPECT_EQ(autolog.out, c.autolog + ("\n" + kAdded + kQuestion + kEnd)) << c.name;
      EXPECT_EQ(autolog.err.find(cannot_open("autolog", path)), 0u) << c.name << ": " << autolog.err;
      EXPECT_EQ(status_in(autolog.err), c.autolog) << c.name;
    } else {
      expect_refused(top.path(), c.name, path, c.autolog, c.autolog2, as_user);
    }
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(snapshot(folder), before) << c.name;
  }
}

// A writer killed leaves its last articles beside the file, in SQLite's side files; a
// reader who may not write the file or its folder still finds them, and changes nothing.
TEST(ArticleFileFaults, AReaderWhoMayNotWriteReadsWhatAKilledWriterLeft) {
  if (geteuid() != 0) GTEST_SKIP() << "needs another user than the writer's";
  TempDir folder;
  chmod(folder.path().c_str(), 0755);
  const std::string path = folder.file("articles");
  {
    dialogue::LiveProgram autolog("autolog", {"fichier=" + path});
    autolog.send(add_article("12", "BB") + add_article("12", "AA"));
    ASSERT_TRUE(autolog.wait_for(kQuestion, 3));
    autolog.kill(SIGKILL);
    autolog.wait();
  }
  const auto before = snapshot(folder.path());
  dialogue::Options options;
  options.env = {"fichier=" + path};
  options.user = 65534;
  const Outcome reader = dialogue::run("autolog2", "", options);
  EXPECT_EQ(reader.out, "00\nAA      \n" + kEndLine);
  EXPECT_EQ(reader.err, "");
  EXPECT_EQ(snapshot(folder.path()), before);
}

}  // namespace
