// civil: splits a typed 15-character personal registration number into its seven
// labelled parts, by position only.
#include "programs/usage.h"
#include "runtime/rt.h"

namespace {

// Fields: the registration number and its seven parts, over the same 15 bytes.
char registration_number_storage[15];
constexpr rt::Field registration_number = rt::group(registration_number_storage);
constexpr rt::Field sex = rt::numeric<1>(registration_number_storage + 0);
constexpr rt::Field birth_year = rt::numeric<2>(registration_number_storage + 1);
constexpr rt::Field birth_month = rt::numeric<2>(registration_number_storage + 3);
constexpr rt::Field birth_department = rt::alphanumeric(registration_number_storage + 5, 2);
constexpr rt::Field commune = rt::numeric<3>(registration_number_storage + 7);
constexpr rt::Field register_code = rt::numeric<3>(registration_number_storage + 10);
constexpr rt::Field control_key = rt::numeric<2>(registration_number_storage + 13);

constexpr rt::Initial initial_values[] = {
    {sex}, {birth_year}, {birth_month}, {birth_department}, {commune}, {register_code}, {control_key},
};

// Literals (Latin-1: 0xE9 is e-acute, 0xF4 o-circumflex).
constexpr rt::Item prompt = rt::literal("Tapez votre num\xE9ro CIVIL : ");
constexpr rt::Item sex_label = rt::literal("Sexe : ");
constexpr rt::Item birth_year_label = rt::literal(
    "Ann\xE9"
    "e de naissance : ");
constexpr rt::Item birth_month_label = rt::literal("Mois de naissance : ");
constexpr rt::Item birth_department_label = rt::literal("D\xE9partement de naissance : ");
constexpr rt::Item commune_label = rt::literal("Commune : ");
constexpr rt::Item register_code_label = rt::literal("Code registre : ");
constexpr rt::Item control_key_label = rt::literal("Cl\xE9 de contr\xF4le : ");

void initialize() { rt::initialize(initial_values); }

rt::Program program{"civil", initialize};

// The procedure: one straight run.
void procedure() {
  rt::new_display(0, 0, {prompt});
  rt::accept(registration_number);
  rt::new_display(0, 1, {sex_label, sex});
  rt::new_display(0, 1, {birth_year_label, birth_year});
  rt::new_display(0, 1, {birth_month_label, birth_month});
  rt::new_display(0, 1, {birth_department_label, birth_department});
  rt::new_display(0, 1, {commune_label, commune});
  rt::new_display(0, 1, {register_code_label, register_code});
  rt::new_display(0, 1, {control_key_label, control_key});
  rt::stop_run(program.return_code());
}

}  // namespace

int civil_(int entry) { return program.run(entry, procedure); }
int civil() { return civil_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"civil",
                          "Lit un num\xE9ro d'inscription de 15 caract\xE8res sur l'entr\xE9"
                          "e standard et \xE9"
                          "crit\n"
                          "ses sept parties : sexe, ann\xE9"
                          "e et mois de naissance, d\xE9partement, commune,\n"
                          "code registre et cl\xE9 de contr\xF4le.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(civil());
}
