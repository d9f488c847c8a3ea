// quadra1: fixes the side of a square at 3, works out its middle column by a decimal
// division of the side by 2, rounded, writes it and puts 1 into that cell of row 1.
#include <gmp.h>

#include <cstring>

#include "programs/usage.h"
#include "runtime/decimal/decimal.h"
#include "runtime/rt.h"
#include "squares/square.h"

namespace {

using namespace squares;

// The program's own step on a work value: the integer set straight through GMP, scale 0.
void decimal_set_int(rt::Decimal& value, long integer) {
  mpz_set_si(value.integer, integer);
  value.scale = 0;
}

// Fields of this program besides the square.
char middle_column_storage[2];
constexpr rt::Field middle_column = rt::numeric<2>(middle_column_storage);

constexpr rt::Initial initial_values[] = {{middle_column}};

// The two decimal work values of the division.
rt::Decimal dividend;
rt::Decimal divisor;

void initialize() {
  rt::initialize(square_initial_values);
  rt::initialize(initial_values);
  rt::decimal_init(dividend);
  rt::decimal_init(divisor);
}

rt::Program program{"quadra1", initialize};

// Procedures, in the order the dialogue runs them.
enum Label : int32_t { kPlaceStart = 1 };

// Half the side, rounded a half away from zero: 3 / 2 = 1.5 gives column 02.
void place_start() {
  decimal_set_int(dividend, rt::get_numdisp(square_size_storage, 2));
  decimal_set_int(divisor, 2);
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

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"quadra1",
                          "Calcule par une division arrondie la colonne du milieu d'un carr\xE9 de 3 sur 3\n"
                          "et l'\xE9"
                          "crit. Ne lit rien sur l'entr\xE9"
                          "e standard.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(quadra0());
}
