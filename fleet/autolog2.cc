// autolog2: shows the status of opening the fleet's article file for input and the
// plate of its first article in plate order.
#include "fleet/article.h"
#include "programs/usage.h"

namespace {

using namespace fleet;

// Fields: the record area and file-status of the article file, nothing else.
constexpr rt::Initial initial_values[] = {{file_status}};

constexpr rt::Item end_message = rt::literal("fin de traitement");

// Procedures, by label number.
enum : int32_t { kFileErrorPath = 1 };

void initialize() {
  rt::initialize(initial_values);
  declare_article_file("articles");
}
void close_files() { rt::close(article_file, rt::kCloseNormal, nullptr); }

rt::Program program{"autolog2", initialize, close_files};

// The file error path, performed after a failed file operation.
void file_error_path() { rt::file_error_path(program, kFileErrorPath); }
void after_file_operation() {
  if (rt::exception_code != 0) program.perform(kFileErrorPath, file_error_path);
}

// The main sequence: one pass from the open to the stop.
void procedure() {
  rt::exception_code = 0;
  rt::open(article_file, rt::kOpenInput, 0, &file_status);
  after_file_operation();
  rt::new_display(0, 1, {file_status});
  rt::exception_code = 0;
  rt::read(article_file, nullptr, &file_status, rt::kReadNext);
  after_file_operation();
  rt::new_display(0, 1, {plate});
  rt::exception_code = 0;
  rt::close(article_file, rt::kCloseNormal, &file_status);
  after_file_operation();
  rt::new_display(0, 1, {end_message});
  rt::stop_run(program.return_code());
}

}  // namespace

int autolog2_(int entry) { return program.run(entry, procedure); }
int autolog2() { return autolog2_(0); }

// What --help says of this program (Latin-1, like its dialogue).
constexpr rt::Usage usage{"autolog2",
                          "Ouvre le fichier d'articles de la flotte en lecture, \xE9"
                          "crit le code d'\xE9tat de\n"
                          "l'ouverture et l'immatriculation du premier article dans l'ordre des plaques.\n"
                          "Ne lit rien sur l'entr\xE9"
                          "e standard.\n"
                          "Le fichier est nomm\xE9 par la variable d'environnement fichier (un chemin,\n"
                          "ou une URI postgresql://) ; sans elle, c'est ./fichier.\n",
                          programs::kUsage};

int main(int argc, char** argv) {
  rt::init(argc, argv, usage);
  rt::stop_run(autolog2());
}
