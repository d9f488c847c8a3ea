// fleet, the command, run whole on both storages: each command's output, alone and over
// a period of two files, the round trip through CSV and JSON byte for byte, refused
// rows by line number (elements by index), damage found by check, the backup, usage
// errors, and the HTML page rendered by Chromium.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "charset/charset.h"
#include "fleet/record.h"
#include "storage/open.h"
#include "testing/harness.h"
#include "testing/process.h"
#include "testing/test_folder.h"
#include "testing/test_postgres.h"

namespace {

using dialogue::Outcome;

const std::string kHeading =
    "immatriculation,semaine,lundi_km,lundi_frais,mardi_km,mardi_frais,mercredi_km,mercredi_frais,jeudi_km,"
    "jeudi_frais,vendredi_km,vendredi_frais,samedi_km,samedi_frais,dimanche_km,dimanche_frais\r\n";

// A CSV row: the plate field as written, the week, and every day the same figures.
std::string row(const std::string& plate, int week, int km, const std::string& costs) {
  std::string line = plate + "," + std::to_string(week);
  for (int day = 0; day < 7; ++day) line += "," + std::to_string(km) + "," + costs;
  return line + "\r\n";
}

std::string quoted(const std::string& arg) {
  std::string out = "'";
  for (const char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Where a test's article file lives, and fleet run on it.
class FleetCommand : public ::testing::TestWithParam<const char*> {
 protected:
  bool on_sqlite() const { return std::string(GetParam()) == "sqlite"; }

  // The name of an article file of the test's own (n tells several apart). A local name
  // holds a Latin-1 byte, which messages and the page must still show as UTF-8.
  std::string file(int n = 0) {
    if (on_sqlite()) return folder_.file("articles\xE9" + std::to_string(n));
    while (schemas_.size() <= static_cast<size_t>(n)) schemas_.push_back(std::make_unique<testkit::TestSchema>());
    return schemas_[n]->uri();
  }
  // The same name as messages show it: no password, the Latin-1 byte as UTF-8.
  std::string shown_file(int n = 0) {
    std::string shown = storage::shown_name(file(n));
    if (const size_t at = shown.find('\xE9'); at != std::string::npos) shown.replace(at, 1, "\xC3\xA9");
    return shown;
  }

  // fleet with these arguments on file(n), input on its standard input. The kit runs
  // a program without arguments, so the shell hands them over.
  // options: where standard output goes, a memory limit.
  Outcome fleet(std::vector<std::string> args, const std::string& input = "", int n = 0,
                const std::vector<std::string>& env = {"LC_ALL=C.UTF-8"}, dialogue::Options options = {}) {
    const std::string input_path = folder_.file("input" + std::to_string(++runs_));
    std::ofstream(input_path, std::ios::binary) << input;
    std::string script = "exec " + quoted(dialogue::program_path("fleet")) + " -f " + quoted(file(n));
    for (const std::string& arg : args) script += " " + quoted(arg);
    options.env = {"fichier", "FLEET_CHARSET"};
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.directory = folder_.path();
    return dialogue::run("/bin/sh", script + " < " + quoted(input_path) + "\n", options);
  }

  // The records of file(n), read through the storage, in plate order.
  std::vector<std::string> records(int n = 0) {
    const std::string name = file(n);
    storage::Opened opened =
        storage::open_storage({name, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInput, "fleet_test"});
    std::vector<std::string> found;
    if (opened.result.ok()) {
      opened.storage->scan([&](std::string_view record) {
        found.emplace_back(record);
        return true;
      });
    }
    return found;
  }

  dialogue::TempDir folder_;
  std::vector<std::unique_ptr<testkit::TestSchema>> schemas_;
  int runs_ = 0;
};

// Three articles: a plain plate, one with a comma, quotes and accents, and one with
// ESC bytes that must never reach a terminal raw.
const std::string kThree = kHeading + row("AB123CD", 7, 250, "35.40") + row("\"\xC3\x89,\"\"x\"\"\"", 12, 0, "1.00") +
                           row("\"\x1B[2J\"", 12, 100, "2.50");

TEST_P(FleetCommand, EachCommandOnAFewArticles) {
  ASSERT_EQ(fleet({"import"}, kThree).status, 0) << fleet({"import"}, kThree).err;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"list"},
       0,
       "Immatriculation  Semaine  Kilom\xC3\xA8tres      Frais  Co\xC3\xBBt/km\n"
       "^[[2J                 12         700      17.50    0.025\n"
       "AB123CD               07        1750     247.80    0.142\n"
       "\xC3\x89,\"x\"                 12           0       7.00        -\n",
       ""},
      {{"show", "AB123CD"},
       0,
       "Immatriculation : AB123CD\nSemaine         : 07\n\nJour        Kilom\xC3\xA8tres      Frais\n"
       "LUNDI              250      35.40\nMARDI              250      35.40\nMERCREDI           250      35.40\n"
       "JEUDI              250      35.40\nVENDREDI           250      35.40\nSAMEDI             250      35.40\n"
       "DIMANCHE           250      35.40\nTotal             1750     247.80\n\nCo\xC3\xBBt par kilom\xC3\xA8tre : "
       "0.142\n",
       ""},
      {{"show", "\xC3\x89,\"x\""}, 0, "", ""},
      {{"show", "ZZ"}, 1, "", "fleet : aucun article pour l'immatriculation \xC2\xAB ZZ \xC2\xBB\n"},
      {{"show", "NINECHARS"}, 2, "", "fleet : l'immatriculation a plus de 8 caract\xC3\xA8res\n"},
      {{"stats"},
       0,
       "Articles                : 3\nKilom\xC3\xA8tres              : 2450\nFrais                   : 272.30\n"
       "Prix de revient         : 0.111 par kilom\xC3\xA8tre\nSemaine la plus roul\xC3\xA9\x65  : 7 (1750 km)\n"
       "Kilom\xC3\xA8tres par jour :\n  LUNDI           350\n  MARDI           350\n  MERCREDI        350\n"
       "  JEUDI           350\n  VENDREDI        350\n  SAMEDI          350\n  DIMANCHE        350\n"
       "Co\xC3\xBBt par kilom\xC3\xA8tre le plus \xC3\xA9lev\xC3\xA9 :\n  1. AB123CD       0.142\n"
       "  2. ^[[2J         0.025\n",
       ""},
      {{"export", "--separator", ";"},
       0,
       "immatriculation;semaine;lundi_km;lundi_frais;mardi_km;mardi_frais;mercredi_km;mercredi_frais;jeudi_km;"
       "jeudi_frais;vendredi_km;vendredi_frais;samedi_km;samedi_frais;dimanche_km;dimanche_frais\r\n"
       "\"\x1B[2J\";12;100;2,50;100;2,50;100;2,50;100;2,50;100;2,50;100;2,50;100;2,50\r\n"
       "AB123CD;7;250;35,40;250;35,40;250;35,40;250;35,40;250;35,40;250;35,40;250;35,40\r\n"
       "\"\xC3\x89,\"\"x\"\"\";12;0;1,00;0;1,00;0;1,00;0;1,00;0;1,00;0;1,00;0;1,00\r\n",
       ""},
      {{"check"}, 0, "Fichier d'articles sain : 3 articles, forme 88 0+8 8+2d 18+10d\n", ""},
  };
  for (const auto& c : cases) {
    const Outcome run = fleet(c.args);
    const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(run.status, c.status) << what << ": " << run.err;
    if (c.args[0] != "show" || c.status != 0 || c.args[1] == "AB123CD") {
      EXPECT_EQ(run.out, c.out) << what;
    }
    EXPECT_EQ(run.err, c.err) << what;
  }
  // JSON: the same fields, strings escaped as JSON requires.
  const Outcome json = fleet({"export", "--format", "json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.out.find("{\"immatriculation\":\"\\u001b[2J\",\"semaine\":12,\"lundi_km\":100,\"lundi_frais\":2.5,"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"immatriculation\":\"\xC3\x89,\\\"x\\\"\""), std::string::npos) << json.out;
  // In a locale that is not UTF-8, people's text is Latin-1, and so is a typed plate.
  const Outcome latin1 = fleet({"show", "\xC9,\"x\""}, "", 0, {"LC_ALL=C"});
  EXPECT_EQ(latin1.status, 0) << latin1.err;
  EXPECT_EQ(latin1.out.substr(0, 24), "Immatriculation : \xC9,\"x\"\n");
}

TEST_P(FleetCommand, ExportThenImportGivesTheSameRecordsByteForByte) {
  // Records as autolog writes them, with every byte value somewhere in a plate.
  std::vector<const char*> pointers;
  std::vector<std::string> written;
  for (unsigned i = 0; i < 300; ++i) {
    fleet::Article article;
    for (unsigned k = 0; k < 5; ++k) article.plate += static_cast<char>((i * 5 + k) % 256);
    article.plate += static_cast<char>('a' + i / 100);
    article.plate += std::to_string(100 + i % 100).substr(1);
    if (i % 7 == 0) article.plate = "S" + std::to_string(i) + "    ";  // a short plate
    article.week = i % 100;
    for (unsigned d = 0; d < 7; ++d) article.days[d] = {(i * 37 + d) % 10000, (i * 9973 + d * 131) % 1000000};
    written.push_back(fleet::encode(article));
  }
  for (const std::string& record : written) pointers.push_back(record.data());
  {
    const std::string name = file(0);
    storage::Opened opened = storage::open_storage(
        {name, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInputOutput, "fleet_test"});
    ASSERT_TRUE(opened.result.ok()) << opened.result.reason;
    std::vector<storage::FileStatus> statuses;
    ASSERT_TRUE(opened.storage->insert_batch(pointers, &statuses).ok());
  }
  const std::vector<std::string> original = records(0);
  ASSERT_EQ(original.size(), written.size());
  const std::vector<std::string> formats[] = {{"--separator", ","}, {"--separator", ";"}, {"--format", "json"}};
  for (int n = 1; n <= 3; ++n) {
    std::vector<std::string> args = formats[n - 1];
    args.insert(args.begin(), "export");
    const Outcome exported = fleet(args);
    ASSERT_EQ(exported.status, 0) << exported.err;
    const Outcome imported = fleet({"import"}, exported.out, n);
    EXPECT_EQ(imported.status, 0) << imported.err;
    EXPECT_TRUE(records(n) == original) << args[2];
    EXPECT_EQ(fleet(args, "", n).out, exported.out);
  }
}

// The workbook read back from its XML: plates as text whatever they look like, numbers
// as numbers in their formats, the heading row frozen, a sheet a file of the period;
// and the CSV for French spreadsheets with decimal commas.
TEST_P(FleetCommand, TheWorkbookHoldsTextPlatesAndNumbersASheetAFile) {
  if (!std::filesystem::exists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
  const std::string rows = kHeading + row("00123", 7, 1234, "12.50") + row("=1+1", 8, 5, "0.5");
  ASSERT_EQ(fleet({"import"}, rows).status, 0);
  ASSERT_EQ(fleet({"import"}, kHeading + row("B2", 9, 1, "1"), 1).status, 0);
  EXPECT_NE(fleet({"export", "--separator", ";"}).out.find("00123;7;1234;12,50;1234;12,50;"), std::string::npos);
  const Outcome made = fleet({"-f", file(1), "export", "--format", "xlsx"});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string book = folder_.file("book.xlsx");
  testkit::put_bytes(book, made.out);
  auto part = [&](const std::string& name) {
    return dialogue::run("/bin/sh", "exec unzip -p " + quoted(book) + " " + name + "\n").out;
  };
  const std::string sheet = part("xl/worksheets/sheet1.xml");
  const std::string styles = part("xl/styles.xml");
  // The number format of a cell's style: the s-th <xf> of cellXfs, its numFmtId's code.
  auto format_of = [&](const std::string& cell) {
    const size_t at = sheet.find("<c r=\"" + cell + "\"");
    if (at == std::string::npos) return std::string("(no cell ") + cell + ")";
    const size_t s = sheet.find("s=\"", at) + 3;
    size_t xf = styles.find("<cellXfs");
    for (int n = std::stoi(sheet.substr(s)); n >= 0; --n) xf = styles.find("<xf ", xf + 1);
    const std::string id = styles.substr(xf, styles.find('>', xf) - xf);
    const size_t num = id.find("numFmtId=\"") + 10;
    const std::string key = "numFmtId=\"" + id.substr(num, id.find('"', num) - num) + "\" formatCode=\"";
    const size_t code = styles.find(key);
    return code == std::string::npos
               ? id
               : styles.substr(code + key.size(), styles.find('"', code + key.size()) - code - key.size());
  };
  for (const char* text :
       {"<c r=\"A2\" s=\"2\" t=\"inlineStr\"><is><t>00123</t>", "<c r=\"A3\" s=\"2\" t=\"inlineStr\"><is><t>=1+1</t>",
        "<c r=\"B2\" s=\"3\"><v>7</v>", "<c r=\"C2\" s=\"3\"><v>1234</v>", "<c r=\"D2\" s=\"4\"><v>12.5</v>",
        "<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"}) {
    EXPECT_NE(sheet.find(text), std::string::npos) << text << " in " << sheet;
  }
  EXPECT_EQ(sheet.find("<f>"), std::string::npos) << "no formula";
  EXPECT_EQ(format_of("A2"), "@");
  EXPECT_EQ(format_of("C2"), "#,##0");
  EXPECT_EQ(format_of("D2"), "#,##0.00 &quot;\xE2\x82\xAC&quot;");
  EXPECT_NE(part("xl/worksheets/sheet2.xml").find("<t>B2</t>"), std::string::npos);
  const std::string workbook = part("xl/workbook.xml");
  EXPECT_NE(workbook.find("<sheet name=\"" + std::string(on_sqlite() ? "articles\xC3\xA9"
                                                                       "1"
                                                                     : "")),
            std::string::npos)
      << workbook;
  if (!on_sqlite()) return;
  // Sheet names from file names: at most 31 characters, none of []:*?/\, each unique.
  const std::string longer = folder_.file("s06 [nord]: *flotte?* de la r\xC3\xA9gion Est, ");
  ASSERT_EQ(fleet({"backup", longer + "A"}, "", 1).status, 0);
  ASSERT_EQ(fleet({"backup", longer + "B"}, "", 1).status, 0);
  testkit::put_bytes(book, fleet({"-f", longer + "A", "-f", longer + "B", "export", "--format", "xlsx"}).out);
  EXPECT_NE(part("xl/workbook.xml")
                .find("<sheet name=\"s06 _nord__ _flotte__ de la r\xC3\xA9g\" sheetId=\"2\" r:id=\"rId2\"/>"
                      "<sheet name=\"s06 _nord__ _flotte__ de la (2)\""),
            std::string::npos)
      << part("xl/workbook.xml");
}

TEST_P(FleetCommand, JsonElementsAreRefusedByIndexTheOthersStored) {
  // An element with every member but those named, which are given as written.
  auto element = [](const std::string& members) {
    std::string object = "{" + members;
    for (int c = 1; c < 16; ++c) {
      const char* name[] = {"",          "semaine",      "lundi_km",    "lundi_frais",
                            "mardi_km",  "mardi_frais",  "mercredi_km", "mercredi_frais",
                            "jeudi_km",  "jeudi_frais",  "vendredi_km", "vendredi_frais",
                            "samedi_km", "samedi_frais", "dimanche_km", "dimanche_frais"};
      if (members.find("\"" + std::string(name[c]) + "\"") == std::string::npos) {
        object += std::string(",\"") + name[c] + "\":" + (c == 1 ? "7" : "1");
      }
    }
    return object + "}";
  };
  const std::string input = "\xEF\xBB\xBF \n[" + element("\"immatriculation\":\"J1\",\"lundi_frais\":35.4") +  // 0
                            "," + element("\"immatriculation\":\"J1\"") +                              // 1: taken
                            ",\n" + element("\"immatriculation\":\"J2\",\"lundi_frais\":1.005") +      // 2
                            "," + element("\"immatriculation\":\"J3\",\"semaine\":\"7\"") +            // 3
                            "," + element("\"immatriculation\":\"J4\",\"x\":[1]") +                    // 4
                            "," + element("\"immatriculation\":\"J5\",\"fichier\":\"s06\"") +          // 5
                            "," + element("\"immatriculation\":\"J6\",\"semaine\":7,\"semaine\":8") +  // 6
                            "," + element("\"immatriculation\":\"\\u20ac\"") +                         // 7
                            ",{\"immatriculation\":\"J8\"}," + element("\"immatriculation\":\"J9\"") + ",{]";
  const Outcome run = fleet({"import"}, input);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "fleet : objet [1] : \xC2\xAB J1 \xC2\xBB : immatriculation d\xC3\xA9j\xC3\xA0 "
            "enregistr\xC3\xA9\x65 (statut 22), article non enregistr\xC3\xA9\n"
            "fleet : objet [2] refus\xC3\xA9 : lundi_frais \xC2\xAB 1.005 \xC2\xBB : pas un "
            "montant de 0.00 \xC3\xA0 9999.99\n"
            "fleet : objet [3] refus\xC3\xA9 : semaine : un nombre est attendu\n"
            "fleet : objet [4] refus\xC3\xA9 : membre \xC2\xAB x \xC2\xBB : valeur compos\xC3\xA9\x65\n"
            "fleet : objet [6] refus\xC3\xA9 : membre \xC2\xAB semaine \xC2\xBB en double\n"
            "fleet : objet [7] refus\xC3\xA9 : l'immatriculation \xC2\xAB \xE2\x82\xAC \xC2\xBB "
            "contient un caract\xC3\xA8re hors Latin-1\n"
            "fleet : objet [8] refus\xC3\xA9 : il manque le membre \xC2\xAB semaine \xC2\xBB\n"
            "fleet : lecture interrompue \xC3\xA0 l'objet [10] : JSON mal form\xC3\xA9 \xC3\xA0 "
            "la ligne 3\n"
            "fleet : 3 articles enregistr\xC3\xA9s, 7 objets refus\xC3\xA9s\n");
  std::vector<std::string> plates;
  for (const std::string& record : records()) plates.push_back(record.substr(0, 8) + record.substr(22, 6));
  EXPECT_EQ(plates, (std::vector<std::string>{"J1      003540", "J5      000100", "J9      000100"}));
  // An element of over a megabyte is no article: reading stops there, held no further.
  const Outcome huge = fleet({"import"}, "[{\"immatriculation\":\"" + std::string(3 << 20, 'a') + "\"}]", 1);
  EXPECT_EQ(huge.err,
            "fleet : lecture interrompue \xC3\xA0 l'objet [0] : plus de 1 Mo sans la fin de "
            "l'objet\n"
            "fleet : 0 article enregistr\xC3\xA9, 0 objet refus\xC3\xA9\n");
}

TEST_P(FleetCommand, APeriodOfTwoFilesSaysWhereEachArticleIs) {
  ASSERT_EQ(fleet({"import"}, kThree).status, 0);
  ASSERT_EQ(fleet({"import"}, kHeading + row("AB123CD", 8, 100, "1.00") + row("NEW1", 8, 10, "0.50"), 1).status, 0);
  const std::string one = shown_file(0);
  const std::string two = shown_file(1);
  auto both = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-f", file(1)});
    return fleet(args);
  };
  // Each line of the output that holds all of these, in this order.
  auto holds = [](const std::string& out, const std::vector<std::vector<std::string>>& lines) {
    size_t at = 0;
    for (const auto& parts : lines) {
      for (const std::string& part : parts) {
        at = out.find(part, at);
        if (at == std::string::npos) return "no " + part;
        at += part.size();
      }
    }
    return std::string("held");
  };
  const Outcome list = both({"list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(holds(list.out, {{"Immatriculation", "Fichier", "Semaine"},
                             {"^[[2J", one, "12"},
                             {"AB123CD", one, "07", "1750"},
                             {"AB123CD", two, "08", "700"},
                             {"NEW1", two, "08"},
                             {"\xC3\x89,\"x\"", one}}),
            "held")
      << list.out;
  const Outcome show = both({"show", "AB123CD"});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(holds(show.out, {{"Fichier         : " + one + "\nSemaine         : 07\n"},
                             {"Total             1750     247.80\n"},
                             {"Fichier         : " + two + "\nSemaine         : 08\n"},
                             {"P\xC3\xA9riode         : 2 fichiers, 2 articles\nKilom\xC3\xA8tres      : 2450\n"}}),
            "held")
      << show.out;
  EXPECT_NE(both({"show", "NEW1"}).out.find(one + "\nAucun article\n"), std::string::npos);
  const Outcome stats = both({"stats"});
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_EQ(holds(stats.out, {{"Fichiers                : 2\nArticles                : 5\n"},
                              {"Semaine la plus roul\xC3\xA9\x65  : 7 (1750 km)"},
                              {one, "3", "2450", "272.30", "0.111"},
                              {two, "2", "770", "10.50", "0.014"},
                              {"sur la p\xC3\xA9riode :\n  1. AB123CD        2450\n  2. ^[[2J"}}),
            "held")
      << stats.out;
  const Outcome check = both({"check"});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(holds(check.out, {{"\xC2\xAB " + one + " \xC2\xBB sain : 3 articles"}, {two, "sain : 2 articles"}}),
            "held");

  // The export says the file of each row; import passes over it, and keeps the first
  // article of each plate.
  const Outcome exported = both({"export"});
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.out.substr(0, 8 + kHeading.size()), "fichier," + kHeading);
  EXPECT_NE(exported.out.find("\r\n" + one + ",AB123CD,7,"), std::string::npos) << exported.out;
  EXPECT_NE(exported.out.find("\r\n" + two + ",AB123CD,8,"), std::string::npos) << exported.out;
  const Outcome imported = fleet({"import"}, exported.out, 2);
  EXPECT_EQ(imported.status, 1);
  EXPECT_NE(imported.err.find("ligne 5 : \xC2\xAB AB123CD \xC2\xBB : immatriculation d\xC3\xA9j\xC3\xA0"),
            std::string::npos)
      << imported.err;
  std::vector<std::string> expected = records(0);
  expected.insert(expected.begin() + 2, records(1).back());
  EXPECT_TRUE(records(2) == expected);
  EXPECT_NE(
      both({"export", "--format", "json"}).out.find("{\"fichier\":\"" + two + "\",\"immatriculation\":\"AB123CD\""),
      std::string::npos);

  const Outcome plates = both({"export", "--plate", "NEW1", "--plate", "ZZ", "--plate", "AB123CD"});
  EXPECT_EQ(plates.status, 1);
  EXPECT_EQ(plates.err, "fleet : aucun article pour l'immatriculation \xC2\xAB ZZ \xC2\xBB\n");
  EXPECT_EQ(
      holds(plates.out, {{"fichier,immatriculation"}, {one, ",AB123CD,7,"}, {two, ",AB123CD,8,"}, {two, ",NEW1,"}}),
      "held")
      << plates.out;
  EXPECT_EQ(std::count(plates.out.begin(), plates.out.end(), '\n'), 4);
  auto html = [](std::string name) {
    for (size_t at = 0; (at = name.find('&', at)) != std::string::npos; at += 5) name.replace(at, 1, "&amp;");
    return name;
  };
  const std::string page = folder_.file("period.html");
  ASSERT_EQ(both({"report", "--html", page}).status, 0);
  EXPECT_EQ(holds(testkit::bytes_of(page), {{"id=\"articles\">5<"}, {"id=\"fichiers\""}, {html(one)}, {html(two)}}),
            "held");
}

