// sieve: reads a word and prints a six-character code made from it: its first
// character, then its later characters with the vowels taken out and every letter
// equal to the one kept just before it dropped.
#include <cstring>

#include "programs/usage.h"
#include "runtime/rt.h"
#include "runtime/text_ops.h"

namespace {

// Fields.
char typed_word_storage[30];
char reduced_word_storage[30];
char reduced_code_storage[6];
char current_letter;  // handed to the runtime only as a one-character field
char letter_index_storage[2];
char write_position_storage[2];
char last_position_storage[1];
char vowel_table_storage[12];  // twelve one-character items
char blank_table_storage[12];

constexpr rt::Field typed_word = rt::alphanumeric(typed_word_storage);
constexpr rt::Field reduced_word = rt::alphanumeric(reduced_word_storage);
constexpr rt::Field reduced_code = rt::alphanumeric(reduced_code_storage);
constexpr rt::Field letter_index = rt::numeric<2>(letter_index_storage);
constexpr rt::Field write_position = rt::numeric<2>(write_position_storage);
constexpr rt::Field last_position = rt::numeric<1>(last_position_storage);
constexpr rt::Field vowel_table = rt::group(vowel_table_storage);
constexpr rt::Field blank_table = rt::alphanumeric(blank_table_storage);

constexpr rt::Initial initial_values[] = {
    {typed_word},
    {reduced_word},
    {reduced_code},
    {rt::alphanumeric(&current_letter, 1)},
    {letter_index, rt::number("2")},
    {write_position, rt::number("2")},
    {last_position, rt::number("2")},
    {vowel_table, rt::literal("AEIOUYaeiouy")},
    {blank_table},
};

// Literals (Latin-1: 0xE9 is e-acute).
constexpr rt::Item prompt = rt::literal("Saisissez un mot : ");
constexpr rt::Item code_label = rt::literal("Mot consonn\xE9 : ");
constexpr rt::Item end_line = rt::literal("FIN DU TRAITEMENT");
constexpr rt::Item one = rt::number("1");

void initialize() { rt::initialize(initial_values); }

rt::Program program{"sieve", initialize};

// Label numbers of the performed procedures.
enum : int32_t {
  kReadWord = 1,
  kReduceWord,
  kTakeLetter,
  kCutCode,
};

void take_letter();
void cut_code();

int64_t value(const rt::Field& field) { return rt::get_numdisp(field.storage, field.size); }

void read_word() {
  rt::new_display(0, 0, {prompt});
  rt::accept(typed_word);
}

void reduce_word() {
  // The vowels after the first occurrence of the first character (position 1 itself)
  // become spaces; the first character stays as typed.
  rt::inspect_init(typed_word, 0);
  rt::inspect_start();
  rt::inspect_after(rt::character_at(typed_word, 1));
  rt::inspect_converting(vowel_table, blank_table);
  rt::inspect_finish();
  rt::move(rt::character_at(typed_word, 1), reduced_word);
  // Positions 2 to 29: position 30 is never examined.
  program.perform_until(kTakeLetter, take_letter,
                        [] { return rt::cmp_numdisp(letter_index.storage, letter_index.size, 30) == 0; });
  program.perform(kCutCode, cut_code);
}

void take_letter() {
  current_letter = typed_word_storage[value(letter_index) - 1];
  if (rt::cmp_numdisp(write_position.storage, write_position.size, 10) < 0) {
    rt::move(write_position, last_position);
  }
  // From 0 this is a size error: `last-position` stays 0.
  rt::sub(last_position, one, rt::kKeepOnSizeError);
  // Position 0 lies outside `reduced-word`: nothing there to match.
  const int64_t last = value(last_position);
  if (last >= 1 && current_letter == reduced_word_storage[last - 1]) current_letter = ' ';
  if (current_letter != ' ' || rt::cmp_numdisp(write_position.storage, write_position.size, 6) == 0) {
    rt::string_init(reduced_word, write_position);
    rt::string_delimited(rt::kBySize);
    rt::string_append(rt::alphanumeric(&current_letter, 1));
    rt::string_finish();
  }
  rt::add(letter_index, one, rt::kKeepOnSizeError);
}

// The first six characters of `reduced-word`, copied as they stand.
void cut_code() { std::memcpy(reduced_code_storage, reduced_word_storage, 6); }

// The main sequence.
void procedure() {
  program.perform(kReadWord, read_word);
  program.perform(kReduceWord, reduce_word);
  rt::new_display(0, 1, {code_label, reduced_code});
  rt::new_display(0, 1, {end_line});
  rt::stop_run(program.return_code());
}

}  // namespace

int sieve_(int entry) { return program.run(entry, procedure); }
int sieve() { return sieve_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"sieve",
                          "Lit un mot sur l'entr\xE9"
                          "e standard et \xE9"
                          "crit son code de six caract\xE8res : sa\n"
                          "premi\xE8re lettre, puis les suivantes sans voyelles ni lettres r\xE9p\xE9t\xE9"
                          "es.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(sieve());
}
