// fleet list and fleet show: the articles as tables for people.
#include <string>
#include <vector>

#include "command/command.h"

namespace fleet {
namespace {

std::string trimmed(std::string_view plate) {
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return std::string(plate);
}

std::string padded(std::string text, size_t width) {
  const size_t used = text::columns(text);
  if (used < width) text.append(width - used, ' ');
  return text;
}

std::string right(const std::string& text, size_t width) {
  const size_t used = text::columns(text);
  return used < width ? std::string(width - used, ' ') + text : text;
}

std::string two_digits(uint32_t value) {
  return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// The plate typed on the command line (in the locale's character set) as stored bytes;
// false with why when it cannot be a plate.
bool plate_argument(const Context& context, const std::string& typed, std::string* plate, std::string* why) {
  if (context.charset == text::Charset::kUtf8) {
    if (!charset::to_latin1(typed, plate)) {
      *why = "l'immatriculation contient un caractère hors Latin-1";
      return false;
    }
  } else {
    *plate = typed;
  }
  if (plate->size() > layout::kPlate.width) {
    *why = "l'immatriculation a plus de " + std::to_string(layout::kPlate.width) + " caractères";
    return false;
  }
  plate->resize(layout::kPlate.width, ' ');
  return true;
}

}  // namespace

int list_articles(const Context& context) {
  const std::unique_ptr<storage::Storage> articles = open_articles(context, storage::StorageMode::kInput);
  if (!articles) return kNotDone;
  struct Line {
    std::string plate;  // as shown, UTF-8
    std::string figures;
  };
  std::vector<Line> lines;
  size_t plate_width = 15;  // "Immatriculation"
  const bool whole = each_article(context, *articles, "illisible", [&](const Article& article) {
    Line line{charset::shown(trimmed(article.plate), text::Charset::kUtf8), {}};
    line.figures = "  " + right(two_digits(article.week), 7) + "  " + right(std::to_string(article.mileage()), 10) +
                   "  " + right(money(article.cents()), 9) + "  " +
                   right(per_kilometre(article.cents(), article.mileage()), 7) + "\n";
    plate_width = std::max(plate_width, text::columns(line.plate));
    lines.push_back(std::move(line));
  });
  Output output(context);
  output.words(padded("Immatriculation", plate_width) + "  Semaine  Kilomètres      Frais  Coût/km\n");
  std::string block;
  for (const Line& line : lines) {
    block += padded(line.plate, plate_width) + line.figures;
    if (block.size() > 1 << 16) {
      output.words(block);
      block.clear();
    }
  }
  output.words(block);
  return output.finish() && whole ? kDone : kNotDone;
}

int show_article(const Context& context, const std::string& typed) {
  std::string plate;
  std::string why;
  if (!plate_argument(context, typed, &plate, &why)) {
    context.complain(why);
    return kWrongUsage;
  }
  const std::unique_ptr<storage::Storage> articles = open_articles(context, storage::StorageMode::kInput);
  if (!articles) return kNotDone;
  std::string record(layout::kRecordLength, '\0');
  const storage::Result read = articles->read_key(plate.data(), record.data());
  if (!read.ok()) {
    context.complain(read.status == storage::FileStatus::kNoSuchKey
                         ? "aucun article pour l'immatriculation " + context.quoted_plate(plate)
                         : "lecture de l'article " + context.quoted_plate(plate) + " : " + failure_account(read));
    return kNotDone;
  }
  Article article;
  std::string field;
  if (!decode(record, &article, &field)) {
    context.complain("article " + context.quoted_plate(plate) + " illisible : " + field +
                     " n'est pas fait de chiffres");
    return kNotDone;
  }
  std::string out = "Immatriculation : " + charset::shown(trimmed(article.plate), text::Charset::kUtf8) + "\n";
  out += "Semaine         : " + two_digits(article.week) + "\n\n";
  out += "Jour        Kilomètres      Frais\n";
  for (size_t d = 0; d < layout::kDays; ++d) {
    out += padded(layout::kDayNames[d], 10) + right(std::to_string(article.days[d].mileage), 12) +
           right(money(article.days[d].cents), 11) + "\n";
  }
  out +=
      padded("Total", 10) + right(std::to_string(article.mileage()), 12) + right(money(article.cents()), 11) + "\n\n";
  out += "Coût par kilomètre : " + per_kilometre(article.cents(), article.mileage()) + "\n";
  Output output(context);
  output.words(out);
  return output.finish() ? kDone : kNotDone;
}

}  // namespace fleet