TEST_P(FleetCommand, InvalidRowsAreRefusedByLineTheOthersStored) {
  const std::string input = kHeading + row("AB123CD", 7, 1, "1.00") +                         // 2: stored
                            row("TOOLONG12", 7, 1, "1.00") +                                  // 3
                            row("AB123CD", 8, 1, "1.00") +                                    // 4: taken
                            "OK1,7,1,1.00\r\n" +                                              // 5
                            row("\"ab\"c", 7, 1, "1.00") +                                    // 6
                            row("X", 100, 1, "1.00") + row("X", 7, 10000, "1.00") +           // 7, 8
                            row("X", 7, 1, "10000.00") + row("X", 7, 1, "1.001") +            // 9, 10
                            row("\xE2\x82\xAC", 7, 1, "1.00") + row("\"a\nb\"", 1, 1, "1") +  // 11, 12 (2 lines)
                            row("OK2", 7, 1, "1.5") + row("X", -1, 1, "1.00");                // 14, 15
  const Outcome run = fleet({"import"}, input);
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = run.err.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(run.err.substr(at, run.err.find(' ', at + 14) - at));
  }
  std::vector<std::string> expected;
  for (int line : {3, 4, 5, 6, 7, 8, 9, 10, 11, 15}) expected.push_back("fleet : ligne " + std::to_string(line));
  expected.push_back("fleet : 3 articles");
  EXPECT_EQ(lines, expected) << run.err;
  EXPECT_NE(
      run.err.find(
          "ligne 4 : \xC2\xAB AB123CD \xC2\xBB : immatriculation d\xC3\xA9j\xC3\xA0 enregistr\xC3\xA9\x65 (statut 22)"),
      std::string::npos)
      << run.err;
  std::vector<std::string> plates;
  for (const std::string& record : records()) plates.push_back(record.substr(0, 8));
  EXPECT_EQ(plates, (std::vector<std::string>{"AB123CD ", "OK2     ", "a\nb     "}));
}

