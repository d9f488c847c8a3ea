// Hostile input against every program: whatever comes on standard input, and whatever
// becomes of standard output, a program keeps its dialogue, comes to an end (no hang),
// is never ended by a signal, keeps its memory bounded and exits 0, or 1 with one line
// on standard error when its output was lost; what standard error says is harmless. A program not built in this tree is
// skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "testing/harness.h"

namespace {

struct Program {
  const char* name;
  bool status_line;   // output opens with the two-digit status of the article file's open
  std::string first;  // then the dialogue up to the first answer (or all, for no answer)
  std::string input;  // a normal dialogue's answers, one per line; empty: reads nothing
  // A program run first on preparation, with the same article file.
  const char* prepared_by = nullptr;
  std::string preparation = "";
};

void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

std::string days(const std::string& day) {
  std::string all;
  for (int i = 0; i < 7; ++i) all += day;
  return all;
}

const std::string kOneArticle = "o\n2\n12\nAB123CD\n" + days("250\n35.40\n");

const Program kPrograms[] = {
    {"autolog", true, "PROCEDER \xC0 UN TRAITEMENT ? (o/n) : ", kOneArticle + "o\n1\nn\n"},
    {"autolog2", true, "AB123CD \nfin de traitement\n", "", "autolog", kOneArticle + "n\n"},
    {"mirror1", false, "Saisissez une phrase : ", "ELU PAR CETTE CRAPULE\n"},
    {"sieve", false, "Saisissez un mot : ", "BERNARD\n"},
    {"quadra0", false, "Taille du tableau : 03\n", ""},
    {"quadra1", false, "Taille du tableau : 03\n", ""},
    {"factor", false, "Saisissez un chiffre de base : ", "5\n11\n"},
    {"impair", false, "Saisissez un chiffre impair : ", "4\n0\n98\n7\n"},
    {"civil", false, "Tapez votre num\xE9ro CIVIL : ", "299122A00512345\n"},
};

// The answers of input, one per element, each with its line end.
std::vector<std::string> lines_of(const std::string& input) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < input.size();) {
    const size_t end = std::min(input.find('\n', start), input.size() - 1);
    lines.push_back(input.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

std::string random_bytes(unsigned seed, size_t size) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Short lines of plausible and implausible answers, so that the dialogues go deep.
std::string random_answers(unsigned seed, size_t count) {
  static const char* const answers[] = {"o",    "O",        "n",       "2",   "1",     "3",  "4",    "0",      "9",
                                        "12",   "7",        "AB123CD", "250", "35.40", "",   " ",    "-1",     "+5",
                                        "1.5.", "99999999", "x",       "oui", "\t7\t", "\r", "\xE9", "ZZ999ZZ"};
  std::mt19937 random(seed);
  std::string input;
  for (size_t i = 0; i < count; ++i) {
    input += answers[random() % std::size(answers)];
    input += random() % 8 == 0 ? "\r\n" : "\n";
  }
  return input;
}

class Hostile : public testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    for (const char* name : {GetParam().name, GetParam().prepared_by}) {
      if (name != nullptr && !std::filesystem::exists(dialogue::program_path(name))) {
        GTEST_SKIP() << name << " is not built in this tree";
      }
    }
  }

  // Runs the program with its article file in a folder of its own.
  static dialogue::Outcome run(std::string_view input, dialogue::Options options = {}) {
    const dialogue::TempDir folder;
    options.env.push_back("fichier=" + folder.file("articles"));
    options.timeout_seconds = 30;
    if (GetParam().prepared_by != nullptr) {
      dialogue::Options preparing;
      preparing.env = options.env;
      const dialogue::Outcome prepared = dialogue::run(GetParam().prepared_by, GetParam().preparation, preparing);
      EXPECT_EQ(prepared.status, 0) << GetParam().prepared_by << ": " << prepared.err;
    }
    return dialogue::run(GetParam().name, input, options);
  }

  // Standard error holds only the runtime's own lines, each naming the program: what a
  // typed answer lost, an article that could not be stored. None is fatal or about lost
  // output, and none carries a control byte of what was typed.
  static void expect_no_report(const std::string& err, const std::string& what) {
    for (size_t start = 0; start < err.size();) {
      const size_t end = err.find('\n', start);
      const std::string line = err.substr(start, end - start);
      EXPECT_EQ(line.rfind(std::string(GetParam().name) + " : ", 0), 0u) << what << ": " << line;
      EXPECT_EQ(line.find("fatale"), std::string::npos) << what << ": " << line;
      EXPECT_EQ(line.find("sortie standard"), std::string::npos) << what << ": " << line;
      EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7F; }))
          << what << ": " << line;
      start = end == std::string::npos ? err.size() : end + 1;
    }
  }

  // The output after the status line of the fleet programs.
  static std::string dialogue_of(const std::string& out) {
    if (!GetParam().status_line) return out;
    const bool status = out.size() >= 3 && std::isdigit(static_cast<unsigned char>(out[0])) &&
                        std::isdigit(static_cast<unsigned char>(out[1])) && out[2] == '\n';
    EXPECT_TRUE(status) << "no status line";
    return status ? out.substr(3) : out;
  }

  static void expect_normal_end(const dialogue::Outcome& run, const std::string& what) {
    EXPECT_FALSE(run.timed_out) << what;
    EXPECT_EQ(run.signal, 0) << what;
    EXPECT_EQ(run.status, 0) << what;
    expect_no_report(run.err, what);
    EXPECT_EQ(dialogue_of(run.out).compare(0, GetParam().first.size(), GetParam().first), 0)
        << what << ": the dialogue does not begin as it should";
  }

  static void expect_output_lost(const dialogue::Outcome& run) {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
    EXPECT_EQ(run.err.rfind(std::string(GetParam().name) + " : ", 0), 0u) << run.err;
  }
};

