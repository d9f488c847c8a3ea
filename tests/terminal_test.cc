// The programs on a terminal (a pseudo-terminal): UTF-8 in a UTF-8 locale, Latin-1 bytes
// as they are in the C locale, control bytes of fields shown harmlessly, a line end at
// end of input, and --help and --version. What a terminal shows is compared with what the
// same run writes through a pipe, which the other dialogue tests pin byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/harness.h"
#include "testing/terminal.h"
#include "tests/fleet.h"

namespace {

// No variable of the test's own environment may choose for the program.
const std::vector<std::string> kUtf8Locale = {"LANG=C.UTF-8", "LC_ALL", "LC_CTYPE", "FLEET_CHARSET"};
const std::vector<std::string> kCLocale = {"LANG", "LC_ALL=C", "LC_CTYPE", "FLEET_CHARSET"};

std::vector<std::string> with(std::vector<std::string> env, const std::vector<std::string>& more) {
  env.insert(env.end(), more.begin(), more.end());
  return env;
}

std::string utf8(const std::string& latin1) {
  std::string text;
  for (const char byte : latin1) {
    const auto c = static_cast<unsigned char>(byte);
    if (c < 0x80) {
      text += byte;
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// What a terminal receives of output written through a pipe as bytes: control bytes other
// than the line ends in caret notation, the rest in UTF-8 or as it is.
std::string on_terminal(const std::string& bytes, bool in_utf8) {
  std::string shown;
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x80 && c < 0xA0)
      shown += "M-^" + std::string(1, static_cast<char>((c - 0x80) ^ 0x40));
    else if ((c < 0x20 && c != '\n') || c == 0x7F)
      shown += "^" + std::string(1, static_cast<char>(c ^ 0x40));
    else
      shown += in_utf8 ? utf8(std::string(1, byte)) : std::string(1, byte);
  }
  return shown;
}

std::string piped(const std::string& program, const std::string& input, const std::vector<std::string>& env = {}) {
  return dialogue::run(program, input, {.env = env}).out;
}

// One dialogue on the terminal, and what it must show: the output of the same program
// given `like` through a pipe, as a terminal in UTF-8 or not receives it.
struct Dialogue {
  const char* name;
  std::string program;
  std::string typed;
  std::vector<std::string> env;
  std::string like;
  bool shown_in_utf8;
  std::string shows;  // a part of what the terminal shows that tells the case apart
};

void check(const Dialogue& d, const std::vector<std::string>& extra_env = {}) {
  const terminal::Outcome run = terminal::run(d.program, d.typed, {.env = with(d.env, extra_env)});
  const std::string expected = piped(d.program, d.like, extra_env);
  EXPECT_EQ(run.out, on_terminal(expected, d.shown_in_utf8)) << d.name;
  EXPECT_NE(run.out.find(d.shows), std::string::npos) << d.name << ": " << run.out;
  EXPECT_EQ(run.status, 0) << d.name;
  EXPECT_EQ(run.err, "") << d.name;
}

const std::string kEte = "\xC3\xA9t\xC3\xA9";  // été typed in UTF-8
const std::string kElephant = "\xC3\x89l\xC3\xA9phant";
const std::string kForceUtf8 = "FLEET_CHARSET=utf-8";

TEST(Terminal, DialoguesInAUtf8AndInTheCLocale) {
  const Dialogue dialogues[] = {
      {"civil, UTF-8", "civil", "299122A00512345\n", kUtf8Locale, "299122A00512345\n", true,
       "Tapez votre num\xC3\xA9ro CIVIL : Sexe : 2\nAnn\xC3\xA9"
       "e de naissance : 99\n"},
      {"civil, C", "civil", "299122A00512345\n", kCLocale, "299122A00512345\n", false, "Cl\xE9 de contr\xF4le : 45\n"},
      {"mirror1, UTF-8: one character a letter", "mirror1", kEte + "\n", kUtf8Locale, "\xE9t\xE9\n", true,
       "MOT ARRIVEE : " + kEte + "   "},
      {"mirror1, C: bytes", "mirror1", kEte + "\n", kCLocale, kEte + "\n", false, "CE N'EST PAS UN PALINDROME"},
      {"mirror1, Latin-1 forced on a UTF-8 terminal", "mirror1", kEte + "\n",
       with(kUtf8Locale, {"FLEET_CHARSET=latin1"}), kEte + "\n", false, "CE N'EST PAS UN PALINDROME"},
      {"sieve, UTF-8", "sieve", kElephant + "\n", kUtf8Locale, "\xC9l\xE9phant\n", true,
       "Mot consonn\xC3\xA9 : \xC3\x89l\xC3\xA9ph \n"},
      {"sieve, C: bytes, a C1 byte among them", "sieve", kElephant + "\n", kCLocale, kElephant + "\n", false,
       "Mot consonn\xE9 : \xC3M-^Il\xC3\xA9p\n"},
      {"a character beyond Latin-1", "sieve", "\xC5\x92uf\n", kUtf8Locale, "?uf\n", true, " : ?f    \n"},
  };
  for (const Dialogue& d : dialogues) check(d);
}

TEST(Terminal, AForcedCharsetAlsoHoldsOnPipes) {
  const dialogue::Outcome run = dialogue::run("mirror1", kEte + "\n", {.env = {kForceUtf8}});
  EXPECT_EQ(run.out, utf8(piped("mirror1", "\xE9t\xE9\n")));
  EXPECT_EQ(run.status, 0);
}

TEST(Terminal, EndOfInputAtAPromptEndsTheLine) {
  const Dialogue dialogues[] = {
      {"civil, UTF-8", "civil", "", kUtf8Locale, "", true, "CIVIL : \n"},
      {"impair after one answer, C", "impair", "4\n", kCLocale, "4\n", false, "impair : \n"},
  };
  for (const Dialogue& d : dialogues) {
    const terminal::Outcome run = terminal::run(d.program, d.typed, {.env = d.env});
    const std::string expected = piped(d.program, d.like) + "\n";
    EXPECT_EQ(run.out, on_terminal(expected, d.shown_in_utf8)) << d.name;
    EXPECT_TRUE(run.out.ends_with(d.shows)) << d.name << ": " << run.out;
    EXPECT_EQ(run.status, 0) << d.name;
  }
}

// The answers of autolog that add one article with this plate, then end.
std::string one_article(const std::string& plate) { return fleet_test::add_article("12", plate) + "n\n"; }

TEST(Terminal, APlateTypedInUtf8IsStoredInLatin1) {
  struct Case {
    const char* name;
    std::vector<std::string> env;
    std::string stored;
  } cases[] = {
      {"UTF-8", kUtf8Locale, "\xC9T\xC9-42  "},
      {"C: the bytes as typed", kCLocale, "\xC3\x89T\xC3\x89-42"},
  };
  for (const Case& c : cases) {
    dialogue::TempDir folder;
    const std::string fichier = "fichier=" + folder.file("articles");
    const terminal::Outcome run =
        terminal::run("autolog", one_article("\xC3\x89T\xC3\x89-42"), {.env = with(c.env, {fichier})});
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_TRUE(run.out.starts_with(c.env == kUtf8Locale ? "00\nPROCEDER \xC3\x80 UN TRAITEMENT ? (o/n) : "
                                                         : "00\nPROCEDER \xC0 UN TRAITEMENT ? (o/n) : "))
        << c.name;
    EXPECT_EQ(piped("autolog2", "", {fichier}), "00\n" + c.stored + "\nfin de traitement\n") << c.name;
  }
}

// On a terminal the clerk sees at once what an answer lost and each article stored, in
// the terminal's character set; with standard error elsewhere, only what went wrong.
TEST(Terminal, TheClerkSeesWhatIsKeptAndEachArticleStored) {
  const std::string typed = "\xC3\x89T\xC3\x89-42-ABC";  // ÉTÉ-42-ABC in UTF-8, 10 characters
  const std::string cut = "autolog : « ÉTÉ-42-ABC » tapé, « ÉTÉ-42-A » retenu (8 caractères au plus)\n";
  const std::string stored = "autolog : article « ÉTÉ-42-A » enregistré\n";
  const std::string refused =
      "autolog : ARTICLES : article « ÉTÉ-42-A » non enregistré : clé déjà présente dans le fichier (statut 22)\n";
  const std::string up_to_plate = fleet_test::kQuestion + fleet_test::kMenu + "NUMERO DE SEMAINE : IMMATRICULATION : ";
  const std::string after_plate = fleet_test::article_prompts().substr(
      up_to_plate.size() - fleet_test::kQuestion.size() - fleet_test::kMenu.size());
  for (const bool on_terminal : {true, false}) {
    dialogue::TempDir folder;
    const std::string input = fleet_test::add_article("12", typed) + fleet_test::add_article("13", typed) + "n\n";
    const terminal::Outcome run = terminal::run(
        "autolog", input,
        {.env = with(kUtf8Locale, {"fichier=" + folder.file("articles")}), .stderr_on_terminal = on_terminal});
    const std::string article = utf8(up_to_plate) + (on_terminal ? cut : "") + utf8(after_plate);
    EXPECT_EQ(run.out, "00\n" + article + (on_terminal ? stored : "") + article + (on_terminal ? refused : "") +
                           utf8(fleet_test::kQuestion + fleet_test::kEnd))
        << on_terminal;
    EXPECT_EQ(run.err, on_terminal ? "" : cut + cut + refused) << on_terminal;
    EXPECT_EQ(run.status, 1) << on_terminal;
  }
}

TEST(Terminal, ControlBytesOfAPlateAreShownHarmlessly) {
  dialogue::TempDir folder;
  const std::string fichier = "fichier=" + folder.file("articles");
  ASSERT_EQ(dialogue::run("autolog", one_article("\x1B[2J\x1B[H"), {.env = {fichier}}).status, 0);
  const std::string exact = "00\n\x1B[2J\x1B[H \nfin de traitement\n";
  EXPECT_EQ(piped("autolog2", "", {fichier}), exact);
  EXPECT_EQ(piped("autolog2", "", {fichier, kForceUtf8}), exact);  // marks are for terminals
  for (const auto& env : {kUtf8Locale, kCLocale}) {
    const terminal::Outcome run = terminal::run("autolog2", "", {.env = with(env, {fichier})});
    EXPECT_EQ(run.out, "00\n^[[2J^[[H \nfin de traitement\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST(Terminal, HelpAndVersionTouchNothing) {
  const char* programs[] = {"autolog", "autolog2", "mirror1", "sieve", "quadra0",
                            "quadra1", "factor",   "impair",  "civil"};
  struct Setting {
    const char* option;
    std::vector<std::string> env;
    bool on_terminal;
    std::string shows;  // besides the program's name
  } settings[] = {
      {"--help", kUtf8Locale, true,
       "Codes de sortie :\n  0  fin normale, aussi quand l'entr\xC3\xA9"
       "e standard"},
      {"--help", kCLocale, false,
       "l'entr\xE9"
       "e standard"},
      {"--version", kUtf8Locale, true, " (fleet-programs) "},
  };
  for (const char* program : programs) {
    for (const Setting& s : settings) {
      dialogue::TempDir folder;
      dialogue::TempDir input_folder;
      const std::string input_path = input_folder.file("input");
      { std::ofstream(input_path) << one_article("AB123CD"); }
      const int input = open(input_path.c_str(), O_RDONLY);
      const terminal::Outcome run = terminal::run(program, "",
                                                  {.args = {s.option},
                                                   .env = with(s.env, {"fichier"}),
                                                   .directory = folder.path(),
                                                   .stdin_fd = input,
                                                   .stdout_on_terminal = s.on_terminal});
      const std::string what = std::string(program) + " " + s.option;
      EXPECT_EQ(run.status, 0) << what;
      EXPECT_EQ(run.err, "") << what;
      const std::string first = s.option == std::string("--help") ? "Utilisation : " + std::string(program) + " [--help"
                                                                  : std::string(program) + " (";
      EXPECT_TRUE(run.out.starts_with(first)) << what << ": " << run.out;
      EXPECT_NE(run.out.find(s.shows), std::string::npos) << what << ": " << run.out;
      EXPECT_EQ(lseek(input, 0, SEEK_CUR), 0) << what << ": standard input was read";
      EXPECT_TRUE(std::filesystem::is_empty(folder.path())) << what;
      close(input);
    }
  }
  // Any other argument is ignored: the dialogue runs.
  const terminal::Outcome run = terminal::run("civil", "", {.args = {"--help", "--version"}, .env = kCLocale});
  EXPECT_EQ(run.out, piped("civil", "") + "\n");
}

}  // namespace