TEST_P(FleetCommand, ARefusedRowsBytesAreShownHarmlesslyInTheSetPeopleRead) {
  // CSI as a byte and as a UTF-8 character, a Latin-1 e-acute that is no UTF-8, ESC.
  const std::string input = kHeading + row("\x9B\xC2\x9B\xE9\x1B", 7, 1, "1.00");
  const struct {
    std::vector<std::string> env;
    std::string err;
  } cases[] = {
      {{"LC_ALL=C.UTF-8"},
       "fleet : ligne 2 refus\xC3\xA9"
       "e : l'immatriculation \xC2\xAB M-^[M-^[\xC3\xA9^[ \xC2\xBB contient un caract\xC3\xA8re hors Latin-1\n"
       "fleet : 0 article enregistr\xC3\xA9, 1 ligne refus\xC3\xA9\x65\n"},
      {{"LC_ALL=C"},
       "fleet : ligne 2 refus\xE9"
       "e : l'immatriculation \xAB M-^[M-^[\xE9^[ \xBB contient un caract\xE8re hors Latin-1\n"
       "fleet : 0 article enregistr\xE9, 1 ligne refus\xE9\x65\n"},
      {{"LC_ALL=C.UTF-8", "FLEET_CHARSET=latin1"},
       "fleet : ligne 2 refus\xE9"
       "e : l'immatriculation \xAB M-^[M-^[\xE9^[ \xBB contient un caract\xE8re hors Latin-1\n"
       "fleet : 0 article enregistr\xE9, 1 ligne refus\xE9\x65\n"},
  };
  for (const auto& c : cases) {
    const Outcome run = fleet({"import"}, input, 0, c.env);
    EXPECT_EQ(run.status, 1) << c.env.back();
    EXPECT_EQ(run.err, c.err) << c.env.back();
  }
}

