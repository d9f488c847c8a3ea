// quadra0: fixes the side of a square at 3, puts 1 into each of its nine cells row by
// row, and writes one coordinate line per cell.
#include <cstring>

#include "programs/usage.h"
#include "runtime/rt.h"
#include "squares/square.h"

namespace {

using namespace squares;

// Fields of this program besides the square.
char row_index_storage[2];
char column_index_storage[2];
constexpr rt::Field row_index = rt::numeric<2>(row_index_storage);
constexpr rt::Field column_index = rt::numeric<2>(column_index_storage);

constexpr rt::Item one = rt::number("1");

constexpr rt::Initial initial_values[] = {{row_index, one}, {column_index, one}};

// Literals. The accented letter of the cell lines is the byte 0xC3 alone.
constexpr rt::Item cell_label = rt::literal(
    "Coordonn\xC3"
    "es (");
constexpr rt::Item comma = rt::literal(", ");
constexpr rt::Item closing_parenthesis = rt::literal(") : ");

void initialize() {
  rt::initialize(square_initial_values);
  rt::initialize(initial_values);
}

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
  const rt::Field cell = cell_at(rt::get_numdisp(row_index_storage, 2), rt::get_numdisp(column_index_storage, 2));
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

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"quadra0",
                          "\xC9"
                          "crit les coordonn\xE9"
                          "es des neuf cases d'un carr\xE9 de 3 sur 3, une ligne par\n"
                          "case. Ne lit rien sur l'entr\xE9"
                          "e standard.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(quadra0());
}
