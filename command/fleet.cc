// fleet: the fleet's article file for its users. One command a run: list, show,
// export, import, stats, check, backup, report, and the changes delete and archive; the
// file named as for autolog, or for the reading commands a period of several (-f
// repeated, or a folder).
//
// The command line is read by CLI11 (subcommands, their options and their help);
// its own messages, which are English, are replaced by French ones here.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <new>

#include "command/commands.h"
#include "command/users.h"
#include "programs/package.h"
#include "web/serve.h"

namespace {

using fleet::Context;

constexpr char kUsage[] = "usage : fleet [-f FICHIER]... COMMANDE [OPTIONS]   (fleet --help pour l'aide)";

// The article file: -f, or the environment variable fichier, or ./fichier.
std::string default_file() {
  const char* named = std::getenv("fichier");
  return named != nullptr && *named != '\0' ? named : "fichier";
}

// What follows the first ": " of a CLI11 message: the arguments it names.
std::string named_in(const std::string& message) {
  const size_t colon = message.find(": ");
  return colon == std::string::npos ? message : message.substr(colon + 2);
}
// What precedes it: the option it is about.
std::string option_in(const std::string& message) { return message.substr(0, message.find(':')); }

// A CLI11 parse error in French.
std::string french(const CLI::ParseError& error) {
  const std::string message = error.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) return "argument inattendu : " + named_in(message);
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    if (message.find("ubcommand") != std::string::npos) {
      return "il manque la commande (list, show, export, import, stats, check, backup, report, delete, archive, "
             "serve ou users)";
    }
    return "il manque " + message.substr(0, message.find(' '));
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr)
    return "il manque la valeur de " + option_in(message);
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr ||
      dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
    return "valeur refusée pour " + option_in(message);
  }
  return "ligne de commande incorrecte (" + message + ")";
}

void french_labels(CLI::App& app) {
  const auto formatter = app.get_formatter();
  formatter->label("Usage", "Utilisation ");
  formatter->label("OPTIONS", "OPTIONS");
  formatter->label("SUBCOMMAND", "COMMANDE");
  formatter->label("SUBCOMMANDS", "COMMANDES");
  formatter->label("Positionals", "Paramètres ");
  formatter->label("REQUIRED", "(obligatoire)");
  formatter->column_width(24);
}

}  // namespace

