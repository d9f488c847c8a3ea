// fleet import: CSV rows (or JSON elements) in the export's format stored as autolog
// stores articles, in batches, each row refused alone with its line number (or the
// element's index in the array).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "operations/batch.h"
#include "operations/change.h"
#include "operations/context.h"
#include "operations/csv.h"
#include "operations/json_rows.h"

namespace fleet {
namespace {

using Clock = std::chrono::steady_clock;

// A field as messages quote it: harmless UTF-8, cut after 40 bytes (not inside a
// character) when it is longer.
std::string quoted(std::string_view field) {
  size_t cut = std::min<size_t>(field.size(), 40);
  for (size_t back = 0; back < 3 && cut < field.size() && (static_cast<unsigned char>(field[cut]) & 0xC0) == 0x80;
       ++back) {
    --cut;
  }
  return "« " + charset::harmless(field.substr(0, cut)) + (cut < field.size() ? "… »" : " »");
}

bool whole_number(std::string_view field, uint32_t most, uint32_t* value) {
  if (field.empty()) return false;
  uint64_t v = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > most) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

// An amount with at most two decimals, after a point (or a comma, in the CSV of
// French spreadsheets), in hundredths.
bool amount(std::string_view field, char separator, uint32_t* cents) {
  const size_t point = field.find_first_of(separator == ';' ? ".," : ".");
  uint32_t units = 0;
  uint32_t hundredths = 0;
  if (!whole_number(field.substr(0, point), layout::kCentsMost / 100, &units)) return false;
  if (point != std::string_view::npos) {
    const std::string_view decimals = field.substr(point + 1);
    if (decimals.empty() || decimals.size() > 2 || !whole_number(decimals, 99, &hundredths)) return false;
    if (decimals.size() == 1) hundredths *= 10;
  }
  *cents = units * 100 + hundredths;
  return true;
}

// The article of a row; false with why when the row is not valid.
bool article_of(const std::vector<std::string>& fields, char separator, Article* article, std::string* why) {
  if (fields.size() != csv::kColumnCount) {
    *why = std::to_string(fields.size()) + " colonne" + (fields.size() > 1 ? "s" : "") + " au lieu de " +
           std::to_string(csv::kColumnCount);
    return false;
  }
  if (!charset::to_latin1(fields[0], &article->plate)) {
    *why = "l'immatriculation " + quoted(fields[0]) + " contient un caractère hors Latin-1";
    return false;
  }
  if (article->plate.size() > layout::kPlate.width) {
    *why =
        "l'immatriculation " + quoted(fields[0]) + " a plus de " + std::to_string(layout::kPlate.width) + " caractères";
    return false;
  }
  article->plate.resize(layout::kPlate.width, ' ');
  if (!whole_number(fields[1], layout::kWeekMost, &article->week)) {
    *why = "semaine " + quoted(fields[1]) + " : pas un nombre de 0 à " + std::to_string(layout::kWeekMost);
    return false;
  }
  for (size_t d = 0; d < layout::kDays; ++d) {
    const std::string& km = fields[2 + 2 * d];
    const std::string& costs = fields[3 + 2 * d];
    if (!whole_number(km, layout::kMileageMost, &article->days[d].mileage)) {
      *why = std::string(csv::kColumns[2 + 2 * d]) + " " + quoted(km) + " : pas un nombre de 0 à " +
             std::to_string(layout::kMileageMost);
      return false;
    }
    if (!amount(costs, separator, &article->days[d].cents)) {
      *why = std::string(csv::kColumns[3 + 2 * d]) + " " + quoted(costs) + " : pas un montant de 0.00 à " +
             money(layout::kCentsMost);
      return false;
    }
  }
  return true;
}

// The progress bar on standard error, drawn only when that is a terminal.
class Progress {
 public:
  Progress(std::FILE* in, std::FILE* err) : err_(err), shown_(::isatty(::fileno(err)) == 1) {
    struct stat st;
    if (::fstat(::fileno(in), &st) == 0 && S_ISREG(st.st_mode)) total_ = static_cast<size_t>(st.st_size);
  }
  void update(size_t consumed, size_t rows, bool last = false) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    if (!last && now - drawn_ < std::chrono::milliseconds(200)) return;
    drawn_ = now;
    std::string bar = "\rimport : ";
    if (total_ > 0) {
      const size_t percent = std::min<size_t>(100, consumed * 100 / total_);
      bar += '[';
      bar.append(percent / 4, '#').append(25 - percent / 4, '-');
      bar += "] " + std::to_string(percent) + " %  ";
    }
    bar += std::to_string(rows) + " lignes ";
    std::fputs(bar.c_str(), err_);
  }
  void end() {
    if (shown_) std::fputs("\r\033[K", err_);
  }

