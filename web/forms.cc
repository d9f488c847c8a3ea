// The article form, read as autolog's accept reads a line into each field.
#include "web/forms.h"

#include "charset/charset.h"
#include "operations/context.h"

namespace fleet::web {
namespace {

std::string decimal_text(uint32_t value, uint32_t scale) {
  if (scale == 0) return std::to_string(value);
  std::string text = money(value);
  text[text.size() - 3] = ',';  // as a French clerk types it, and the form reads back
  return text;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// A number typed into a field of scale decimals that holds most at the most: blanks
// around it dropped, a leading +, digits with one point or comma at the most, as accept
// takes them; nothing typed is 0, as accept stores it. Empty when fine, else why not.
std::string number(std::string_view text, uint32_t scale, uint32_t most, uint32_t* value) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  *value = 0;
  if (text.empty()) return {};
  if (text.front() == '+') text.remove_prefix(1);
  const std::string range = scale == 0 ? "un nombre entier de 0 à " + std::to_string(most)
                                       : "un montant de 0 à " + decimal_text(most, scale) + ", deux décimales au plus";
  uint64_t units = 0;
  uint32_t decimals = 0;
  bool point = false;
  bool digits = false;
  for (const char c : text) {
    if (c == '.' || c == ',') {
      if (point) return "Ce n'est pas un nombre : " + range + ".";
      point = true;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      if (!point) {
        units = std::min<uint64_t>(units * 10 + static_cast<uint64_t>(c - '0'), uint64_t{1} << 40);
      } else if (++decimals > scale) {
        // Any decimal beyond the field's counts, a zero too: "1.000" may mean a thousand.
        return scale == 0 ? "Pas de décimales ici : " + range + "." : "Deux décimales au plus.";
      } else {
        units = units * 10 + static_cast<uint64_t>(c - '0');
      }
    } else {
      return "Ce n'est pas un nombre : " + range + ".";
    }
  }
  if (!digits) return "Ce n'est pas un nombre : " + range + ".";
  for (; decimals < scale; ++decimals) units *= 10;
  if (units > most) return "Trop grand : " + range + ".";
  *value = static_cast<uint32_t>(units);
  return {};
}

// The plate as accept stores it: the bytes typed (Latin-1), spaces after them being the
// field's filling; empty when fine, else why not.
std::string plate(const std::string& typed, std::string* stored) {
  std::string_view text = typed;
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!charset::to_latin1(text, stored)) {
    return "Un caractère de cette immatriculation n'existe pas dans le fichier (hors Latin-1).";
  }
  if (stored->find_first_not_of(' ') == std::string::npos) return "Indiquez l'immatriculation.";
  if (stored->size() > layout::kPlate.width) {
    return "Une immatriculation a " + std::to_string(layout::kPlate.width) + " caractères au plus.";
  }
  // A form field cannot hold a line end, and a clerk types no other control character:
  // one sent anyway would make a plate that no page or terminal shows as it is.
  for (const char c : *stored) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0)) return "Caractère de contrôle refusé dans l'immatriculation.";
  }
  stored->resize(layout::kPlate.width, ' ');
  return {};
}

}  // namespace

ArticleForm read_article_form(const std::function<std::string(const std::string& name)>& field) {
  ArticleForm form;
  for (size_t c = 0; c < csv::kColumnCount; ++c) form.typed[c] = field(csv::kColumns[c]);
  form.problem[0] = plate(form.typed[0], &form.article.plate);
  form.problem[1] = number(form.typed[1], 0, layout::kWeekMost, &form.article.week);
  for (size_t d = 0; d < layout::kDays; ++d) {
    Day& day = form.article.days[d];
    form.problem[2 + 2 * d] = number(form.typed[2 + 2 * d], 0, layout::kMileageMost, &day.mileage);
    form.problem[3 + 2 * d] = number(form.typed[3 + 2 * d], layout::kCostsScale, layout::kCentsMost, &day.cents);
  }
  return form;
}

ArticleForm form_of(const Article& article) {
  ArticleForm form;
  form.article = article;
  std::string_view plate = article.plate;
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  form.typed[0] = charset::utf8_of(plate);
  form.typed[1] = std::to_string(article.week);
  for (size_t d = 0; d < layout::kDays; ++d) {
    form.typed[2 + 2 * d] = decimal_text(article.days[d].mileage, 0);
    form.typed[3 + 2 * d] = decimal_text(article.days[d].cents, layout::kCostsScale);
  }
  return form;
}

}  // namespace fleet::web