// Blank lines are no rows; a row of any length is refused, once too long, without
// being held: under a limit of 400 MiB, 10 MB of separators are one line of refusal.
TEST_P(FleetCommand, BlankLinesAreSkippedAndRowsTooLongRefusedWithinBoundedMemory) {
  const std::string ten_mb(10 << 20, ',');
  const struct {
    const char* name;
    std::string input;
    std::string err;
  } cases[] = {
      {"blank lines", "\r\n" + kHeading + "\n" + row("A1", 1, 1, "1") + "\r\n\n" + row("A2", 1, 1, "1") + "\r\n",
       "fleet : 2 articles enregistr\xC3\xA9s, 0 ligne refus\xC3\xA9\x65\n"},
      {"10 MB of commas", kHeading + row("A1", 1, 1, "1") + ten_mb + "\r\n" + row("A2", 1, 1, "1"),
       "fleet : ligne 3 refus\xC3\xA9\x65 : plus de 4096 octets, aucune ligne valable n'est aussi longue\n"
       "fleet : 2 articles enregistr\xC3\xA9s, 1 ligne refus\xC3\xA9\x65\n"},
      {"10 MB quoted", kHeading + row("A1", 1, 1, "1") + row("A2", 1, 1, "1") + "\"" + ten_mb + "\r\n",
       "fleet : ligne 4 refus\xC3\xA9\x65 : plus de 4096 octets, aucune ligne valable n'est aussi longue\n"
       "fleet : 2 articles enregistr\xC3\xA9s, 1 ligne refus\xC3\xA9\x65\n"},
  };
  dialogue::Options limited;
#ifndef __SANITIZE_ADDRESS__  // its shadow memory alone takes more address space
  limited.memory_mib = 400;
#endif
  for (const auto& c : cases) {
    const int n = 1 + static_cast<int>(&c - cases);
    const Outcome run = fleet({"import"}, c.input, n, {"LC_ALL=C.UTF-8"}, limited);
    EXPECT_EQ(run.status, c.err.find(" 0 ligne") != std::string::npos ? 0 : 1) << c.name;
    EXPECT_EQ(run.err, c.err) << c.name;
    std::vector<std::string> plates;
    for (const std::string& record : records(n)) plates.push_back(record.substr(0, 8));
    EXPECT_EQ(plates, (std::vector<std::string>{"A1      ", "A2      "})) << c.name;
  }
  if (on_sqlite()) {
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
      EXPECT_FALSE(entry.path().string().ends_with("-wal")) << entry.path() << " left";
    }
  }
}

