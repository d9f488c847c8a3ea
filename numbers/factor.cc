// factor: reads a base and a second number, prints the remainder of the second divided
// by the base, and says whether the second is a multiple of the base increased by one.
#include <cstring>

#include "programs/usage.h"
#include "runtime/rt.h"

namespace {

// Fields.
char base_number_storage[2];
char next_number_storage[2];
char quotient_storage[2];
char remainder_storage[1];      // one digit: a remainder of 10 or more does not fit
char multiple_flag_storage[2];  // 01 once a remainder was 1; never reset
char result_message_storage[30];
constexpr rt::Field base_number = rt::numeric<2>(base_number_storage);
constexpr rt::Field next_number = rt::numeric<2>(next_number_storage);
constexpr rt::Field quotient = rt::numeric<2>(quotient_storage);
constexpr rt::Field remainder = rt::numeric<1>(remainder_storage);
constexpr rt::Field multiple_flag = rt::numeric<2>(multiple_flag_storage);
constexpr rt::Field result_message = rt::alphanumeric(result_message_storage);

constexpr rt::Initial initial_values[] = {
    {base_number}, {next_number}, {quotient}, {remainder}, {multiple_flag}, {result_message},
};

// Literals. The verdicts are the 30 characters that fit the message, cut mid-word.
constexpr rt::Item base_prompt = rt::literal("Saisissez un chiffre de base : ");
constexpr rt::Item next_prompt = rt::literal("Saisissez le chiffre suivant : ");
constexpr rt::Item remainder_label = rt::literal("RESTE : ");
constexpr char positive_verdict[] = "Le nombre est un multiple incr";
constexpr char negative_verdict[] = "Le nombre n'est pas un multipl";
static_assert(sizeof positive_verdict - 1 == sizeof result_message_storage);
static_assert(sizeof negative_verdict - 1 == sizeof result_message_storage);

void initialize() { rt::initialize(initial_values); }

rt::Program program{"factor", initialize};

// Procedures, in the order the dialogue runs them.
enum Label : int32_t { kReadNumbers = 1, kDivideNumbers, kChooseMessage };
void divide_numbers();

void read_numbers() {
  rt::new_display(0, 0, {base_prompt});
  rt::accept(base_number);
  rt::new_display(0, 0, {next_prompt});
  rt::accept(next_number);
  program.perform(kDivideNumbers, divide_numbers);
}

// A base of 0 is a size error: the remainder keeps its value, as it does when the
// remainder has two digits.
void divide_numbers() {
  rt::div_quotient(next_number, base_number, quotient, rt::kKeepOnSizeError);
  rt::div_remainder(remainder, rt::kKeepOnSizeError);
  rt::new_display(0, 1, {remainder_label, remainder});
  if (rt::cmp_numdisp(remainder_storage, 1, 1) == 0) std::memcpy(multiple_flag_storage, "01", 2);
}

void choose_message() {
  const bool multiple = rt::cmp_numdisp(multiple_flag_storage, 2, 1) == 0;
  std::memcpy(result_message_storage, multiple ? positive_verdict : negative_verdict, 30);
}

// The main sequence.
void procedure() {
  program.perform(kReadNumbers, read_numbers);
  program.perform(kChooseMessage, choose_message);
  rt::new_display(0, 1, {result_message});
  rt::stop_run(program.return_code());
}

}  // namespace

int factor_(int entry) { return program.run(entry, procedure); }
int factor() { return factor_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"factor",
                          "Lit un nombre de base puis un nombre suivant sur l'entr\xE9"
                          "e standard, \xE9"
                          "crit le\n"
                          "reste de la division du second par la base et dit si le second est un\n"
                          "multiple de la base plus un (reste 1).\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(factor());
}
