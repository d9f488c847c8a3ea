// quadra0: fixes the side of a square at 3, puts 1 into each of its nine cells row by
// row, and writes one coordinate line per cell.
#include <array>
#include <cstring>

#include "runtime/rt.h"

namespace {

// Fields. The square is a table of 31 rows of 31 two-digit cells: 62 characters a row.
constexpr int kSide = 31;
constexpr uint32_t kRowWidth = 2 * kSide;
char square_size_storage[2];
char square_storage[kSide * kRowWidth];
char row_index_storage[2];
char column_index_storage[2];
constexpr rt::Field square_size = rt::numeric<2>(square_size_storage);
constexpr rt::Field first_cell = rt::numeric<2>(square_storage);
constexpr rt::Field row_index = rt::numeric<2>(row_index_storage);
constexpr rt::Field column_index = rt::numeric<2>(column_index_storage);

// The cell at a row and a column, both counted from 1 and not checked against the table.
constexpr rt::Field cell_at(int64_t row, int64_t column) {
  return rt::element(rt::element(first_cell, row, kRowWidth), column, 2);
}

constexpr rt::Item one = rt::number("1");

// Every cell starts at 00, subfield by subfield.
constexpr auto initial_values = [] {
  std::array<rt::Initial, 3 + kSide * kSide> table{};
  size_t n = 0;
  table[n++] = {square_size};
  for (int row = 1; row <= kSide; ++row) {
    for (int column = 1; column <= kSide; ++column) table[n++] = {cell_at(row, column)};
  }
  table[n++] = {row_index, one};
  table[n++] = {column_index, one};
  return table;
}();

// Literals. The accented letter of the cell lines is the byte 0xC3 alone.
constexpr rt::Item size_label = rt::literal("Taille du tableau : ");
constexpr rt::Item cell_label = rt::literal("Coordonn\xC3" "es (");
constexpr rt::Item comma = rt::literal(", ");
constexpr rt::Item closing_parenthesis = rt::literal(") : ");
constexpr rt::Item finished = rt::literal("Carr\xE9 magique termin\xE9.");

void initialize() { rt::initialize(initial_values); }

rt::Program program{"quadra0", initialize};

// An index above the size ends its loop.
bool beyond_size(const rt::Field& index) {
  return rt::cmp_numdisp(index.storage, 2, rt::get_numdisp(square_size_storage, 2)) > 0;
}

// Procedures, in the order the dialogue runs them.
enum Label : int32_t { kFillSquare = 1, kMarkCell };
void mark_cell();

// Every cell row after row, column after column; each test comes before its step.
void fill_square() {
  std::memcpy(row_index_storage, "01", 2);
  std::memcpy(column_index_storage, "01", 2);
  while (!beyond_size(row_index)) {
    while (!beyond_size(column_index)) {
      program.perform(kMarkCell, mark_cell);
      rt::add(column_index, one, rt::kTruncateOnSizeError);
    }
    rt::add(row_index, one, rt::kTruncateOnSizeError);
    std::memcpy(column_index_storage, "01", 2);
  }
}

void mark_cell() {
  const rt::Field cell = cell_at(rt::get_numdisp(row_index_storage, 2),
                                 rt::get_numdisp(column_index_storage, 2));
  std::memcpy(cell.storage, "01", 2);
  rt::new_display(0, 1, {cell_label, row_index, comma, column_index, closing_parenthesis, cell});
}

// The main sequence.
void procedure() {
  std::memcpy(square_size_storage, "03", 2);
  rt::new_display(0, 1, {size_label, square_size});
  program.perform(kFillSquare, fill_square);
  rt::new_display(0, 1, {finished});
  rt::stop_run(program.return_code());
}

}  // namespace

int quadra0_(int entry) { return program.run(entry, procedure); }
int quadra0() { return quadra0_(0); }

int main(int argc, char** argv) {
  rt::init(argc, argv);
  rt::stop_run(quadra0());
}
