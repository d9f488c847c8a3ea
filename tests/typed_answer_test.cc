// What a typed answer stores, and the line on standard error that says so when it is
// not what was typed: one table over the data answers of the programs. Each answer runs
// beside a plain one that stores the same: both must show and store alike, and only the
// typed one may say something, at once, in the clerk's words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/harness.h"
#include "tests/fleet.h"

namespace {

using dialogue::repeat;

// Where an answer goes.
enum class Slot { kWeek, kPlate, kMileage, kCosts, kBase, kNext, kOdd, kSentence, kWord, kRegistration };

struct Dialogue {
  const char* program;
  std::string input;
};

// A whole dialogue around the answer: autolog adds one article with it (Monday for the
// day's answers), the other programs take it where it belongs.
Dialogue around(Slot slot, const std::string& answer) {
  const auto article = [](const std::string& week, const std::string& plate, const std::string& mileage,
                          const std::string& costs) {
    std::string input = "o\n2\n" + week + "\n" + plate + "\n" + mileage + "\n" + costs + "\n";
    for (int day = 2; day <= 7; ++day) input += "1\n1\n";
    return Dialogue{"autolog", input + "n\n"};
  };
  switch (slot) {
    case Slot::kWeek:
      return article(answer, "AB123CD", "100", "10");
    case Slot::kPlate:
      return article("12", answer, "100", "10");
    case Slot::kMileage:
      return article("12", "AB123CD", answer, "10");
    case Slot::kCosts:
      return article("12", "AB123CD", "100", answer);
    case Slot::kBase:
      return {"factor", answer + "\n11\n"};
    case Slot::kNext:
      return {"factor", "5\n" + answer + "\n"};
    case Slot::kOdd:
      return {"impair", answer + "\n1\n"};
    case Slot::kSentence:
      return {"mirror1", answer + "\n"};
    case Slot::kWord:
      return {"sieve", answer + "\n"};
    case Slot::kRegistration:
      return {"civil", answer + "\n"};
  }
  return {};
}

struct Seen {
  dialogue::Outcome run;
  std::vector<std::string> records;  // of the article file, for autolog
};

Seen run(const Dialogue& d) {
  dialogue::TempDir folder;
  const std::string path = folder.file("articles");
  Seen seen{dialogue::run(d.program, d.input, {.env = {"fichier=" + path, "LC_ALL=C.UTF-8", "FLEET_CHARSET"}})};
  seen.records = fleet_test::records_in(path);
  return seen;
}

// A long text as the line shows it: its first 40 and last 36 characters.
std::string shown(const std::string& text) { return text.substr(0, 40) + "..." + text.substr(text.size() - 36); }

TEST(TypedAnswers, WhatIsStoredAndWhatIsSaid) {
  const std::string sentence = repeat(250, 'x') + "abcdefghij";
  const std::string huge(5000, '1');
  const struct Row {
    Slot slot;
    std::string typed;
    std::string plain;  // an answer that stores the same
    std::string said;   // after "program : ", empty when nothing is lost
  } rows[] = {
      {Slot::kWeek, "7", "07", ""},
      {Slot::kWeek, " +007 ", "07", ""},  // leading zeros lose nothing
      {Slot::kWeek, "", "0", ""},         // nothing typed: zero, as meant
      {Slot::kWeek, "123", "23", "« 123 » tapé, 23 retenu (2 chiffres au plus)"},
      {Slot::kWeek, "7,9", "7", "« 7,9 » tapé, 7 retenu (pas de décimales)"},
      {Slot::kWeek, "sept", "0", "« sept » tapé, 0 retenu (pas un nombre)"},
      {Slot::kPlate, "AB-123-CD", "AB-123-C", "« AB-123-CD » tapé, « AB-123-C » retenu (8 caractères au plus)"},
      {Slot::kPlate, "AB123CD   ", "AB123CD", ""},  // spaces cut lose nothing
      {Slot::kPlate, "\xC9T\xC9-42-ABC", "\xC9T\xC9-42-A",
       "« ÉTÉ-42-ABC » tapé, « ÉTÉ-42-A » retenu (8 caractères au plus)"},
      {Slot::kPlate, "\x1B[2J\x1B[H!?", "\x1B[2J\x1B[H!",
       "« ^[[2J^[[H!? » tapé, « ^[[2J^[[H! » retenu (8 caractères au plus)"},
      {Slot::kMileage, "12345", "2345", "« 12345 » tapé, 2345 retenu (4 chiffres au plus)"},
      {Slot::kMileage, "1.000", "1", "« 1.000 » tapé, 1 retenu (pas de décimales)"},  // a thousand?
      {Slot::kMileage, "1 000", "0", "« 1 000 » tapé, 0 retenu (pas un nombre)"},
      {Slot::kCosts, "12,50", "12.50", ""},
      {Slot::kCosts, "12,5", "12.5", ""},
      {Slot::kCosts, ",5", "0.5", ""},
      {Slot::kCosts, "12,505", "12.50", "« 12,505 » tapé, 12,50 retenu (2 décimales au plus)"},
      {Slot::kCosts, "12345,67", "2345.67", "« 12345,67 » tapé, 2345,67 retenu (4 chiffres au plus avant la virgule)"},
      {Slot::kCosts, "12345,678", "2345.67",
       "« 12345,678 » tapé, 2345,67 retenu (4 chiffres au plus avant la virgule, 2 décimales au plus)"},
      {Slot::kCosts, "1.234,50", "0", "« 1.234,50 » tapé, 0,00 retenu (pas un nombre)"},
      {Slot::kCosts, "-5", "0", "« -5 » tapé, 0,00 retenu (pas un nombre)"},
      {Slot::kBase, "123", "23", "« 123 » tapé, 23 retenu (2 chiffres au plus)"},
      {Slot::kNext, "3,9", "3", "« 3,9 » tapé, 3 retenu (pas de décimales)"},
      {Slot::kOdd, "107", "7", "« 107 » tapé, 7 retenu (2 chiffres au plus)"},
      {Slot::kSentence, sentence, sentence.substr(0, 255),
       "« " + shown(sentence) + " » tapé, « " + shown(sentence.substr(0, 255)) + " » retenu (255 caractères au plus)"},
      {Slot::kWord, repeat(30, 'B') + "Z", repeat(30, 'B'),
       "« " + repeat(30, 'B') + "Z » tapé, « " + repeat(30, 'B') + " » retenu (30 caractères au plus)"},
      {Slot::kRegistration, "299122A00512345EXTRA", "299122A00512345",
       "« 299122A00512345EXTRA » tapé, « 299122A00512345 » retenu (15 caractères au plus)"},
      {Slot::kRegistration, huge, huge.substr(0, 15),
       "« " + shown(huge.substr(0, 4096)) + " » tapé, « " + huge.substr(0, 15) +
           " » retenu (15 caractères au plus, ligne coupée après 4096 octets)"},
  };
  for (const Row& row : rows) {
    const Dialogue typed = around(row.slot, row.typed);
    const Seen with_typed = run(typed);
    const Seen with_plain = run(around(row.slot, row.plain));
    const std::string what = std::string(typed.program) + " given \"" + row.typed.substr(0, 40) + "\"";
    EXPECT_EQ(with_typed.run.out, with_plain.run.out) << what;
    EXPECT_EQ(with_typed.records, with_plain.records) << what;
    EXPECT_EQ(with_typed.run.err, row.said.empty() ? "" : typed.program + (" : " + row.said + "\n")) << what;
    EXPECT_EQ(with_plain.run.err, "") << what;
    EXPECT_EQ(with_typed.run.status, 0) << what;  // said, not failed
  }
}

}  // namespace