int main(int argc, char** argv) {
  Context context;
  context.charset = charset::chosen_charset(programs::kCharsetVariable);
  context.file = default_file();

  CLI::App app(
      "Consulter, exporter, importer, vérifier, sauvegarder et tracer le fichier d'articles de la flotte "
      "(celui d'autolog : la variable fichier, sinon ./fichier, ou une URI PostgreSQL).\n"
      "Statut de sortie : 0 fait, 1 quelque chose n'a pas été fait, 2 mauvaise utilisation.\n",
      "fleet");
  french_labels(app);
  app.option_defaults()->group("Options ");
  app.set_help_flag("-h,--help", "afficher cette aide et quitter")->group("Options ");
  app.set_version_flag("--version", "fleet " FLEET_VERSION, "afficher la version et quitter")->group("Options ");
  std::vector<std::string> named;
  app.add_option("-f,--file", named,
                 "fichier d'articles (chemin ou URI postgresql://...) ; répété, ou un dossier, pour lire une période")
      ->type_name("FICHIER")
      ->allow_extra_args(false)
      ->group("Options ");
  app.require_subcommand(1);
  app.fallthrough();
  auto command = [&](const char* name, const char* what) {
    CLI::App* sub = app.add_subcommand(name, what);
    sub->group("Commandes ");
    sub->set_help_flag("-h,--help", "afficher cette aide et quitter")->group("Options ");
    french_labels(*sub);
    return sub;
  };

  CLI::App* list = command("list", "une ligne par article, dans l'ordre des immatriculations");
  std::string plate;
  CLI::App* show = command("show", "l'article d'une immatriculation, jour par jour");
  show->add_option("IMMATRICULATION", plate, "l'immatriculation (8 caractères au plus)")->required()->type_name("");
  std::string format = "csv";
  std::string separator = ",";
  CLI::App* export_ =
      command("export", "tous les articles en CSV (UTF-8), en JSON ou en classeur xlsx, sur la sortie standard");
  export_->add_option("--format", format, "csv (par défaut), json ou xlsx")->type_name("FORMAT")->group("Options ");
  export_->add_option("--separator", separator, "séparateur du CSV : , (par défaut) ou ; pour un tableur français")
      ->type_name("SEP")
      ->group("Options ");
  std::vector<std::string> plates;
  export_->add_option("--plate", plates, "seulement l'article de cette immatriculation (répétable)")
      ->type_name("IMMAT")
      ->allow_extra_args(false)
      ->group("Options ");
  std::string source = "-";
  CLI::App* import =
      command("import", "ajoute les articles d'un CSV ou d'un JSON au format de l'export (- : l'entrée standard)");
  import->add_option("FICHIER", source, "le CSV ou le JSON à lire (par défaut l'entrée standard)")->type_name("");
  bool replace = false;
  import
      ->add_flag("--replace", replace,
                 "chaque ligne prend la place de l'article de son immatriculation (ajouté s'il n'y en a pas) ; ce "
                 "qui est remplacé est écrit en CSV sur la sortie standard")
      ->group("Options ");
  CLI::App* stats = command("stats", "les chiffres de la flotte : prix de revient, semaine la plus roulée...");
  CLI::App* check = command("check", "vérifie l'intégrité et la forme du fichier d'articles");
  std::string destination;
  CLI::App* backup = command("backup", "copie cohérente d'un fichier d'articles local (DEST ne doit pas exister)");
  backup->add_option("DEST", destination, "le fichier à créer")->required()->type_name("");
  std::vector<std::string> doomed;
  CLI::App* delete_ = command("delete", "supprime des articles et les écrit en CSV sur la sortie standard");
  delete_->add_option("IMMATRICULATION", doomed, "les immatriculations (8 caractères au plus)")
      ->required()
      ->type_name("");
  std::string archive_to;
  CLI::App* archive =
      command("archive", "déplace tous les articles dans DEST, un nouveau fichier : le fichier reste pour la suite");
  archive->add_option("DEST", archive_to, "le fichier à créer, ou l'URI d'une autre table de la même base")
      ->required()
      ->type_name("");
  std::string page;
  CLI::App* report = command("report", "une page HTML autonome avec les chiffres et des graphiques");
  report->add_option("--html", page, "la page à écrire (- : la sortie standard)")
      ->required()
      ->type_name("SORTIE.html")
      ->group("Options ");
  fleet::web::ServeOptions serving;
  CLI::App* serve = command("serve", "les pages de la flotte pour un navigateur, sur cette machine, derrière un jeton");
  serve->add_option("-f,--file", serving.files, "un fichier de la période (répétable ; par défaut celui de fleet)")
      ->type_name("FICHIER")
      ->group("Options ");
  serve->add_option("--archives", serving.archives, "le dossier où la page d'archive déplace les articles d'un fichier")
      ->type_name("DOSSIER")
      ->group("Options ");
  serve->add_option("--listen", serving.listen, "adresse et port (127.0.0.1:8080 par défaut ; port 0 : un libre)")
      ->type_name("ADRESSE:PORT")
      ->group("Options ");
  serve
      ->add_option("--users", serving.users,
                   "fichier d'utilisateurs (fleet users add) : une connexion au lieu du jeton")
      ->type_name("FICHIER")
      ->group("Options ");
  serve
      ->add_option("--secret", serving.secret,
                   "secret des sessions, partagé par deux serveurs (créé s'il manque) ; sinon tiré au démarrage")
      ->type_name("FICHIER")
      ->group("Options ");
  serve->add_option("--tls-cert", serving.tls_cert, "certificat TLS (PEM) : le serveur répond en https")
      ->type_name("FICHIER")
      ->group("Options ");
  serve->add_option("--tls-key", serving.tls_key, "clé privée du certificat (PEM)")
      ->type_name("FICHIER")
      ->group("Options ");
  serve->add_option("--name", serving.names, "un nom de plus sous lequel répondre, HÔTE[:PORT] (répétable)")
      ->type_name("HÔTE")
      ->allow_extra_args(false)
      ->group("Options ");
  CLI::App* users = command("users", "les utilisateurs de fleet serve --users : add, remove, list");
  users->require_subcommand(1);
  std::string users_file, user_name, user_role = "saisie";
  auto users_command = [&](const char* name, const char* what) {
    CLI::App* sub = users->add_subcommand(name, what);
    sub->set_help_flag("-h,--help", "afficher cette aide et quitter")->group("Options ");
    french_labels(*sub);
    sub->add_option("--users", users_file, "le fichier d'utilisateurs")
        ->required()
        ->type_name("FICHIER")
        ->group("Options ");
    return sub;
  };
  CLI::App* users_add = users_command("add", "ajoute ou remplace un utilisateur ; son mot de passe est lu sans écho");
  users_add->add_option("NOM", user_name, "son nom (lettres, chiffres, . _ -)")->required()->type_name("");
  users_add->add_option("--role", user_role, "lecture, ou saisie (par défaut) : peut aussi modifier")
      ->type_name("RÔLE")
      ->group("Options ");
  CLI::App* users_remove = users_command("remove", "retire un utilisateur");
  users_remove->add_option("NOM", user_name, "son nom")->required()->type_name("");
  CLI::App* users_list = users_command("list", "les utilisateurs et leurs rôles");

  // The help and the version are output like any other: written whole, or 1 and a line.
  auto shown = [&](const std::string& utf8) {
    fleet::Output output(context);
    output.words(utf8);
    return output.finish() ? fleet::kDone : fleet::kNotDone;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return shown(app.help());
  } catch (const CLI::CallForAllHelp&) {
    return shown(app.help());
  } catch (const CLI::CallForVersion& version) {
    return shown(version.what() + std::string("\n"));
  } catch (const CLI::ParseError& error) {
    const std::vector<std::string> left = app.remaining();
    const bool unknown =
        dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && !left.empty() && app.get_subcommands().empty();
    context.complain(unknown ? "commande inconnue : " + left.front() : french(error));
    std::cerr << kUsage << "\n";
    return fleet::kWrongUsage;
  }
  if (export_->parsed() && (format != "csv" && format != "json" && format != "xlsx")) {
    context.complain("format inconnu : " + format + " (csv, json ou xlsx)");
    std::cerr << kUsage << "\n";
    return fleet::kWrongUsage;
  }
  if (export_->parsed() && separator != "," && separator != ";") {
    context.complain("séparateur refusé : " + separator + " (, ou ;)");
    std::cerr << kUsage << "\n";
    return fleet::kWrongUsage;
  }

  if (!named.empty()) context.file = named.front();
  context.files = named.empty() ? std::vector<std::string>{context.file} : named;
  if ((import->parsed() || backup->parsed() || delete_->parsed() || archive->parsed()) && named.size() > 1) {
    context.complain(std::string(import->parsed()    ? "import"
                                 : backup->parsed()  ? "backup"
                                 : delete_->parsed() ? "delete"
                                                     : "archive") +
                     " ne prend qu'un fichier d'articles (-f)");
    std::cerr << kUsage << "\n";
    return fleet::kWrongUsage;
  }

  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  // Memory a command could not get ends it with a line, its files closed as usual.
  try {
    if (list->parsed()) return fleet::list_articles(context);
    if (show->parsed()) return fleet::show_article(context, plate);
    if (export_->parsed() && format == "xlsx") return fleet::export_workbook(context, plates);
    if (export_->parsed()) return fleet::export_articles(context, format == "json", separator[0], plates);
    if (import->parsed()) return fleet::import_articles(context, source, replace);
    if (stats->parsed()) return fleet::show_stats(context);
    if (check->parsed()) return fleet::check_files(context);
    if (backup->parsed()) return fleet::backup_file(context, destination);
    if (report->parsed()) return fleet::write_report(context, page);
    if (delete_->parsed()) return fleet::delete_articles(context, doomed);
    if (archive->parsed()) return fleet::archive_file(context, archive_to);
    if (users_add->parsed()) return fleet::users_add(context, users_file, user_name, user_role);
    if (users_remove->parsed()) return fleet::users_remove(context, users_file, user_name);
    if (users_list->parsed()) return fleet::users_list(context, users_file);
    if (serve->parsed()) {
      if (serving.files.empty()) serving.files = context.files;
      return fleet::web::serve(context, serving);
    }
  } catch (const std::bad_alloc&) {
    context.complain("mémoire insuffisante : commande interrompue");
    return fleet::kNotDone;
  }
  return fleet::kWrongUsage;
}
