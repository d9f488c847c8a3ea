// autolog: adds articles to the fleet's article file. It shows the status of opening
// the file, then asks whether to go on and offers a menu of four choices, of which
// only 2, adding one car's weekly log, acts.
#include "fleet/article.h"
#include "programs/usage.h"

namespace {

using namespace fleet;

// Fields.
char reply_storage[1];
constexpr rt::Field reply = rt::alphanumeric(reply_storage);
char day_index_storage[1];
constexpr rt::Field day_index = rt::numeric<1>(day_index_storage);
constexpr uint32_t kDayNameWidth = 8;
char day_names_storage[7 * kDayNameWidth];
constexpr rt::Field day_names = rt::alphanumeric(day_names_storage, kDayNameWidth);  // entry 1

constexpr rt::Field day_name(int64_t d) { return rt::element(day_names, d, kDayNameWidth); }

constexpr rt::Initial initial_values[] = {
    {reply, rt::literal(" ")},
    {day_index, rt::number("1")},
    {day_name(1), rt::literal("LUNDI")},
    {day_name(2), rt::literal("MARDI")},
    {day_name(3), rt::literal("MERCREDI")},
    {day_name(4), rt::literal("JEUDI")},
    {day_name(5), rt::literal("VENDREDI")},
    {day_name(6), rt::literal("SAMEDI")},
    {day_name(7), rt::literal("DIMANCHE")},
    {file_status},
};

// Messages (Latin-1: 0xC0 is A-grave, 0xD9 U-grave, 0xC9 E-acute).
constexpr rt::Item question = rt::literal("PROCEDER \xC0 UN TRAITEMENT ? (o/n) : ");
constexpr rt::Item consult_choice = rt::literal("(1) - CONSULTER UN ARTICLE DONNE");
constexpr rt::Item add_choice = rt::literal("(2) - AJOUT D'UN ARTICLE");
constexpr rt::Item cost_price_choice = rt::literal("(3) - CALCUL DU PRIX DE REVIENT");
constexpr rt::Item busiest_week_choice = rt::literal("(4) - SEMAINE O\xD9 PLUS ROUL\xC9");
constexpr rt::Item quit_choice = rt::literal("(0) - QUITTER");
constexpr rt::Item choice_prompt = rt::literal("VOTRE CHOIX : ");
constexpr rt::Item week_prompt = rt::literal("NUMERO DE SEMAINE : ");
constexpr rt::Item plate_prompt = rt::literal("IMMATRICULATION : ");
constexpr rt::Item mileage_prompt = rt::literal("KILOMETRAGE : ");
constexpr rt::Item costs_prompt = rt::literal("FRAIS : ");
constexpr rt::Item end_message = rt::literal("PROGRAMME TERMINE !");
static_assert(question.size == 35 && busiest_week_choice.size == 27);

// Procedures, by label number.
enum : int32_t { kProcessStep = 1, kShowMenu, kAddArticle, kEnterDay, kEndRun, kFileErrorPath };
void process_step();
void show_menu();
void add_article();
void enter_day();
void end_run();

void initialize() {
  rt::initialize(initial_values);
  declare_article_file("ARTICLES");
}
void close_files() { rt::close(article_file, rt::kCloseNormal, nullptr); }

rt::Program program{"autolog", initialize, close_files};

// The file error path, performed after a failed file operation.
void file_error_path() { rt::file_error_path(program, kFileErrorPath); }
void after_file_operation() {
  if (rt::exception_code != 0) program.perform(kFileErrorPath, file_error_path);
}

bool reply_is(char upper, char lower) { return reply_storage[0] == upper || reply_storage[0] == lower; }
int64_t day() { return rt::get_numdisp(day_index_storage, 1); }

void process_step() {
  rt::new_display(0, 0, {question});
  rt::accept(reply, rt::kChoice);
  if (reply_is('O', 'o')) program.perform(kShowMenu, show_menu);
}

void show_menu() {
  rt::new_display(0, 1, {consult_choice});
  rt::new_display(0, 1, {add_choice});
  rt::new_display(0, 1, {cost_price_choice});
  rt::new_display(0, 1, {busiest_week_choice});
  rt::new_display(0, 1, {quit_choice});
  rt::new_display(0, 0, {choice_prompt});
  rt::accept(reply, rt::kChoice);
  switch (reply_storage[0]) {
    case '2':
      program.perform(kAddArticle, add_article);
      break;
    case '0':
      program.perform(kEndRun, end_run);
      break;
    default:  // 1, 3, 4 and any other choice do nothing
      break;
  }
}

void add_article() {
  rt::new_display(0, 0, {week_prompt});
  rt::accept(week_number);
  rt::new_display(0, 0, {plate_prompt});
  rt::accept(plate);
  rt::move(rt::number("1"), day_index);
  program.perform_until(kEnterDay, enter_day, [] { return rt::cmp_numdisp(day_index_storage, 1, 8) == 0; });
  rt::exception_code = 0;
  rt::write(article_file, record, 0, &file_status);
  after_file_operation();
}

void enter_day() {
  rt::new_display(0, 1, {day_name(day())});
  rt::new_display(0, 0, {mileage_prompt});
  rt::accept(rt::element(mileage, day(), kDayEntryWidth));
  rt::new_display(0, 0, {costs_prompt});
  rt::accept(rt::element(costs, day(), kDayEntryWidth));
  rt::add(day_index, rt::number("1"), rt::kKeepOnSizeError);
}

void end_run() {
  rt::exception_code = 0;
  rt::close(article_file, rt::kCloseNormal, &file_status);
  after_file_operation();
  rt::new_display(0, 1, {end_message});
  rt::stop_run(program.return_code());
}

// The main sequence.
void procedure() {
  rt::exception_code = 0;
  rt::open(article_file, rt::kOpenInputOutput, 1, &file_status);
  after_file_operation();
  rt::new_display(0, 1, {file_status});
  program.perform_until(kProcessStep, process_step, [] { return reply_is('N', 'n'); });
  end_run();
}

}  // namespace

int autolog_(int entry) { return program.run(entry, procedure); }
int autolog() { return autolog_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"autolog",
                          "Tient le fichier d'articles de la flotte : un article est le relev\xE9 d'une\n"
                          "voiture pour une semaine (immatriculation, semaine, kilom\xE8tres et frais de\n"
                          "chaque jour). Apr\xE8s une question o/n, un menu : le choix 2 ajoute un article.\n"
                          "Lit une r\xE9ponse par ligne sur l'entr\xE9"
                          "e standard.\n"
                          "Le fichier est nomm\xE9 par la variable d'environnement fichier (un chemin,\n"
                          "ou une URI postgresql://) ; sans elle, c'est ./fichier.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(autolog());
}