TEST_P(FleetCommand, CheckFindsWhatIsDamaged) {
  ASSERT_EQ(fleet({"import"}, kThree).status, 0);
  if (on_sqlite()) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "DROP INDEX records_key1", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  } else {
    schemas_[0]->sql("UPDATE articles SET key1 = '\\x3939' WHERE key0 = '\\x4142313233434420'");
  }
  const Outcome run = fleet({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("abîmé"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(on_sqlite() ? "records_key1" : "1 enregistrement"), std::string::npos) << run.err;
}

// SQLite's side files are no article files: named as one, a side file is said to be
// one, and no file is made under the name of one.
TEST_P(FleetCommand, ASideFileIsSaidToBeOneAndNoneIsMade) {
  if (!on_sqlite()) return;
  ASSERT_EQ(fleet({"import"}, kThree).status, 0);
  const std::string name = file();
  testkit::put_bytes(name + "-wal", "");
  testkit::put_bytes(folder_.file("three.csv"), kThree);
  const struct {
    std::string named;
    std::string shown;
    std::string command;
    std::string account;
  } cases[] = {
      {name + "-wal", shown_file() + "-wal", "check",
       "ce n'est pas un fichier d'articles (statut 39 : c'est un fichier annexe du fichier"},
      {name + "-journal", shown_file() + "-journal", "import " + quoted(folder_.file("three.csv")),
       "\xC3\xA9\x63hec (statut 30 : un fichier de ce nom serait pris pour un fichier annexe du fichier"},
  };
  for (const auto& c : cases) {
    const Outcome run = dialogue::run("/bin/sh", "exec " + quoted(dialogue::program_path("fleet")) + " -f " +
                                                     quoted(c.named) + " " + c.command + " </dev/null\n");
    EXPECT_EQ(run.status, 1) << c.named;
    EXPECT_EQ(run.err, "fleet : impossible d'ouvrir le fichier d'articles \xC2\xAB " + c.shown +
                           " \xC2\xBB : " + c.account + " \xC2\xAB " + shown_file() + " \xC2\xBB)\n");
  }
  EXPECT_FALSE(std::filesystem::exists(name + "-journal"));
}

TEST_P(FleetCommand, WrongUsageIs2WithAUsageLineAndNothingIsCreated) {
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{}, 2},
      {{"lister"}, 2},
      {{"show"}, 2},
      {{"list", "extra"}, 2},
      {{"export", "--format", "xml"}, 2},
      {{"export", "--separator", "|"}, 2},
      {{"report"}, 2},
      {{"backup"}, 2},
      {{"-f", "other", "import"}, 2},
      {{"--help"}, 0},
      {{"show", "--help"}, 0},
      {{"--version"}, 0},
      {{"list"}, 1},
      {{"stats"}, 1},
      {{"check"}, 1},
      {{"export"}, 1},  // no file yet
      {{"import"}, 1},  // no heading
  };
  for (const auto& c : cases) {
    const Outcome run = fleet(c.args);
    std::string what;
    for (const std::string& arg : c.args) what += arg + " ";
    EXPECT_EQ(run.status, c.status) << what << run.err;
    if (c.status == 2) {
      EXPECT_NE(run.err.find("\nusage : fleet "), std::string::npos) << what << run.err;
    }
    if (c.status == 1) {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << run.err;
    }
    if (c.status == 0) {
      EXPECT_EQ(run.err, "") << what;
    }
  }
  // Help and version that cannot be written are not done either.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"--version"}, {"import", "--help"}}) {
    for (const bool closed : {false, true}) {
      dialogue::Options output;
      output.stdout_closed = closed;
      output.stdout_path = "/dev/full";
      const Outcome run = fleet(args, "", 0, {"LC_ALL=C.UTF-8"}, output);
      EXPECT_EQ(run.status, 1) << args.front() << (closed ? " >&-" : " >/dev/full");
      EXPECT_EQ(run.err, "fleet : impossible d'\xC3\xA9\x63rire sur la sortie standard\n") << args.front();
    }
  }
  EXPECT_NE(fleet({"--help"}).out.find("Commandes :\n  list"), std::string::npos) << fleet({"--help"}).out;
  EXPECT_NE(fleet({"show", "--help"}).out.find("tres :\n  IMMATRICULATION"), std::string::npos);  // Paramètres
  EXPECT_EQ(fleet({"--version"}).out.substr(0, 6), "fleet ");
  EXPECT_TRUE(records().empty());
  if (on_sqlite()) {
    EXPECT_FALSE(std::filesystem::exists(file()));
  }
}

