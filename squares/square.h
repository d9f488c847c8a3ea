// The square that quadra0 and quadra1 both declare: its side, a table of 31 rows of 31
// two-digit cells (62 characters a row), and the size and closing lines they share.
#pragma once

#include <array>

#include "runtime/rt.h"

namespace squares {

inline constexpr int kSide = 31;
inline constexpr uint32_t kRowWidth = 2 * kSide;

inline char square_size_storage[2];
inline char square_storage[kSide * kRowWidth];
inline constexpr rt::Field square_size = rt::numeric<2>(square_size_storage);
inline constexpr rt::Field first_cell = rt::numeric<2>(square_storage);

// The cell at a row and a column, both counted from 1 and not checked against the table.
constexpr rt::Field cell_at(int64_t row, int64_t column) {
  return rt::element(rt::element(first_cell, row, kRowWidth), column, 2);
}

// The size at 00 and every cell at 00, subfield by subfield.
inline constexpr auto square_initial_values = [] {
  std::array<rt::Initial, 1 + kSide * kSide> table{};
  size_t n = 0;
  table[n++] = {square_size};
  for (int row = 1; row <= kSide; ++row) {
    for (int column = 1; column <= kSide; ++column) table[n++] = {cell_at(row, column)};
  }
  return table;
}();

inline constexpr rt::Item size_label = rt::literal("Taille du tableau : ");
inline constexpr rt::Item finished = rt::literal("Carr\xE9 magique termin\xE9.");

}  // namespace squares
