// quadra1: fixes the side of a square at 3, works out its middle column by a decimal
// division of the side by 2, rounded, writes it and puts 1 into that cell of row 1.
#include <array>
#include <cstring>

#include "runtime/decimal.h"
#include "runtime/rt.h"

// The program's own step on a work value: the integer set straight through GMP, scale 0.
namespace rt {
namespace {
void decimal_set_int(Decimal& value, long integer) {
  mpz_set_si(value.integer, integer);
  value.scale = 0;
}
}  // namespace
}  // namespace rt

namespace {

// Fields. The square is a table of 31 rows of 31 two-digit cells: 62 characters a row.
constexpr int kSide = 31;
constexpr uint32_t kRowWidth = 2 * kSide;
char square_size_storage[2];
char square_storage[kSide * kRowWidth];
char middle_column_storage[2];
constexpr rt::Field square_size = rt::numeric<2>(square_size_storage);
constexpr rt::Field first_cell = rt::numeric<2>(square_storage);
constexpr rt::Field middle_column = rt::numeric<2>(middle_column_storage);

// The cell at a row and a column, both counted from 1 and not checked against the table.
constexpr rt::Field cell_at(int64_t row, int64_t column) {
  return rt::element(rt::element(first_cell, row, kRowWidth), column, 2);
}

// Every cell starts at 00, subfield by subfield.
constexpr auto initial_values = [] {
  std::array<rt::Initial, 2 + kSide * kSide> table{};
  size_t n = 0;
  table[n++] = {square_size};
  for (int row = 1; row <= kSide; ++row) {
    for (int column = 1; column <= kSide; ++column) table[n++] = {cell_at(row, column)};
  }
  table[n++] = {middle_column};
  return table;
}();

// The two decimal work values of the division.
rt::Decimal dividend;
rt::Decimal divisor;

// Literals.
constexpr rt::Item size_label = rt::literal("Taille du tableau : ");
constexpr rt::Item finished = rt::literal("Carr\xE9 magique termin\xE9.");

void initialize() {
  rt::initialize(initial_values);
  rt::decimal_init(dividend);
  rt::decimal_init(divisor);
}

rt::Program program{"quadra1", initialize};

// Procedures, in the order the dialogue runs them.
enum Label : int32_t { kPlaceStart = 1 };

// Half the side, rounded a half away from zero: 3 / 2 = 1.5 gives column 02.
void place_start() {
  rt::decimal_set_int(dividend, rt::get_numdisp(square_size_storage, 2));
  rt::decimal_set_int(divisor, 2);
  rt::decimal_div(dividend, divisor);
  rt::decimal_get_field(dividend, middle_column, rt::kRound | rt::kKeepOnSizeError);
  rt::new_display(0, 1, {middle_column});
  std::memcpy(cell_at(1, rt::get_numdisp(middle_column_storage, 2)).storage, "01", 2);
}

// The main sequence.
void procedure() {
  std::memcpy(square_size_storage, "03", 2);
  rt::new_display(0, 1, {size_label, square_size});
  program.perform(kPlaceStart, place_start);
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