TEST_P(FleetCommand, BackupCopiesALocalFileWithItsWalWhileItIsWritten) {
  const std::string copy = folder_.file("copy");
  ASSERT_EQ(fleet({"import"}, kThree).status, 0);
  if (!on_sqlite()) {
    const Outcome run = fleet({"backup", copy});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("pg_dump"), std::string::npos) << run.err;
    return;
  }
  // A writer keeps the file open: what it adds stays in the WAL until it closes.
  const std::string name = file();
  storage::Opened writer =
      storage::open_storage({name, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInputOutput, "test"});
  ASSERT_TRUE(writer.result.ok());
  fleet::Article article{"WAL", 1, {}};
  article.plate.resize(8, ' ');
  ASSERT_TRUE(writer.storage->insert(fleet::encode(article).data()).ok());
  ASSERT_TRUE(std::filesystem::exists(name + "-wal"));

  const Outcome run = fleet({"backup", copy});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
    const std::string entry_name = entry.path().filename().string();
    EXPECT_TRUE(entry_name == "copy" || !entry_name.starts_with("copy")) << entry_name << " left beside the copy";
  }
  dialogue::Options options;
  options.env = {"fichier=" + copy};
  EXPECT_EQ(dialogue::run("autolog2", "", options).out, "00\n\x1B[2J    \nfin de traitement\n");
  const Outcome check =
      dialogue::run("/bin/sh", "exec " + quoted(dialogue::program_path("fleet")) + " -f " + quoted(copy) + " stats\n");
  EXPECT_NE(check.out.find("Articles                : 4\n"), std::string::npos) << check.out << check.err;
  const Outcome again = fleet({"backup", copy});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("existe d\xC3\xA9j\xC3\xA0"), std::string::npos) << again.err;
  writer.storage.reset();

  // Never where SQLite would read the copy through another file's side files, nor at
  // the name of the source's own side file, where the next writer would remove it.
  std::ofstream(folder_.file("gone-wal")) << "x";
  std::ofstream(folder_.file("gone-shm")) << "x";
  for (const std::string& refused : {folder_.file("gone"), name + "-wal", name + "-shm", name + "-journal"}) {
    const Outcome run = fleet({"backup", refused});
    EXPECT_EQ(run.status, 1) << refused;
    EXPECT_NE(run.err.find("statut 30"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(refused)) << refused;
  }

  // While another process adds articles one by one, a copy is one whole state of the
  // file: sound, and holding only articles of the original.
  const pid_t child = testkit::fork_child([&] {
    storage::Opened adder =
        storage::open_storage({name, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInputOutput, "child"});
    for (unsigned i = 0; adder.result.ok() && i < 3000; ++i) {
      fleet::Article added{"C" + std::to_string(10000 + i) + "  ", i % 100, {}};
      adder.storage->insert(fleet::encode(added).data());
    }
    return adder.result.ok() ? 0 : 1;
  });
  for (int wait = 0; records().size() < 50 && wait < 1000; ++wait) usleep(10000);
  const std::string during = folder_.file("during");
  const Outcome busy = fleet({"backup", during});
  EXPECT_EQ(testkit::status_of(child), 0);
  EXPECT_EQ(busy.status, 0) << busy.err;
  const Outcome checked = dialogue::run(
      "/bin/sh", "exec " + quoted(dialogue::program_path("fleet")) + " -f " + quoted(during) + " check\n");
  EXPECT_EQ(checked.status, 0) << checked.err;
  const std::vector<std::string> all = records();
  storage::Opened copied =
      storage::open_storage({during, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInput, "test"});
  ASSERT_TRUE(copied.result.ok());
  size_t seen = 0;
  copied.storage->scan([&](std::string_view record) {
    ++seen;
    EXPECT_TRUE(std::binary_search(all.begin(), all.end(), std::string(record)));
    return true;
  });
  EXPECT_GE(seen, 50u);  // at least the state that was seen before the copy began
  EXPECT_EQ(all.size(), 3004u);
}

// Corrections and the archive, one after the other on one file, each run's output
// fed to the next where it says so: deleting, replacing, undoing both with the rows
// they wrote, then moving the week into an archive.
TEST_P(FleetCommand, ChangesWriteTheRowsThatUndoThemAndTheArchiveMovesEveryArticle) {
  const std::string aa = row("AA", 7, 10, "1.00"), bb = row("BB", 7, 20, "2.00"), cc = row("\"C,C\"", 7, 30, "3.00");
  const std::string removal_dd = "DD,,,,,,,,,,,,,,,\r\n";
  const std::string archive = file(1);
  constexpr char kPrevious[] = "(the output of the step before)";
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string err;       // a part of it; empty: nothing
    std::string exported;  // the file's export afterwards
  } steps[] = {
      {{"import"}, kHeading + aa + bb + cc, 0, "", "", kHeading + aa + bb + cc},
      {{"delete", "BB", "ZZ", "AA"},
       "",
       1,
       kHeading + bb + aa,
       "fleet : \xC2\xAB ZZ \xC2\xBB : aucun article pour cette immatriculation (statut 23), rien n'est "
       "supprim\xC3\xA9\n",
       kHeading + cc},
      {{"import", "--replace"},
       kPrevious,
       0,
       kHeading + "BB,,,,,,,,,,,,,,,\r\nAA,,,,,,,,,,,,,,,\r\n",
       "",
       kHeading + aa + bb + cc},
      {{"import", "--replace"},
       kHeading + row("AA", 8, 1, "0.50") + row("DD", 9, 4, "4.00") + row("AA", 9, 2, "0.75"),
       0,
       kHeading + aa + removal_dd,
       "",
       kHeading + row("AA", 9, 2, "0.75") + bb + cc + row("DD", 9, 4, "4.00")},
      {{"import", "--replace"},
       kPrevious,
       0,
       kHeading + row("AA", 9, 2, "0.75") + row("DD", 9, 4, "4.00"),
       "",
       kHeading + aa + bb + cc},
      {{"import", "--replace"},
       kHeading + removal_dd,
       1,
       kHeading,
       "(statut 23), rien n'est supprim",
       kHeading + aa + bb + cc},
      {{"delete", "NINECHARS"}, "", 2, "", "plus de 8 caract", kHeading + aa + bb + cc},
      {{"archive", archive}, "", 0, "", " 3 articles d\xC3\xA9plac\xC3\xA9s de ", kHeading},
      {{"import"}, kHeading + row("AA", 8, 5, "5.00"), 0, "", "", kHeading + row("AA", 8, 5, "5.00")},
      {{"archive", archive}, "", 1, "", "archivage de ", kHeading + row("AA", 8, 5, "5.00")},
  };
  std::string previous;
  for (const auto& step : steps) {
    std::string what;
    for (const std::string& arg : step.args) what += arg + " ";
    const Outcome run = fleet(step.args, step.input == kPrevious ? previous : step.input);
    EXPECT_EQ(run.status, step.status) << what << run.err;
    EXPECT_EQ(run.out, step.out) << what;
    // An import ends with its count line, on top of what the step says.
    std::string said = run.err;
    if (step.args[0] == "import") {
      const size_t count = said.rfind("fleet : ", said.size() - 1);
      ASSERT_NE(count, std::string::npos) << what << said;
      EXPECT_NE(said.find(" enregistr", count), std::string::npos) << what << said;
      said.erase(count);
    }
    if (step.err.empty()) {
      EXPECT_EQ(said, "") << what;
    } else {
      EXPECT_NE(said.find(step.err), std::string::npos) << what << said;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << what << said;
    }
    EXPECT_EQ(fleet({"export"}).out, step.exported) << what;
    previous = run.out;
  }
  EXPECT_EQ(fleet({"export"}, "", 1).out, kHeading + aa + bb + cc);
  // Over both files: sound, and no article in both, until one is.
  const Outcome both = fleet({"-f", archive, "check"});
  EXPECT_EQ(both.status, 0) << both.err;
  ASSERT_EQ(fleet({"import"}, kHeading + bb).status, 0);
  const Outcome twice = fleet({"-f", archive, "check"});
  EXPECT_EQ(twice.status, 1);
  EXPECT_NE(twice.err.find("article \xC2\xAB BB \xC2\xBB de la semaine 7 \xC3\xA0 la fois dans "), std::string::npos)
      << twice.err;
}

