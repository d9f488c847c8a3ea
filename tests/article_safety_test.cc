// No acknowledged article lost or silently damaged, on a local article file, as an
// operator meets it: two names for one file, a file removed or replaced while autolog
// waits, the flush at each commit, a path too long, a file swapped for a fifo, a
// damaged file, side files of another file, another program's lock, side files the
// user may not write, and the exit statuses that tell a script what was not done.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/harness.h"
#include "testing/live_program.h"
#include "testing/test_folder.h"
#include "tests/fleet.h"

namespace {

using dialogue::Outcome;
using dialogue::TempDir;
using namespace fleet_test;
namespace fs = std::filesystem;

// Standard error in UTF-8, whatever the test's own locale.
Outcome autolog(const std::string& fichier, const std::string& input, dialogue::Options options = {}) {
  options.env.insert(options.env.end(), {"fichier=" + fichier, "LC_ALL=C.UTF-8", "FLEET_CHARSET"});
  return dialogue::run("autolog", input, options);
}
Outcome autolog2(const std::string& fichier, dialogue::Options options = {}) {
  options.env.insert(options.env.end(), {"fichier=" + fichier, "LC_ALL=C.UTF-8", "FLEET_CHARSET"});
  return dialogue::run("autolog2", "", options);
}

// An article file made by autolog with these plates.
void make_file(const std::string& path, const std::vector<std::string>& plates) {
  std::string input;
  for (const std::string& plate : plates) input += add_article("12", plate);
  const Outcome made = autolog(path, input + "n\n");
  ASSERT_EQ(made.status, 0) << made.err;
}

size_t lines_in(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

std::string integrity(const std::string& path) {
  std::string result = "cannot open";
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return result;
}

// 1. One file, one name: a file with two names is refused through either, untouched;
// a symbolic link keeps working.
TEST(ArticleSafety, AFileWithTwoNamesIsRefusedASymbolicLinkWorks) {
  TempDir folder;
  const std::string path = folder.file("articles");
  make_file(path, {"AA"});
  fs::create_directory(folder.file("other"));
  ASSERT_EQ(link(path.c_str(), folder.file("other/second").c_str()), 0);
  for (const std::string& name : {path, folder.file("other/second")}) {
    const Outcome writer = autolog(name, add_article("12", "BB") + "n\n");
    EXPECT_EQ(writer.out, "30\n" + kAdded + kQuestion + kEnd) << name;
    EXPECT_NE(writer.err.find("impossible d'ouvrir « " + name +
                              " » : échec (statut 30 : le fichier a 2 noms (liens physiques)"),
              std::string::npos)
        << writer.err;
    EXPECT_EQ(writer.status, 1);  // the article was not stored
    const Outcome reader = autolog2(name);
    EXPECT_EQ(reader.out, "30\n" + kNothingRead + "\n" + kEndLine);
    EXPECT_EQ(reader.status, 0);
  }
  EXPECT_EQ(entries_of(folder.file("other")), std::vector<std::string>{"second"});  // no side file
  ASSERT_EQ(unlink(folder.file("other/second").c_str()), 0);
  fs::create_symlink(path, folder.file("link"));
  const Outcome through_link = autolog(folder.file("link"), add_article("12", "CC") + "n\n");
  EXPECT_EQ(through_link.out, "00\n" + kAdded + kQuestion + kEnd);
  EXPECT_EQ(through_link.status, 0);
  EXPECT_EQ(plates_in(path), (std::vector<std::string>{"AA      ", "CC      "}));
}

// 2. The name still names the file: an article typed after the file was removed or
// replaced goes to the file at the name, and the lost file's side files go.
TEST(ArticleSafety, AFileRemovedOrReplacedWhileAutologWaitsIsOpenedAgainAtItsName) {
  struct Case {
    const char* name;
    bool replace;  // by another article file; otherwise removed
    std::vector<std::string> plates;
    std::vector<std::string> entries;  // of the folder at the end
  } cases[] = {
      {"removed", false, {"AFTER   "}, {"articles", "other"}},
      {"replaced", true, {"AFTER   ", "OTHER   "}, {"articles"}},
  };
  for (const Case& c : cases) {
    TempDir folder;
    const std::string path = folder.file("articles");
    make_file(folder.file("other"), {"OTHER"});
    dialogue::LiveProgram writer("autolog", {"fichier=" + path});
    writer.send(add_article("12", "BEFORE"));
    ASSERT_TRUE(writer.wait_for(kQuestion, 2)) << c.name;
    if (c.replace) {
      ASSERT_EQ(rename(folder.file("other").c_str(), path.c_str()), 0);
    } else {
      ASSERT_EQ(unlink(path.c_str()), 0);
    }
    writer.send(add_article("12", "AFTER") + "n\n");
    EXPECT_EQ(writer.wait(), 0) << c.name << ": " << writer.err();
    EXPECT_EQ(writer.out(), "00\n" + kAdded + kAdded + kQuestion + kEnd) << c.name;
    EXPECT_EQ(writer.err(), "") << c.name;
    EXPECT_EQ(plates_in(path), c.plates) << c.name;
    EXPECT_EQ(integrity(path), "ok") << c.name;
    std::vector<std::string> entries = entries_of(folder.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, c.entries) << c.name;
  }
}

// 3. Durable at acknowledgement: the question comes back after the commit was flushed.
TEST(ArticleSafety, EachArticleIsFlushedBeforeTheQuestionComesBack) {
  TempDir folder;
  const std::string trace = folder.file("flushes");
  // ASan, when the programs are built with it, must not refuse the preloaded library.
  dialogue::LiveProgram writer("autolog", {"fichier=" + folder.file("articles"), "SYNC_TRACE=" + trace,
                                           "LD_PRELOAD=" SYNC_TRACE_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0"});
  ASSERT_TRUE(writer.wait_for(kQuestion, 1)) << writer.err();
  for (size_t article = 1; article <= 3; ++article) {
    writer.send(add_article("12", "P" + std::to_string(article)));
    ASSERT_TRUE(writer.wait_for(kQuestion, article + 1));
    EXPECT_GE(lines_in(testkit::bytes_of(trace)), article) << "article " << article;
  }
  writer.send("n\n");
  EXPECT_EQ(writer.wait(), 0);
}

// 4. Nothing left behind: a path SQLite cannot take is refused before anything is made.
TEST(ArticleSafety, APathTooLongLeavesNothingBehind) {
  TempDir folder;
  std::string deepest = folder.path();
  for (const char c : {'a', 'b'}) {
    deepest += "/" + std::string(200, c);
    fs::create_directory(deepest);
  }
  const std::string path = deepest + "/" + std::string(600 - deepest.size() - 1, 'c');
  ASSERT_EQ(path.size(), 600u);
  const Outcome writer = autolog(path, add_article("12", "AA") + "n\n");
  EXPECT_EQ(writer.out, "30\n" + kAdded + kQuestion + kEnd);
  EXPECT_NE(writer.err.find("le chemin fait "), std::string::npos) << writer.err;
  EXPECT_EQ(writer.status, 1);
  EXPECT_EQ(entries_of(deepest), std::vector<std::string>{});
}

// 5. Opens never block: the name flips between an article file and a fifo while the
// programs open it; each run ends at once, with the file read or refused.
TEST(ArticleSafety, AFileSwappedForAFifoNeverHoldsAnOpen) {
  TempDir folder;
  make_file(folder.file("valid"), {"AA"});
  ASSERT_EQ(mkfifo(folder.file("fifo").c_str(), 0644), 0);
  const std::string name = folder.file("articles");
  fs::create_symlink("valid", name);
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    for (int turn = 0; !stop; ++turn) {
      const std::string next = folder.file("next");
      if (symlink(turn % 2 == 0 ? "fifo" : "valid", next.c_str()) != 0) continue;
      rename(next.c_str(), name.c_str());
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  const std::string read = "00\nAA      \n" + kEndLine;
  const std::string refused = "30\n" + kNothingRead + "\n" + kEndLine;
  int held = 0;
  for (int run = 0; run < 60 && held == 0; ++run) {
    const Outcome reader = autolog2(name, {.timeout_seconds = 5});
    held += reader.timed_out;
    EXPECT_TRUE(reader.out == read || reader.out == refused) << reader.out << reader.err;
    const Outcome writer = autolog(name, "n\n", {.timeout_seconds = 5});
    held += writer.timed_out;
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(held, 0);
}

// 6. A damaged file: the open succeeds, the read fails, and autolog2 says so.
TEST(ArticleSafety, ADamagedFileIsAReadFailureNotAnEmptyFile) {
  TempDir folder;
  const std::string path = folder.file("articles");
  std::vector<std::string> plates;
  for (int i = 0; i < 40; ++i) plates.push_back("P" + std::to_string(100 + i));
  make_file(path, plates);
  std::mt19937 random(13);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(8192).write(noise.data(), 4096);
  const Outcome reader = autolog2(path);
  EXPECT_EQ(reader.out, "00\n" + kNothingRead + "\n" + kEndLine);
  EXPECT_EQ(lines_in(reader.err), 1u) << reader.err;
  EXPECT_EQ(reader.err.find("autolog2 : articles : lecture impossible : "), 0u) << reader.err;
  EXPECT_EQ(reader.status, 1);
}

// 7. Side files of another file at a name where autolog would create one are not
// merged into the new file: the open is refused, and they stay for their owner.
TEST(ArticleSafety, SideFilesWithoutTheirFileAreNotTakenIntoANewOne) {
  TempDir folder;
  const std::string path = folder.file("articles");
  {
    dialogue::LiveProgram killed("autolog", {"fichier=" + path});
    killed.send(add_article("12", "KILLED"));
    ASSERT_TRUE(killed.wait_for(kQuestion, 2));
    killed.kill(SIGKILL);
    killed.wait();
  }
  ASSERT_TRUE(fs::exists(path + "-wal"));
  ASSERT_EQ(unlink(path.c_str()), 0);
  const std::string wal = testkit::bytes_of(path + "-wal");
  const Outcome writer = autolog(path, "n\n");
  EXPECT_EQ(writer.out, "30\n" + kQuestion + kEnd);
  EXPECT_NE(writer.err.find("des fichiers annexes d'un autre fichier"), std::string::npos) << writer.err;
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(testkit::bytes_of(path + "-wal"), wal);
}

// 8. One busy limit: a program that keeps the file locked holds an open 30 s in all.
TEST(ArticleSafety, AnotherProgramsLockHoldsAnOpenThirtySecondsInAll) {
  TempDir folder;
  const std::string path = folder.file("articles");
  make_file(path, {"AA"});
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  const Outcome reader = autolog2(path, {.timeout_seconds = 120});
  const auto waited = std::chrono::steady_clock::now() - start;
  sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(reader.out, "30\n" + kNothingRead + "\n" + kEndLine);
  EXPECT_EQ(lines_in(reader.err), 1u) << reader.err;
  EXPECT_GE(waited, std::chrono::seconds(29));
  EXPECT_LT(waited, std::chrono::seconds(45));
}

// 9. A side file the user may not write: autolog is refused at open (37), a reader reads.
TEST(ArticleSafety, ASideFileTheUserMayNotWriteIsRefusedAtOpen) {
  dialogue::Options as_user;
  if (geteuid() == 0) as_user.user = 65534;
  for (const char* side : {"-wal", "-shm"}) {
    TempDir folder;
    chmod(folder.path().c_str(), 0777);
    const std::string path = folder.file("articles");
    make_file(path, {"AA"});
    chmod(path.c_str(), 0666);
    testkit::put_bytes(path + side, "");
    chmod((path + side).c_str(), 0444);
    if (geteuid() != 0 && access((path + side).c_str(), W_OK) == 0) GTEST_SKIP() << "permissions not enforced";
    const Outcome writer = autolog(path, add_article("12", "BB") + "n\n", as_user);
    EXPECT_EQ(writer.out, "37\n" + kAdded + kQuestion + kEnd) << side;
    EXPECT_NE(writer.err.find("son fichier annexe " + path + side + " n'est pas accessible en écriture"),
              std::string::npos)
        << writer.err;
    EXPECT_EQ(writer.status, 1) << side;
    EXPECT_EQ(autolog2(path, as_user).out.substr(0, 12), "00\nAA      \n") << side;
  }
}

// 10. The exit status tells a script whether everything typed was stored.
TEST(ArticleSafety, ExitStatusOneWhenATypedArticleWasNotStored) {
  TempDir folder;
  fs::create_directory(folder.file("folder"));
  struct Case {
    const char* name;
    std::string fichier;
    std::string input;
    int status;
  } cases[] = {
      {"stored", folder.file("articles"), add_article("12", "AA") + "n\n", 0},
      {"plate already in the file", folder.file("articles"), add_article("12", "AA") + "n\n", 1},
      {"failed open, an article typed", folder.file("folder"), add_article("12", "BB") + "n\n", 1},
      {"failed open, nothing typed", folder.file("folder"), "n\n", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(autolog(c.fichier, c.input).status, c.status) << c.name;
  EXPECT_EQ(autolog2(folder.file("folder")).status, 0);  // its status line says it
}

}  // namespace
