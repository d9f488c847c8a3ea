// Keyset pages of the period's articles.
#include "web/article_page.h"

#include <algorithm>
#include <charconv>
#include <numeric>

#include "operations/text.h"

namespace fleet::web {
namespace {

// What the orders compare, of an entry or of a cursor.
struct Key {
  std::string_view plate;
  uint32_t file, week, mileage, cents;
};

Key key_of(const Entry& e) { return {e.plate_bytes(), e.file, e.week, e.mileage, e.cents}; }
Key key_of(const Cursor& c) { return {c.plate, c.file, c.week, c.mileage, c.cents}; }

// -1, 0 or 1 as a is before, with, or after b by the plate, then the file.
int by_plate(const Key& a, const Key& b) {
  if (const int c = a.plate.compare(b.plate); c != 0) return c < 0 ? -1 : 1;
  return a.file < b.file ? -1 : a.file > b.file ? 1 : 0;
}

template <class T>
int three_way(T a, T b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

// Ascending order of sort; ties go by plate, then file, so that no two articles are
// equal and a cursor names one place.
bool less(Sort sort, const Key& a, const Key& b) {
  int c = 0;
  switch (sort) {
    case Sort::kPlate:
      break;
    case Sort::kWeek:
      c = three_way(a.week, b.week);
      break;
    case Sort::kMileage:
      c = three_way(a.mileage, b.mileage);
      break;
    case Sort::kCosts:
      c = three_way(a.cents, b.cents);
      break;
    case Sort::kCostPerKm:
      // Without kilometres there is no cost per kilometre: those come first, so
      // that the dearest first (the order a list opens in) ends with them.
      if (a.mileage == 0 || b.mileage == 0) {
        c = three_way(a.mileage != 0, b.mileage != 0);
      } else {
        c = three_way(uint64_t{a.cents} * b.mileage, uint64_t{b.cents} * a.mileage);
      }
      break;
  }
  return c != 0 ? c < 0 : by_plate(a, b) < 0;
}

char folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool begins_with(std::string_view plate, std::string_view prefix) {
  if (prefix.size() > plate.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (folded(plate[i]) != folded(prefix[i])) return false;
  }
  return true;
}

bool number(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

const std::vector<uint32_t>& Listing::order(Sort sort) const {
  const auto n = static_cast<size_t>(sort);
  std::call_once(made_[n], [&] {
    std::vector<uint32_t>& order = orders_[n];
    order.resize(entries.size());
    std::iota(order.begin(), order.end(), 0);
    if (sort != Sort::kPlate) {  // the entries are in plate order already
      std::sort(order.begin(), order.end(),
                [&](uint32_t a, uint32_t b) { return less(sort, key_of(entries[a]), key_of(entries[b])); });
    }
  });
  return orders_[n];
}

std::string cursor_text(const Entry& entry) {
  std::string_view plate = entry.plate_bytes();
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  std::string text = std::to_string(entry.week) + "." + std::to_string(entry.mileage) + "." +
                     std::to_string(entry.cents) + "." + std::to_string(entry.file) + ".";
  text += charset::utf8_of(plate);
  return text;
}

bool parse_cursor(std::string_view text, Cursor* cursor) {
  uint32_t* numbers[] = {&cursor->week, &cursor->mileage, &cursor->cents, &cursor->file};
  for (uint32_t* value : numbers) {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos || !number(text.substr(0, dot), value)) return false;
    text.remove_prefix(dot + 1);
  }
  if (!charset::to_latin1(text, &cursor->plate) || cursor->plate.size() > layout::kPlate.width) return false;
  cursor->plate.resize(layout::kPlate.width, ' ');
  return true;
}

ArticlePage page_of(const Listing& listing, const PageQuery& query) {
  const std::vector<uint32_t>& all = listing.order(query.sort);
  std::vector<uint32_t> matching;
  if (!query.prefix.empty()) {
    for (const uint32_t i : all) {
      if (begins_with(listing.entries[i].plate_bytes(), query.prefix)) matching.push_back(i);
    }
  }
  const std::vector<uint32_t>& ascending = query.prefix.empty() ? all : matching;
  const size_t m = ascending.size();
  auto entry_less = [&](uint32_t i, const Key& key) { return less(query.sort, key_of(listing.entries[i]), key); };
  auto key_less = [&](const Key& key, uint32_t i) { return less(query.sort, key, key_of(listing.entries[i])); };
  // How many come before, and after, the cursor in ascending order.
  auto before_count = [&](const Cursor& c) {
    return static_cast<size_t>(std::lower_bound(ascending.begin(), ascending.end(), key_of(c), entry_less) -
                               ascending.begin());
  };
  auto after_count = [&](const Cursor& c) {
    return m - static_cast<size_t>(std::upper_bound(ascending.begin(), ascending.end(), key_of(c), key_less) -
                                   ascending.begin());
  };

  // Positions are in the order shown, which is ascending reversed when descending.
  size_t start = 0;
  size_t end = std::min(m, ArticlePage::kSize);
  if (query.after) {
    start = m - (query.descending ? before_count(*query.after) : after_count(*query.after));
    end = std::min(m, start + ArticlePage::kSize);
  } else if (query.before) {
    end = query.descending ? after_count(*query.before) : before_count(*query.before);
    start = end > ArticlePage::kSize ? end - ArticlePage::kSize : 0;
    end = std::min(m, std::max(end, start + ArticlePage::kSize));
  }
  ArticlePage page;
  page.first = start;
  page.matching = m;
  page.earlier = start > 0;
  page.later = end < m;
  for (size_t at = start; at < end; ++at) {
    page.entries.push_back(&listing.entries[ascending[query.descending ? m - 1 - at : at]]);
  }
  return page;
}

}  // namespace fleet::web
