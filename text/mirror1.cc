// mirror1: reads a sentence, lays out its non-space characters forwards and
// backwards, shows both and says whether they are the same.
#include <cstring>

#include "programs/usage.h"
#include "runtime/rt.h"
#include "runtime/text_ops.h"

namespace {

// Fields.
char sentence_storage[255];
char forward_text_storage[255];
char backward_text_storage[255];
char verdict_storage[30];
char same_flag_storage[1];
char char_position_storage[3];
char text_pointer_storage[3];

constexpr rt::Field sentence = rt::alphanumeric(sentence_storage);
constexpr rt::Field forward_text = rt::alphanumeric(forward_text_storage);
constexpr rt::Field backward_text = rt::alphanumeric(backward_text_storage);
constexpr rt::Field verdict = rt::alphanumeric(verdict_storage);
constexpr rt::Field same_flag = rt::numeric<1>(same_flag_storage);
constexpr rt::Field char_position = rt::numeric<3>(char_position_storage);
constexpr rt::Field text_pointer = rt::numeric<3>(text_pointer_storage);

constexpr rt::Initial initial_values[] = {
    {sentence},
    {forward_text},
    {backward_text},
    {verdict},
    {same_flag},
    {char_position, rt::number("1")},
    {text_pointer, rt::number("1")},
};

// Literals.
constexpr rt::Item prompt = rt::literal("Saisissez une phrase : ");
constexpr rt::Item sentence_label = rt::literal("MOT SAISI : ");
constexpr rt::Item forward_label = rt::literal("MOT DEPART : ");
constexpr rt::Item backward_label = rt::literal("MOT ARRIVEE : ");
constexpr rt::Item end_line = rt::literal("FIN DU TRAITEMENT");
constexpr rt::Item one = rt::number("1");

// The verdicts as the move into `verdict` leaves them: padded to its 30 characters.
constexpr char palindrome[] = "C'EST UN PALINDROME           ";
constexpr char not_palindrome[] = "CE N'EST PAS UN PALINDROME    ";
static_assert(sizeof palindrome - 1 == sizeof verdict_storage);
static_assert(sizeof not_palindrome - 1 == sizeof verdict_storage);

void initialize() { rt::initialize(initial_values); }

rt::Program program{"mirror1", initialize};

// Label numbers of the performed procedures.
enum : int32_t {
  kReadSentence = 1,
  kCheckSentence,
  kCopyForward,
  kCopyBackward,
  kCompareTexts,
  kSetVerdict,
};

void copy_forward();
void copy_backward();
void compare_texts();
void set_verdict();

// Writes one character at `text-pointer` of destination; the pointer grows by 1.
void append(const rt::Field& destination, rt::Item character) {
  rt::string_init(destination, text_pointer);
  rt::string_delimited(rt::kBySize);
  rt::string_append(character);
  rt::string_finish();
}

rt::Item current_character() {
  return rt::character_at(sentence, rt::get_numdisp(char_position.storage, char_position.size));
}

void read_sentence() {
  rt::new_display(0, 0, {prompt});
  rt::accept(sentence);
  rt::new_display(0, 1, {sentence_label, sentence});
}

void check_sentence() {
  program.perform_until(kCopyForward, copy_forward,
                        [] { return rt::cmp_numdisp(char_position.storage, char_position.size, 255) > 0; });
  std::memcpy(char_position_storage, "255", 3);
  std::memcpy(text_pointer_storage, "001", 3);
  program.perform_until(kCopyBackward, copy_backward,
                        [] { return rt::cmp_numdisp(char_position.storage, char_position.size, 0) == 0; });
  program.perform(kCompareTexts, compare_texts);
  program.perform(kSetVerdict, set_verdict);
}

void copy_forward() {
  const rt::Item character = current_character();
  if (character.storage[0] != ' ') append(forward_text, character);
  rt::add(char_position, one, rt::kKeepOnSizeError);
}

void copy_backward() {
  const rt::Item character = current_character();
  if (character.storage[0] != ' ') append(backward_text, character);
  rt::sub(char_position, one, rt::kKeepOnSizeError);
}

void compare_texts() {
  rt::new_display(0, 1, {forward_label, forward_text});
  rt::new_display(0, 1, {backward_label, backward_text});
  const bool same = std::memcmp(forward_text_storage, backward_text_storage, 255) == 0;
  same_flag_storage[0] = same ? '1' : '0';
}

void set_verdict() {
  const bool same = rt::cmp_numdisp(same_flag.storage, same_flag.size, 0) != 0;
  std::memcpy(verdict_storage, same ? palindrome : not_palindrome, sizeof verdict_storage);
}

// The main sequence.
void procedure() {
  program.perform(kReadSentence, read_sentence);
  program.perform(kCheckSentence, check_sentence);
  rt::new_display(0, 1, {verdict});
  rt::new_display(0, 1, {end_line});
  rt::stop_run(program.return_code());
}

}  // namespace

int mirror_(int entry) { return program.run(entry, procedure); }
int mirror() { return mirror_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"mirror1",
                          "Lit une phrase sur l'entr\xE9"
                          "e standard, l'\xE9"
                          "crit sans ses espaces \xE0 l'endroit\n"
                          "puis \xE0 l'envers, et dit si c'est un palindrome.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(mirror());
}
