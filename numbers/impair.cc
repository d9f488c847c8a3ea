// impair: asks for an odd number until it gets one, printing the remainder of each
// answer divided by 2, then its verdict.
#include <cstring>

#include "programs/usage.h"
#include "runtime/rt.h"

namespace {

// Fields.
char typed_number_storage[2];
char quotient_storage[2];
char remainder_storage[1];
char odd_flag_storage[2];  // 01 once a remainder was not 0: ends the loop
char result_message_storage[30];
constexpr rt::Field typed_number = rt::numeric<2>(typed_number_storage);
constexpr rt::Field quotient = rt::numeric<2>(quotient_storage);
constexpr rt::Field remainder = rt::numeric<1>(remainder_storage);
constexpr rt::Field odd_flag = rt::numeric<2>(odd_flag_storage);
constexpr rt::Field result_message = rt::alphanumeric(result_message_storage);

constexpr rt::Initial initial_values[] = {
    {typed_number}, {quotient}, {remainder}, {odd_flag}, {result_message},
};

// Literals. The verdict is held as the move leaves it in the message: 9 spaces follow.
constexpr rt::Item prompt = rt::literal("Saisissez un chiffre impair : ");
constexpr rt::Item two = rt::number("2");
constexpr char verdict[] = "Le nombre est impair.         ";
static_assert(sizeof verdict - 1 == sizeof result_message_storage);

void initialize() { rt::initialize(initial_values); }

rt::Program program{"impair", initialize};

// Procedures, in the order the dialogue runs them. At end of input the accept ends the
// run with status 0, so the loop never outlives its input.
enum Label : int32_t { kReadNumber = 1, kDivideNumbers, kChooseMessage };
void divide_numbers();

void read_number() {
  rt::new_display(0, 0, {prompt});
  rt::accept(typed_number);
  program.perform(kDivideNumbers, divide_numbers);
}

void divide_numbers() {
  rt::div_quotient(typed_number, two, quotient, rt::kKeepOnSizeError);
  rt::div_remainder(remainder, rt::kKeepOnSizeError);
  rt::new_display(0, 1, {remainder});
  if (rt::cmp_numdisp(remainder_storage, 1, 0) != 0) std::memcpy(odd_flag_storage, "01", 2);
}

void choose_message() { std::memcpy(result_message_storage, verdict, 30); }

// The main sequence.
void procedure() {
  program.perform_until(kReadNumber, read_number, [] { return rt::cmp_numdisp(odd_flag_storage, 2, 1) == 0; });
  program.perform(kChooseMessage, choose_message);
  rt::new_display(0, 1, {result_message});
  rt::stop_run(program.return_code());
}

}  // namespace

int factor_(int entry) { return program.run(entry, procedure); }
int factor() { return factor_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"impair",
                          "Demande un nombre impair sur l'entr\xE9"
                          "e standard jusqu'\xE0 en obtenir un, en\n"
                          "\xE9"
                          "crivant le reste de chaque r\xE9ponse divis\xE9"
                          "e par 2.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(factor());
}