// The archive with writers adding articles all the while, killed in the middle, then
// run again: every article ends in exactly one of the two files, those of the file
// when the archive began in the archive.
TEST_P(FleetCommand, AnArchiveKilledWhileArticlesComeIsFinishedByTheNextRunAndLosesNone) {
  constexpr int kWriters = 2;
  constexpr unsigned kBefore = 10000;
  int n = 0;
  for (const int delay_ms : {15, 60, 200}) {
    n += 2;
    const std::string name = file(n), archive = file(n + 1);
    std::vector<std::string> before;
    for (unsigned i = 0; i < kBefore; ++i) {
      fleet::Article article{"B" + std::to_string(1000000 + i), i % 53, {}};
      before.push_back(fleet::encode(article));
    }
    {
      storage::Opened made = storage::open_storage(
          {name, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInputOutput, "fleet_test"});
      ASSERT_TRUE(made.result.ok()) << made.result.reason;
      std::vector<const char*> pointers;
      for (const std::string& record : before) pointers.push_back(record.data());
      std::vector<storage::FileStatus> statuses;
      ASSERT_TRUE(made.storage->insert_batch(pointers, &statuses).ok());
    }
    // Each writer says each plate it stored in a file of its own, and stops when asked.
    const std::string stop = folder_.file("stop" + std::to_string(n));
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
      const std::string said = folder_.file("said" + std::to_string(n) + "-" + std::to_string(w));
      writers.push_back(testkit::fork_child([&, w] {
        storage::Opened mine = storage::open_storage(
            {name, "ARTICLES", fleet::layout::kShape, storage::StorageMode::kInputOutput, "writer"});
        std::ofstream out(said, std::ios::binary);
        for (unsigned i = 0; mine.result.ok() && !std::filesystem::exists(stop) && i < 100000; ++i) {
          const fleet::Article article{"W" + std::to_string(w) + std::to_string(100000 + i), 8, {}};
          if (mine.storage->insert(fleet::encode(article).data()).ok()) out << article.plate << std::flush;
          usleep(2000);  // a busy office, not a loop that leaves no gap between two commits
        }
        return mine.result.ok() ? 0 : 1;
      }));
    }
    const auto said_by = [&](int w) {
      return testkit::bytes_of(folder_.file("said" + std::to_string(n) + "-" + std::to_string(w)));
    };
    for (int wait = 0; wait < 1000 && (said_by(0).size() < 160 || said_by(kWriters - 1).size() < 160); ++wait) {
      usleep(10000);  // both at work
    }
    testkit::Process killed({dialogue::program_path("fleet"), {"-f", name, "archive", archive}});
    ASSERT_TRUE(killed.start());
    usleep(delay_ms * 1000);
    killed.kill(SIGKILL);
    const testkit::Ending first = killed.wait();
    const bool linked = on_sqlite() && std::filesystem::exists(archive);  // killed after the copy
    const Outcome again = fleet({"archive", archive}, "", n);
    std::ofstream(stop) << "stop";
    for (const pid_t writer : writers) EXPECT_EQ(testkit::status_of(writer), 0);
    // Killed after it had finished, the move is done, and the second run finds the
    // destination taken.
    const bool finished = first.status == 0 || again.err.find("existe déjà") != std::string::npos;
    EXPECT_TRUE(again.status == 0 || finished) << delay_ms << " ms: " << again.err;

    std::vector<std::string> written;
    for (int w = 0; w < kWriters; ++w) {
      const std::string said = said_by(w);
      for (size_t at = 0; at + 8 <= said.size(); at += 8) written.push_back(said.substr(at, 8));
    }
    const std::vector<std::string> here = records(n), there = records(n + 1);
    std::map<std::string, int> found;  // plate -> files holding it
    for (const auto* records : {&here, &there}) {
      for (const std::string& record : *records) ++found[record.substr(0, 8)];
    }
    for (const std::string& record : before) {
      EXPECT_TRUE(std::binary_search(there.begin(), there.end(), record)) << record.substr(0, 8) << " not archived";
      EXPECT_EQ(found[record.substr(0, 8)], 1) << record.substr(0, 8);
    }
    for (const std::string& plate : written) EXPECT_EQ(found[plate], 1) << plate;
    for (const auto& [plate, files] : found) EXPECT_EQ(files, 1) << plate << " in both";
    EXPECT_GT(written.size(), 0u);
    const Outcome checked = fleet({"-f", archive, "check"}, "", n);
    EXPECT_EQ(checked.status, 0) << delay_ms << " ms: " << checked.err;
    std::cerr << delay_ms << " ms: first run " << (first.signal != 0 ? "killed" : "ended")
              << (linked ? " with its copy linked" : "") << ", " << written.size() << " written, " << there.size()
              << " archived\n";
  }
}

// The value of the element with this id in an HTML page.
std::string element(const std::string& page, const std::string& id) {
  const size_t at = page.find("id=\"" + id + "\">");
  if (at == std::string::npos) return "(no " + id + ")";
  const size_t start = page.find('>', at) + 1;
  return page.substr(start, page.find('<', start) - start);
}

// The value after "label : " in fleet stats.
std::string figure(const std::string& stats, const std::string& label) {
  const size_t at = stats.find(label);
  if (at == std::string::npos) return "(no " + label + ")";
  const size_t start = stats.find(": ", at) + 2;
  return stats.substr(start, stats.find_first_of(" \n", start) - start);
}

// A figure of fleet stats as the page writes it: digits grouped by a narrow no-break
// space, a decimal comma, and the euro after such a space for money.
std::string french(const std::string& plain, bool money = false) {
  const size_t point = std::min(plain.find('.'), plain.size());
  std::string out;
  for (size_t i = 0; i < plain.size(); ++i) {
    if (i > 0 && i < point && (point - i) % 3 == 0) out += "\u202F";
    out += plain[i] == '.' ? ',' : plain[i];
  }
  return money ? out + "\u202F\u20AC" : out;
}

