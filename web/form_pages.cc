// The pages of the forms.
#include "web/form_pages.h"

#include "web/html.h"

namespace fleet::web {
namespace {

std::string hidden_csrf(const std::string& csrf) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + escaped(csrf) + "\">\n";
}

// "LUNDI" as a label writes it: "lundi".
std::string day_word(size_t day) {
  std::string name = layout::kDayNames[day];
  for (char& c : name) c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// A text field named as its column, its message beside it (tied to it for a reader of
// the screen), the value typed kept; the first field refused takes the focus.
std::string input(const ArticleForm& form, size_t column, const char* mode, bool* focus_taken) {
  const std::string name = csv::kColumns[column];
  const std::string& problem = form.problem[column];
  std::string html = "<input id=\"" + name + "\" name=\"" + name + "\" inputmode=\"" + mode +
                     "\" autocomplete=\"off\" value=\"" + escaped(form.typed[column]) + "\"";
  if (column == 0)
    html += " size=\"10\" aria-required=\"true\"";
  else
    html += " size=\"8\"";
  const bool focus = !*focus_taken && (form.ok() ? column == 0 : !problem.empty());
  if (focus) {
    html += " autofocus";
    *focus_taken = true;
  }
  if (!problem.empty()) html += " aria-invalid=\"true\" aria-describedby=\"" + name + "-erreur\"";
  html += ">";
  if (!problem.empty()) html += " <span class=\"error\" id=\"" + name + "-erreur\">" + escaped(problem) + "</span>";
  return html;
}

std::string file_select(const std::vector<FileChoice>& files) {
  std::string html =
      "<div class=\"field\"><label for=\"fichier\">Fichier</label> <select id=\"fichier\" name=\"fichier\">";
  for (const FileChoice& choice : files) {
    html += "<option value=\"" + std::to_string(choice.file) + "\">" + escaped(choice.shown) + "</option>";
  }
  return html + "</select></div>\n";
}

std::string time_text(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S", &local);
  return text;
}

}  // namespace

std::string article_form_page(const PeriodView& period, const ArticleFormView& view) {
  const ArticleForm& form = view.form;
  const std::string title =
      view.correcting ? "Corriger l'article « " + escaped(form.typed[0]) + " »" : std::string("Saisir un article");
  std::string main = "<h1>" + title + "</h1>\n";
  main += "<p>Fichier : « " + escaped(view.file) + " ».</p>\n";
  if (!view.outcome.empty()) main += view.outcome;
  if (!form.ok()) {
    size_t refused = 0;
    for (const std::string& problem : form.problem) refused += !problem.empty();
    main += "<p class=\"warning\" role=\"alert\">L'article n'est pas enregistré : " + std::to_string(refused) +
            (refused > 1 ? " champs sont à corriger" : " champ est à corriger") + ", le message est à côté.</p>\n";
  }
  main += "<form method=\"post\" action=\"" + escaped(view.action) + "\">\n" + hidden_csrf(view.csrf);
  bool focus = false;
  if (!view.correcting) {
    main += "<div class=\"field\"><label for=\"immatriculation\">Immatriculation</label> " +
            input(form, 0, "text", &focus) + "</div>\n";
  }
  // Correcting, the plate is the car's and no field: the week takes the focus.
  const bool week_focus = view.correcting && form.ok();
  focus = focus || week_focus;
  std::string week = input(form, 1, "numeric", &focus);
  if (week_focus) week.insert(week.find('>'), " autofocus");
  main += "<div class=\"field\"><label for=\"semaine\">Semaine (0 à 99)</label> " + week + "</div>\n";
  main +=
      "<table class=\"days\">\n<caption>Kilomètres et frais de chaque jour (vide : 0 ; frais avec une virgule ou un "
      "point)</caption>\n<thead><tr><th scope=\"col\">Jour</th><th scope=\"col\">Kilomètres</th>"
      "<th scope=\"col\">Frais</th></tr></thead>\n<tbody>\n";
  for (size_t d = 0; d < layout::kDays; ++d) {
    const std::string day = day_word(d);
    const size_t km = 2 + 2 * d;
    std::string shown_day = day;
    shown_day[0] = static_cast<char>(shown_day[0] - 'a' + 'A');
    main += "<tr><th scope=\"row\">" + shown_day + "</th><td><label class=\"hidden-label\" for=\"" + csv::kColumns[km] +
            "\">Kilomètres du " + day + "</label>" + input(form, km, "numeric", &focus) +
            "</td><td><label class=\"hidden-label\" for=\"" + csv::kColumns[km + 1] + "\">Frais du " + day +
            "</label>" + input(form, km + 1, "decimal", &focus) + "</td></tr>\n";
  }
  main += "</tbody>\n</table>\n<button type=\"submit\">" +
          std::string(view.correcting ? "Enregistrer la correction" : "Enregistrer l'article") + "</button>\n</form>\n";
  return page_document(view.correcting ? "Corriger un article" : "Saisie", view.correcting ? "" : "/saisie", &period,
                       main);
}

std::string delete_page(const PeriodView& period, const Article& article, size_t file, const std::string& csrf) {
  const std::string plate = plate_html(article.plate);
  std::string main = "<h1>Supprimer l'article « " + plate + " » ?</h1>\n<p>L'article de la semaine " +
                     std::to_string(article.week) + " (" + std::to_string(article.mileage()) + " km, " +
                     money(article.cents()) + " de frais) sera retiré du fichier « " + escaped(period.files[file]) +
                     " ». La liste des modifications permettra de l'y remettre.</p>\n";
  main += "<form method=\"post\" action=\"" + escaped(car_address(article.plate)) + "/supprimer\">\n" +
          hidden_csrf(csrf) + "<input type=\"hidden\" name=\"fichier\" value=\"" + std::to_string(file) +
          "\">\n<button type=\"submit\" class=\"danger\">Supprimer l'article</button> <a href=\"" +
          escaped(car_address(article.plate)) + "\">Non, revenir à la voiture</a>\n</form>\n";
  return page_document("Supprimer un article", "", &period, main);
}

std::string changes_page(const PeriodView& period, const std::vector<ChangeRecord>& changes, const std::string& csrf) {
  std::string main = "<h1>Modifications récentes</h1>\n<p>Les " + std::to_string(ChangeLog::kKept) +
                     " dernières modifications faites par ce serveur depuis son démarrage, la plus récente d'abord ; "
                     "chacune est aussi écrite dans son journal (sa sortie d'erreur), avec les lignes qui l'annulent."
                     "</p>\n";
  if (changes.empty())
    return page_document("Modifications", "/modifications", &period, main + "<p>Aucune modification.</p>\n");
  main +=
      "<div class=\"table\"><table>\n<thead><tr><th scope=\"col\">N°</th><th scope=\"col\">Quand</th>"
      "<th scope=\"col\">Qui</th><th scope=\"col\">Fichier</th><th scope=\"col\">Quoi</th>"
      "<th scope=\"col\">Annuler</th></tr></thead>\n<tbody>\n";
  for (const ChangeRecord& change : changes) {
    const std::string n = std::to_string(change.number);
    main += "<tr><td class=\"n\">" + n + "</td><td>" + time_text(change.when) + "</td><td>" + escaped(change.who) +
            "</td><td>" + escaped(change.file_shown) + "</td><td>" + escaped(change.what) + "</td><td>";
    if (change.undo.empty()) {
      main += "—";
    } else {
      if (change.undone_by != 0) main += "annulée par la n° " + std::to_string(change.undone_by) + " ";
      main += "<form method=\"post\" action=\"/modifications/" + n + "/annuler\">" + hidden_csrf(csrf) +
              "<button type=\"submit\" aria-label=\"Annuler la modification " + n + "\">Annuler</button></form>" +
              "<a href=\"/modifications/" + n + "/annulation.csv\" download>lignes CSV</a>";
    }
    main += "</td></tr>\n";
  }
  main += "</tbody>\n</table></div>\n";
  return page_document("Modifications", "/modifications", &period, main);
}

std::string import_page(const PeriodView& period, const ImportView& view) {
  std::string main = "<h1>Importer des articles</h1>\n";
  if (view.done) {
    main += "<h2>Ce qu'a dit l'import</h2>\n<pre id=\"compte-rendu\">";
    for (const std::string& line : view.said) main += escaped(line) + "\n";
    main += "</pre>\n";
  }
  if (view.files.empty()) {
    return page_document("Import", "/import", &period,
                         main + "<p>Aucun fichier de la période ne peut être modifié par ce serveur.</p>\n");
  }
  main +=
      "<p>Un fichier CSV ou JSON au format de l'export (fleet export) : chaque ligne refusée est dite, avec son "
      "numéro.</p>\n<form method=\"post\" action=\"/import\" enctype=\"multipart/form-data\">\n" +
      hidden_csrf(view.csrf) +
      "<div class=\"field\"><label for=\"articles\">Fichier à importer</label> <input type=\"file\" id=\"articles\" "
      "name=\"articles\" accept=\".csv,.json,text/csv,application/json\"></div>\n" +
      file_select(view.files) +
      "<div class=\"field\"><input type=\"checkbox\" id=\"remplacer\" name=\"remplacer\" value=\"oui\"> <label "
      "for=\"remplacer\">remplacer les articles des mêmes immatriculations</label></div>\n"
      "<button type=\"submit\">Importer</button>\n</form>\n";
  return page_document("Import", "/import", &period, main);
}

std::string archive_page(const PeriodView& period, const ArchiveView& view) {
  std::string main = "<h1>Archiver un fichier</h1>\n";
  if (!view.said.empty()) main += "<p class=\"notice\" role=\"status\">" + escaped(view.said) + "</p>\n";
  if (view.folder.empty()) {
    return page_document("Archive", "/archive", &period,
                         main +
                             "<p>L'archive depuis le navigateur demande que fleet serve ait été démarré avec "
                             "--archives DOSSIER (le dossier où vont les archives).</p>\n");
  }
  if (view.files.empty()) {
    return page_document("Archive", "/archive", &period,
                         main + "<p>Aucun fichier SQLite de la période ne peut être modifié par ce serveur.</p>\n");
  }
  main += "<p>Tous les articles du fichier choisi seront déplacés dans un nouveau fichier du dossier « " +
          escaped(view.folder) +
          " » ; le fichier reste, vide, pour les semaines suivantes. Un article enregistré pendant le déplacement "
          "reste dans le fichier.</p>\n<form method=\"post\" action=\"/archive\">\n" +
          hidden_csrf(view.csrf) + file_select(view.files) +
          "<div class=\"field\"><label for=\"nom\">Nom de l'archive</label> <input id=\"nom\" name=\"nom\" "
          "aria-describedby=\"nom-aide\" value=\"" +
          escaped(view.name) +
          "\"> <span id=\"nom-aide\">lettres, chiffres, . _ -, 64 caractères au plus, sans point au début</span>"
          "</div>\n<button type=\"submit\" class=\"danger\">Déplacer les articles</button>\n</form>\n";
  return page_document("Archive", "/archive", &period, main);
}

std::string outcome_page(const PeriodView& period, const std::string& title, const std::string& html) {
  return page_document(title, "", &period, "<h1>" + escaped(title) + "</h1>\n" + html);
}

}  // namespace fleet::web
