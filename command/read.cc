// fleet list and fleet show: the articles as tables for people.
#include <string>
#include <vector>

#include "command/commands.h"

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

// The seven days of an article and their totals.
std::string days_block(const Article& article) {
  std::string out = "Jour        Kilomètres      Frais\n";
  for (size_t d = 0; d < layout::kDays; ++d) {
    out += padded(layout::kDayNames[d], 10) + right(std::to_string(article.days[d].mileage), 12) +
           right(money(article.days[d].cents), 11) + "\n";
  }
  return out + padded("Total", 10) + right(std::to_string(article.mileage()), 12) + right(money(article.cents()), 11) +
         "\n";
}

}  // namespace

int list_articles(const Context& context) {
  const Period period = context.period();
  Page page;
  const bool whole = read_page(period, {}, context.complainer(), &page) && period.whole();
  if (!whole && page.entries.empty()) return kNotDone;
  // Columns as wide as their widest value: the whole page is read before its first line.
  size_t plate_width = 15;  // "Immatriculation"
  size_t file_width = 7;    // "Fichier"
  std::vector<std::string> plates;
  plates.reserve(page.entries.size());
  for (const PageEntry& entry : page.entries) {
    plates.push_back(charset::shown(trimmed(entry.article.plate), text::Charset::kUtf8));
    plate_width = std::max(plate_width, text::columns(plates.back()));
  }
  for (const PeriodFile& file : period.files()) {
    file_width = std::max(file_width, text::columns(file.shown));
  }
  Output output(context);
  output.words(padded("Immatriculation", plate_width) + (period.several() ? "  " + padded("Fichier", file_width) : "") +
               "  Semaine  Kilomètres      Frais  Coût/km\n");
  std::string block;
  for (size_t i = 0; i < page.entries.size(); ++i) {
    const Article& article = page.entries[i].article;
    block += padded(plates[i], plate_width);
    if (period.several()) block += "  " + padded(period.files()[page.entries[i].file].shown, file_width);
    block += "  " + right(two_digits(article.week), 7) + "  " + right(std::to_string(article.mileage()), 10) + "  " +
             right(money(article.cents()), 9) + "  " + right(per_kilometre(article.cents(), article.mileage()), 7) +
             "\n";
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
  if (!typed_plate(typed, context.charset, &plate, &why)) {
    context.complain(why);
    return kWrongUsage;
  }
  const Period period = context.period();
  CarWeeks car;
  const bool whole = car_weeks(period, plate, context.complainer(), &car) && period.whole();
  if (car.totals.articles == 0) {
    if (whole) context.complain("aucun article pour l'immatriculation " + context.quoted_plate(plate));
    return kNotDone;
  }
  std::string out = "Immatriculation : " + charset::shown(trimmed(plate), text::Charset::kUtf8) + "\n";
  if (!period.several()) {
    const Article& article = *car.articles[0];
    out += "Semaine         : " + two_digits(article.week) + "\n\n" + days_block(article) + "\n";
    out += "Coût par kilomètre : " + per_kilometre(article.cents(), article.mileage()) + "\n";
  } else {
    // The car's article in each file, then its sums over the period.
    for (size_t i = 0; i < period.size(); ++i) {
      out += "\nFichier         : " + period.files()[i].shown + "\n";
      if (!car.articles[i]) {
        out += "Aucun article\n";
        continue;
      }
      const Article& article = *car.articles[i];
      out += "Semaine         : " + two_digits(article.week) + "\n" + days_block(article);
      out += "Coût par kilomètre : " + per_kilometre(article.cents(), article.mileage()) + "\n";
    }
    const Totals& totals = car.totals;
    out += "\nPériode         : " + std::to_string(period.size()) + " fichiers, " + std::to_string(totals.articles) +
           " article" + (totals.articles > 1 ? "s" : "") + "\n";
    out += "Kilomètres      : " + std::to_string(totals.mileage) + "\n";
    out += "Frais           : " + money(totals.cents) + "\n";
    out += "Coût par kilomètre : " + per_kilometre(totals.cents, totals.mileage) + "\n";
  }
  Output output(context);
  output.words(out);
  return output.finish() && whole ? kDone : kNotDone;
}

}  // namespace fleet
