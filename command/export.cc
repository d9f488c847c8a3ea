// fleet export: every article, in plate order, as CSV or JSON (always UTF-8).
#include <nlohmann/json.hpp>

#include "command/command.h"
#include "command/csv.h"

namespace fleet {
namespace {

// One CSV field: quoted when it holds the separator, a quote, a line end, another
// control byte or a leading space, which readers would otherwise take apart or drop.
void append_field(std::string& out, std::string_view utf8, char separator) {
  bool quote = !utf8.empty() && utf8.front() == ' ';
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    quote = quote || c == separator || c == '"' || byte < 0x20 || byte == 0x7F;
  }
  if (!quote) {
    out += utf8;
    return;
  }
  out += '"';
  for (const char c : utf8) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string plate_utf8(std::string_view plate) {
  // The trailing spaces are the field's filling, given back by the import.
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  std::string utf8;
  text::append_utf8(utf8, plate);
  return utf8;
}

void append_csv(std::string& out, const Article& article, char separator) {
  append_field(out, plate_utf8(article.plate), separator);
  out += separator;
  out += std::to_string(article.week);
  for (const Day& day : article.days) {
    out += separator;
    out += std::to_string(day.mileage);
    out += separator;
    out += money(day.cents);
  }
  out += "\r\n";
}

void append_json(std::string& out, const Article& article, bool first) {
  nlohmann::ordered_json object;
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

bool write_export(const Context& context, storage::Storage& articles, bool json, char separator,
                  const std::function<void(std::string_view)>& write) {
  std::string out;
  if (!json) out = csv::heading(separator) + "\r\n";
  bool first = true;
  const bool whole = each_article(context, articles, "non exporté", [&](const Article& article) {
    if (json) {
      append_json(out, article, first);
    } else {
      append_csv(out, article, separator);
    }
    first = false;
    if (out.size() >= 1 << 16) {
      write(out);
      out.clear();
    }
  });
  if (json) out += first ? "[]\n" : "\n]\n";
  write(out);
  return whole;
}

int export_articles(const Context& context, bool json, char separator) {
  const std::unique_ptr<storage::Storage> articles = open_articles(context, storage::StorageMode::kInput);
  if (!articles) return kNotDone;
  Output output(context);
  const bool whole =
      write_export(context, *articles, json, separator, [&](std::string_view bytes) { output.write(bytes); });
  return output.finish() && whole ? kDone : kNotDone;
}

}  // namespace fleet