 private:
  std::FILE* err_;
  bool shown_;
  size_t total_ = 0;
  Clock::time_point drawn_{};
};

// Rows waiting for their batch, and the refusals of the rows among them, said once
// the batch is stored so that they come in line order.
struct Batch {
  std::vector<std::string> records;
  std::vector<size_t> lines;
  std::vector<std::pair<size_t, std::string>> refusals;
};

}  // namespace

int import_articles(const Context& context, const std::string& source, bool replace) {
  std::FILE* in = source == "-" ? stdin : std::fopen(source.c_str(), "rb");
  if (in == nullptr) {
    context.complain("impossible de lire " + source + " : " + std::strerror(errno));
    return kNotDone;
  }
  struct Closer {
    std::FILE* in;
    ~Closer() {
      if (in != stdin) std::fclose(in);
    }
  } closer{in};
  return import_from(context, in, nullptr, replace);
}

int import_from(const Context& context, std::FILE* in, storage::Storage* into, bool replace) {
  size_t lines_before = 0;
  const json::Kind kind = json::kind_of(in, &lines_before);
  const bool from_json = kind == json::Kind::kJson;
  json::Rows elements(in, lines_before);
  csv::Reader reader(in, 1 + lines_before);
  std::vector<std::string> fields;
  size_t line = 0;
  const csv::Reader::Got got = kind == json::Kind::kCsv ? reader.next(',', &fields, &line) : csv::Reader::Got::kRow;
  // The export of a period leads with the file of each row: read, and passed over.
  const bool file_column = !from_json && got == csv::Reader::Got::kRow && !fields.empty() &&
                           (fields[0] == json::kFileMember || fields[0].starts_with("fichier;"));
  if (file_column && fields.size() == 1) fields[0].erase(0, 8);
  if (file_column && fields.size() > 1) fields.erase(fields.begin());
  char separator = ',';
  if (!from_json && got == csv::Reader::Got::kRow && fields.size() == 1 && fields[0] == csv::heading(';')) {
    separator = ';';
  } else if (!from_json && (got != csv::Reader::Got::kRow || fields.size() != csv::kColumnCount ||
                            !std::equal(fields.begin(), fields.end(), csv::kColumns))) {
    context.complain(got == csv::Reader::Got::kEnd ? std::string("rien à importer : l'entrée est vide")
                                                   : "ligne " + std::to_string(line) + " : ce n'est pas l'en-tête " +
                                                         csv::heading(',') + " : rien n'est importé");
    return kNotDone;
  }
  // Where a row is, as messages say it, and the word after it.
  auto place = [&](size_t at) {
    return from_json ? "objet [" + std::to_string(at) + "]" : "ligne " + std::to_string(at);
  };
  const std::string refused_word = from_json ? " refusé : " : " refusée : ";

  std::unique_ptr<storage::Storage> opened;
  if (into == nullptr) {
    opened = open_articles(context, storage::StorageMode::kInputOutput);
    if (!opened) return kNotDone;
    into = opened.get();
  }
  storage::Storage* const articles = into;
  // With --replace each row takes the place of its plate's article, and the rows that
  // undo it go to standard output.
  const std::unique_ptr<ReplaceRows> replacing = replace ? std::make_unique<ReplaceRows>(context) : nullptr;
  if (replacing && !replacing->start()) return kNotDone;
  Progress progress(in, context.err);
  size_t stored = 0;
  size_t refused = 0;
  // Every run that opened the file ends with what it did, for scripts and cron logs as
  // well as for people: "1 article enregistré, 0 ligne refusée".
  struct CountLine {
    const Context& context;
    const size_t& stored;
    const size_t& refused;
    bool from_json;
    ~CountLine() {
      try {
        const char* row = from_json ? (refused > 1 ? " objets refusés" : " objet refusé")
                                    : (refused > 1 ? " lignes refusées" : " ligne refusée");
        context.complain(std::to_string(stored) + (stored > 1 ? " articles enregistrés, " : " article enregistré, ") +
                         std::to_string(refused) + row);
      } catch (const std::bad_alloc&) {  // short of memory: that was said already
      }
    }
  } count_line{context, stored, refused, from_json};
  size_t rows = 0;
  size_t batch_size = kBatchMost;
  Batch batch;
  std::vector<const char*> pointers;
  std::vector<storage::FileStatus> statuses;

  auto say_refusals = [&]() {
    if (batch.refusals.empty()) return;
    progress.end();
    std::sort(batch.refusals.begin(), batch.refusals.end());
    for (const auto& refusal : batch.refusals) context.complain(refusal.second);
    refused += batch.refusals.size();
    batch.refusals.clear();
  };
  // Stores the batch; false when the storage failed (nothing of it is then stored).
  auto store = [&]() {
    if (batch.records.empty()) {
      say_refusals();
      return true;
    }
    pointers.clear();
    for (const std::string& record : batch.records) pointers.push_back(record.data());
    const Clock::time_point start = Clock::now();
    const storage::Result result =
        replacing ? replacing->store(*articles, batch.records, &statuses) : articles->insert_batch(pointers, &statuses);
    batch_size = next_batch_size(batch.records.size(), std::chrono::duration<double>(Clock::now() - start).count());
    if (!result.ok()) {
      say_refusals();
      const std::string first = std::to_string(batch.lines.front());
      const std::string last = std::to_string(batch.lines.back());
      context.complain((from_json ? "objets [" + first + "] à [" + last + "] non enregistrés"
                                  : "lignes " + first + " à " + last + " non enregistrées") +
                       ", import arrêté : " + failure_account(result));
      return false;
    }
    for (size_t i = 0; i < statuses.size(); ++i) {
      if (storage::succeeded(statuses[i])) {
        ++stored;
        continue;
      }
      const int status = static_cast<int>(statuses[i]);
      batch.refusals.emplace_back(
          batch.lines[i],
          place(batch.lines[i]) + " : " +
              context.quoted_plate(std::string_view(batch.records[i]).substr(0, layout::kPlate.width)) + " : " +
              french_meaning(statuses[i]) + " (statut " + std::to_string(status / 10) + std::to_string(status % 10) +
              "), " +
              (batch.records[i].size() == layout::kRecordLength ? "article non enregistré" : "rien n'est supprimé"));
    }
    say_refusals();
    batch.records.clear();
    batch.lines.clear();
    return true;
  };

  Article article;
  std::string why;
  try {
    for (;;) {
      const csv::Reader::Got row = from_json ? elements.next(&fields, &line) : reader.next(separator, &fields, &line);
      if (row == csv::Reader::Got::kEnd) break;
      if (row == csv::Reader::Got::kFailed) {
        store();
        say_refusals();
        progress.end();
        context.complain(std::string("lecture interrompue ") + (from_json ? "à l'" : "à la ") + place(line) + " : " +
                         (from_json ? elements.why() : std::string(std::strerror(errno))));
        return kNotDone;
      }
      ++rows;
      const bool counted = !file_column || row != csv::Reader::Got::kRow || fields.size() == csv::kColumnCount + 1;
      if (file_column && counted && row == csv::Reader::Got::kRow) fields.erase(fields.begin());
      if (row == csv::Reader::Got::kBadRow) {
        why = from_json ? elements.why() : "guillemets mal fermés";
      } else if (std::string removal;
                 row == csv::Reader::Got::kRow && replacing && counted && replacing->removal_row(fields, &removal)) {
        // A removal is a change of another kind: a batch of its own.
        if (!store()) return kNotDone;
        batch.records.push_back(std::move(removal));
        batch.lines.push_back(line);
        if (!store()) return kNotDone;
        continue;
      } else if (row == csv::Reader::Got::kTooLong) {
        why = "plus de " + std::to_string(csv::kRowMost) + " octets, aucune ligne valable n'est aussi longue";
      } else if (!counted) {
        why = std::to_string(fields.size()) + " colonne" + (fields.size() > 1 ? "s" : "") + " au lieu de " +
              std::to_string(csv::kColumnCount + 1);
      } else if (article_of(fields, separator, &article, &why)) {
        batch.records.push_back(encode(article));
        batch.lines.push_back(line);
        if (batch.records.size() >= batch_size && !store()) return kNotDone;
        progress.update(from_json ? elements.consumed() : reader.consumed(), rows);
        continue;
      }
      batch.refusals.emplace_back(line, place(line) + refused_word + why);
      if (batch.refusals.size() >= kBatchMost && !store()) return kNotDone;  // a file of bad rows: kept short
    }
  } catch (const std::bad_alloc&) {
    // Memory stays within bounds whatever the input, but the machine may still run
    // short: what was read before is stored or said all the same, and the run stops.
    fields = {};
    why = {};
    bool stored_before = false;
    bool threw = false;
    try {
      stored_before = store();  // false: it said which lines were lost
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    progress.end();
    if (threw && !batch.lines.empty()) {
      context.complain("mémoire insuffisante : lignes " + std::to_string(batch.lines.front()) + " à " +
                       std::to_string(line) + " non enregistrées, import arrêté");
    } else if (threw || stored_before) {
      context.complain("mémoire insuffisante : import arrêté à la ligne " + std::to_string(line));
    }
    return kNotDone;
  }
  if (!store()) return kNotDone;
  progress.update(from_json ? elements.consumed() : reader.consumed(), rows, true);
  progress.end();
  return refused == 0 && (!replacing || replacing->whole()) ? kDone : kNotDone;
}

}  // namespace fleet
