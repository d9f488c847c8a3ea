// fleet export: the period's articles, file by file in its order and each file's in
// plate order, or those of some plates, as CSV or JSON (always UTF-8). With several
// files, each row says which it comes from in a leading column.
#include <nlohmann/json.hpp>

#include <algorithm>

#include "operations/change.h"
#include "operations/context.h"
#include "operations/csv.h"

namespace fleet {
namespace {

// The leading column of a period's export, which import passes over.
constexpr char kFileColumn[] = "fichier";

std::string plate_utf8(std::string_view plate) {
  // The trailing spaces are the field's filling, given back by the import.
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return charset::utf8_of(plate);
}

void append_csv(std::string& out, const std::string* file, const Article& article, char separator) {
  if (file != nullptr) {
    csv::append_field(out, *file, separator);
    out += separator;
  }
  csv::append_field(out, plate_utf8(article.plate), separator);
  out += separator;
  out += std::to_string(article.week);
  for (const Day& day : article.days) {
    out += separator;
    out += std::to_string(day.mileage);
    out += separator;
    out += money(day.cents);
    // The separator of French spreadsheets goes with their decimal comma: "12,50" is
    // read there as a number, "12.50" as text.
    if (separator == ';') out[out.size() - 3] = ',';
  }
  out += "\r\n";
}

void append_json(std::string& out, const std::string* file, const Article& article, bool first) {
  nlohmann::ordered_json object;
  if (file != nullptr) object[kFileColumn] = *file;
  object[csv::kColumns[0]] = plate_utf8(article.plate);
  object[csv::kColumns[1]] = article.week;
  for (size_t d = 0; d < layout::kDays; ++d) {
    object[csv::kColumns[2 + 2 * d]] = article.days[d].mileage;
    // Hundredths as a JSON number: the shortest text that reads back as the same
    // double, so 35.40 comes out as 35.4.
    object[csv::kColumns[3 + 2 * d]] = static_cast<double>(article.days[d].cents) / 100;
  }
  out += first ? "[\n  " : ",\n  ";
  out += object.dump();
}

}  // namespace

bool each_exported(const Context& context, const Period& period, const std::vector<std::string>& plates,
                   const std::function<void(size_t file, const Article&)>& put) {
  if (plates.empty()) {
    bool whole = true;
    for (size_t i = 0; i < period.size(); ++i) {
      whole = period.scan(i, "non exporté", context.complainer(), [&](const Article& article) {
        put(i, article);
        return true;
      }) && whole;
    }
    return whole;
  }
  std::vector<bool> found;
  const bool read = plates_articles(period, plates, context.complainer(), put, &found);
  bool whole = read;
  for (size_t k = 0; k < plates.size(); ++k) {
    if (found[k] || std::find(plates.begin(), plates.begin() + k, plates[k]) != plates.begin() + k) continue;
    // Where a file could not be read, the article may be there: that was said.
    if (read) context.complain("aucun article pour l'immatriculation " + context.quoted_plate(plates[k]));
    whole = false;
  }
  return whole;
}

int export_articles(const Context& context, bool json, char separator, const std::vector<std::string>& typed) {
  std::vector<std::string> plates(typed.size());
  std::string why;
  for (size_t k = 0; k < typed.size(); ++k) {
    if (!typed_plate(typed[k], context.charset, &plates[k], &why)) {
      context.complain(why);
      return kWrongUsage;
    }
  }
  const Period period = context.period();
  Output output(context);
  std::string out;
  bool started = false;  // nothing at all is written when no file could be read
  auto start = [&]() {
    if (started) return;
    started = true;
    if (!json) out = (period.several() ? std::string(kFileColumn) + separator : "") + csv::heading(separator) + "\r\n";
  };
  bool first = true;
  auto put = [&](size_t file, const Article& article) {
    start();
    const std::string* name = period.several() ? &period.files()[file].shown : nullptr;
    if (json) {
      append_json(out, name, article, first);
    } else {
      append_csv(out, name, article, separator);
    }
    first = false;
    if (out.size() >= 1 << 16) {
      output.write(out);
      out.clear();
    }
  };
  bool whole = each_exported(context, period, plates, put);
  whole = whole && period.whole();
  if (first && !whole) return kNotDone;
  start();
  if (json) out += first ? "[]\n" : "\n]\n";
  output.write(out);
  return output.finish() && whole ? kDone : kNotDone;
}

bool write_export(const Context& context, storage::Storage& articles, bool json, char separator,
                  const std::function<void(std::string_view)>& write) {
  std::string out;
  if (!json) out = csv::heading(separator) + "\r\n";
  bool first = true;
  const bool whole = scan_open(articles, "non exporté", {}, context.complainer(), [&](const Article& article) {
    if (json) {
      append_json(out, nullptr, article, first);
    } else {
      append_csv(out, nullptr, article, separator);
    }
    first = false;
    if (out.size() >= 1 << 16) {
      write(out);
      out.clear();
    }
    return true;
  });
  if (json) out += first ? "[]\n" : "\n]\n";
  write(out);
  return whole;
}

void append_undo_row(std::string& out, std::string_view plate, const Article* article) {
  if (article != nullptr) {
    append_csv(out, nullptr, *article, ',');
    return;
  }
  csv::append_field(out, plate_utf8(plate), ',');
  out.append(csv::kColumnCount - 1, ',');
  out += "\r\n";
}

}  // namespace fleet