TEST_P(FleetCommand, TheReportRendersInChromiumWithTheFiguresOfStats) {
  ASSERT_EQ(fleet({"import"}, kThree).status, 0);
  const std::string page = folder_.file("report.html");
  const Outcome made = fleet({"report", "--html", page});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string bytes = testkit::bytes_of(page);
  EXPECT_EQ(bytes.find("\x1B"), std::string::npos) << "no raw control byte";
  EXPECT_EQ(bytes.find("src="), std::string::npos) << "nothing outside the page";
  EXPECT_NE(bytes.find("&quot;x&quot;"), std::string::npos) << "plates escaped";
  // UTF-8 throughout, the file's name too: Latin-1 characters but the narrow space and the euro.
  std::string latin1 = bytes;
  for (const std::string wide : {"\u202F", "\u20AC"}) {
    for (size_t at; (at = latin1.find(wide)) != std::string::npos;) latin1.erase(at, wide.size());
  }
  EXPECT_TRUE(charset::to_latin1(std::string(latin1), &latin1)) << "well-formed UTF-8";
  const std::string stats = fleet({"stats"}).out;
  auto same_figures = [&](const std::string& html, const char* where) {
    EXPECT_EQ(element(html, "articles"), french(figure(stats, "Articles"))) << where;
    EXPECT_EQ(element(html, "kilometres"), french(figure(stats, "Kilom"))) << where;
    EXPECT_EQ(element(html, "frais"), french(figure(stats, "Frais"), true)) << where;
    EXPECT_EQ(element(html, "prix-de-revient"), french(figure(stats, "Prix de revient"), true)) << where;
    EXPECT_EQ(element(html, "semaine"), figure(stats, "Semaine la plus") + " (1\u202F750\u202Fkm)") << where;
  };
  same_figures(bytes, "in the page");
  // For people: a phone's viewport, charts that scale, heads on every table, the date.
  for (const char* part : {"<meta name=\"viewport\"", "viewBox=\"0 0 ", "@page{size:A4", "\xC3\x89tabli le "}) {
    EXPECT_NE(bytes.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(bytes.find("<script"), std::string::npos);
  for (size_t at = bytes.find("<table"); at != std::string::npos; at = bytes.find("<table", at + 1)) {
    EXPECT_EQ(bytes.substr(bytes.find("<tr>", at), 8), "<tr><th>") << bytes.substr(at, 80);
  }
  for (size_t at = bytes.find("<svg"); at != std::string::npos; at = bytes.find("<svg", at + 1)) {
    const std::string chart = bytes.substr(at, bytes.find("</svg>", at) - at);
    EXPECT_NE(chart.find(">0</text>"), std::string::npos) << "a scale from 0: " << chart.substr(0, 200);
  }

  // The page is the same whatever storage gave its figures: one rendering is enough.
  if (!on_sqlite()) return;
  if (!std::filesystem::exists("/usr/bin/chromium"))
    GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  auto chromium = [&](const std::string& what, const std::string& url, const char* size = "1000,1400") {
    const std::string profile = folder_.file("chromium-" + std::to_string(++runs_));
    std::filesystem::create_directories(profile);
    dialogue::Options options;
    options.timeout_seconds = 120;
    return dialogue::run("/bin/sh",
                         "exec /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                         "--disable-background-networking --disable-component-update --disable-sync "
                         "--user-data-dir=" +
                             quoted(profile) + " --window-size=" + size + " " + what + " " + quoted(url) +
                             " 2>/dev/null\n",
                         options);
  };
  const Outcome dom = chromium("--dump-dom", "file://" + page);
  ASSERT_EQ(dom.status, 0);
  same_figures(dom.out, "as Chromium rendered it");
  // On a phone 390 px wide nothing scrolls sideways: the page in a frame of that width
  // (a window cannot be made so narrow), whose width a script around it reads.
  std::string framed;
  for (const char c : bytes) framed += c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
  testkit::put_bytes(folder_.file("phone.html"),
                     "<!DOCTYPE html><html><body><iframe width=\"390\" height=\"800\" srcdoc=\"" + framed +
                         "\" onload=\"document.body.dataset.largeur = "
                         "this.contentDocument.documentElement.scrollWidth\"></iframe></body></html>");
  const Outcome phone = chromium("--dump-dom", "file://" + folder_.file("phone.html"), "390,800");
  const size_t width = phone.out.find("data-largeur=\"");
  ASSERT_NE(width, std::string::npos) << phone.out.substr(0, 300);
  EXPECT_LE(std::stoi(phone.out.substr(width + 14)), 390);

  // Not blank: the page's screenshot holds far more than that of an empty page.
  const std::string shot = folder_.file("report.png");
  const std::string blank = folder_.file("blank.png");
  ASSERT_EQ(chromium("--screenshot=" + quoted(shot), "file://" + page).status, 0);
  testkit::put_bytes(folder_.file("blank.html"), "<!DOCTYPE html><html><body></body></html>");
  ASSERT_EQ(chromium("--screenshot=" + quoted(blank), "file://" + folder_.file("blank.html")).status, 0);
  const size_t shot_size = std::filesystem::file_size(shot);
  const size_t blank_size = std::filesystem::file_size(blank);
  EXPECT_GT(shot_size, 4 * blank_size) << shot_size << " bytes against " << blank_size << " for an empty page";
}

// The page is written aside and renamed into place: a link at its name is replaced,
// never followed; a full disk leaves the page that was there as it was; - is
// standard output.
TEST_P(FleetCommand, TheReportReplacesItsPageWholeOrNotAtAll) {
  if (!on_sqlite()) return;  // the writing is the same whatever storage gave the figures
  ASSERT_EQ(fleet({"import"}, kThree).status, 0);
  const std::string outside = folder_.file("outside");
  const std::string link = folder_.file("link.html");
  testkit::put_bytes(outside, "pas une page\n");
  std::filesystem::create_symlink(outside, link);
  const Outcome linked = fleet({"report", "--html", link});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(testkit::bytes_of(outside), "pas une page\n");
  const std::string page = testkit::bytes_of(link);
  EXPECT_EQ(page.substr(0, 15), "<!DOCTYPE html>");
  const Outcome out = fleet({"report", "--html", "-"});
  EXPECT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.out, page);

  // A file system of two pages, one taken by the page before: no room for the new one.
  const std::string small = folder_.file("small");
  std::filesystem::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8k") != 0) {
    GTEST_SKIP() << "no small file system to fill: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  const std::string before = small + "/page.html";
  testkit::put_bytes(before, "la page d'avant\n");
  const Outcome full = fleet({"report", "--html", before});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err.find("fleet : impossible d'\xC3\xA9\x63rire la page " + before + " : "), 0u) << full.err;
  EXPECT_EQ(std::count(full.err.begin(), full.err.end(), '\n'), 1) << full.err;
  EXPECT_EQ(testkit::bytes_of(before), "la page d'avant\n");
  EXPECT_EQ(testkit::others_in(small, "page.html"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(EachStorage, FleetCommand, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