TEST_P(Hostile, RandomBytesAndRandomAnswers) {
  for (unsigned seed : {1u, 2u, 3u}) {
    expect_normal_end(run(random_bytes(seed, 4096)), "4 KiB of random bytes, seed " + std::to_string(seed));
    expect_normal_end(run(random_bytes(seed, 256 << 10)), "256 KiB of random bytes, seed " + std::to_string(seed));
    expect_normal_end(run(random_answers(seed, 400)), "random answers, seed " + std::to_string(seed));
  }
}

TEST_P(Hostile, NulBytes) {
  const struct {
    const char* what;
    std::string input;
  } cases[] = {
      {"a run of NULs", std::string(10000, '\0')},
      {"lines of NULs",
       [] {
         std::string lines;
         for (int i = 0; i < 1000; ++i) lines += std::string(1 + i % 40, '\0') + "\n";
         return lines;
       }()},
      {"a NUL in every answer",
       [] {
         std::string input;
         for (const std::string& line : lines_of(GetParam().input)) input += '\0' + line;
         return input;
       }()},
  };
  for (const auto& c : cases) expect_normal_end(run(c.input), c.what);
}

TEST_P(Hostile, SixtyFourMebibyteLineWithoutLineEndKeepsMemoryBounded) {
  const dialogue::TempDir folder;
  const std::string path = folder.file("line");
  {
    std::ofstream file(path, std::ios::binary);
    const std::string mebibyte(1 << 20, '7');
    for (int i = 0; i < 64; ++i) file << mebibyte;
  }
  dialogue::Options options;
  options.stdin_fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(options.stdin_fd, 0);
  const dialogue::Outcome huge = run("", options);
  close(options.stdin_fd);
  expect_normal_end(huge, "64 MiB line");
  const dialogue::Outcome normal = run(GetParam().input);
  expect_normal_end(normal, "normal dialogue");
  EXPECT_LT(huge.max_rss_kib, normal.max_rss_kib + (16 << 10))
      << "peak memory " << huge.max_rss_kib << " KiB against " << normal.max_rss_kib << " KiB";
}

TEST_P(Hostile, CrLfLineEndsGiveTheSameDialogue) {
  std::string crlf;
  for (const std::string& line : lines_of(GetParam().input)) {
    crlf += line.substr(0, line.size() - 1) + "\r\n";
  }
  const dialogue::Outcome with_lf = run(GetParam().input);
  const dialogue::Outcome with_crlf = run(crlf);
  expect_normal_end(with_crlf, "CR LF");
  EXPECT_EQ(with_crlf.out, with_lf.out);
}

TEST_P(Hostile, EmptyOrClosedInputEndsAtTheFirstAnswer) {
  const dialogue::Outcome empty = run("");
  expect_normal_end(empty, "empty input");
  if (!GetParam().input.empty()) {
    EXPECT_EQ(dialogue_of(empty.out), GetParam().first);
  }

  dialogue::Options closed;
  closed.stdin_fd = dialogue::kClosedInput;
  const dialogue::Outcome none = run("", closed);
  expect_normal_end(none, "closed standard input");
  EXPECT_EQ(none.out, empty.out);
}

TEST_P(Hostile, EndOfInputAtEveryAnswer) {
  const std::vector<std::string> lines = lines_of(GetParam().input);
  const dialogue::Outcome whole = run(GetParam().input);
  expect_normal_end(whole, "the whole dialogue");
  std::string input;
  size_t previous = 0;
  for (size_t k = 0; k < lines.size(); ++k) {  // input cut after k answers
    const dialogue::Outcome cut = run(input);
    const std::string what = "input cut after " + std::to_string(k) + " answers";
    expect_normal_end(cut, what);
    EXPECT_EQ(whole.out.compare(0, cut.out.size(), cut.out), 0) << what << ": not a beginning of the whole dialogue";
    EXPECT_LT(cut.out.size(), whole.out.size()) << what;
    EXPECT_GT(cut.out.size(), previous) << what << ": the answer before moved nothing";
    EXPECT_TRUE(cut.out.ends_with(": ")) << what << ": not waiting at a prompt";
    previous = cut.out.size();
    input += lines[k];
  }
}

TEST_P(Hostile, LostOutputIsReportedOnce) {
  dialogue::Options full;
  full.stdout_path = "/dev/full";
  expect_output_lost(run(GetParam().input, full));

  dialogue::Options closed;
  closed.stdout_closed = true;
  expect_output_lost(run(GetParam().input, closed));
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, Hostile, testing::ValuesIn(kPrograms),
                         [](const testing::TestParamInfo<Program>& info) { return info.param.name; });

}  // namespace
