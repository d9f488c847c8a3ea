// The routes of the forms.
#include "web/form_site.h"

#include <cstdio>
#include <cstdlib>

#include "charset/charset.h"
#include "operations/change.h"
#include "storage/postgres/postgres_storage.h"
#include "web/form_pages.h"
#include "web/html.h"

namespace fleet::web {
namespace {

constexpr char kHtml[] = "text/html; charset=utf-8";

void give(httplib::Response& res, int status, std::string page) {
  res.status = status;
  res.body = std::move(page);
  res.set_header("Content-Type", kHtml);
}

// A field of a form, url-encoded or multipart (an upload); empty when absent.
std::string field(const httplib::Request& req, const std::string& name) {
  if (req.has_file(name)) return req.get_file_value(name).content;
  return req.get_param_value(name);
}

std::string who_of(const Visitor& who) { return who.name.empty() ? "jeton" : who.name; }

std::string heading_line() { return csv::heading(',') + "\r\n"; }

// What an operation prints, caught in memory: its output (the undo rows) and its
// messages (one "fleet : " line each, UTF-8), for the page to show.
class Caught {
 public:
  Caught(const Context& base) : context_(base) {
    context_.charset = text::Charset::kUtf8;
    context_.out = ::open_memstream(&out_, &out_size_);
    context_.err = ::open_memstream(&err_, &err_size_);
  }
  ~Caught() {
    if (context_.out != nullptr) std::fclose(context_.out);
    if (context_.err != nullptr) std::fclose(context_.err);
    std::free(out_);
    std::free(err_);
  }
  Caught(const Caught&) = delete;
  Caught& operator=(const Caught&) = delete;

  bool ready() const { return context_.out != nullptr && context_.err != nullptr; }
  const Context& context() const { return context_; }
  std::string out() {
    std::fflush(context_.out);
    return {out_, out_size_};
  }
  std::vector<std::string> lines() {
    std::fflush(context_.err);
    std::vector<std::string> lines;
    const std::string_view all(err_, err_size_);
    for (size_t start = 0; start < all.size();) {
      const size_t end = std::min(all.find('\n', start), all.size());
      lines.emplace_back(all.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

 private:
  Context context_;
  char* out_ = nullptr;
  size_t out_size_ = 0;
  char* err_ = nullptr;
  size_t err_size_ = 0;
};

// A line of what an operation said, without the "fleet : " that opens it.
std::string words_of(const std::string& line) {
  constexpr std::string_view kLead = "fleet : ";
  return line.starts_with(kLead) ? line.substr(kLead.size()) : line;
}

std::string paragraphs(const std::vector<std::string>& lines) {
  std::string html;
  for (const std::string& line : lines) html += "<p>" + escaped(line) + "</p>\n";
  return html;
}

// A number of the address or a form (a file, a change), below most.
bool index_of(const std::string& text, size_t most, size_t* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoul(text);
  return *value < most;
}

// An archive's name: a plain file name in the folder, nothing that climbs out of it,
// hides or names a side file oddly.
bool plain_name(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (const char c : name) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

std::string done_notice(const std::string& done, const std::string& plate) {
  if (done == "saisie") return "Article « " + plate_html(plate) + " » enregistré.";
  if (done == "correction") return "Correction de l'article « " + plate_html(plate) + " » enregistrée.";
  return {};
}

bool FormSite::writer(const httplib::Request& req, httplib::Response& res, Visitor* who) {
  const std::optional<Visitor> found = host_.visitor(req);
  if (!found || !found->may_write) {
    give(res, 403,
         message_page("Modification refusée", "Votre accès permet de lire les articles, pas de les modifier."));
    return false;
  }
  *who = *found;
  return true;
}

bool FormSite::car_in_file(const httplib::Request& req, httplib::Response& res, std::string* plate, size_t* file,
                           Article* article) {
  if (!charset::to_latin1(req.matches[1].str(), plate) || plate->size() > layout::kPlate.width) {
    give(res, 404, message_page("Voiture introuvable", "Aucune immatriculation ne s'écrit ainsi."));
    return false;
  }
  plate->resize(layout::kPlate.width, ' ');
  if (!index_of(field(req, "fichier"), host_.data.file_count(), file)) {
    give(res, 404, message_page("Fichier introuvable", "Ce fichier n'est pas un de ceux de la période."));
    return false;
  }
  std::vector<CarWeek> weeks;
  std::string why;
  host_.data.car(*plate, &weeks, &why);
  for (const CarWeek& week : weeks) {
    if (week.file != *file) continue;
    *article = week.article;
    return true;
  }
  give(res, why.empty() ? 404 : 503,
       message_page("Article introuvable",
                    why.empty() ? "Ce fichier ne contient aucun article de cette voiture." : why));
  return false;
}

void FormSite::route() {
  httplib::Server& server = host_.server;
  const size_t files = host_.data.file_count();
  server.Get("/saisie", [this, files](const httplib::Request& req, httplib::Response& res) {
    Visitor who;
    if (!writer(req, res, &who)) return;
    if (files == 0) return give(res, 503, message_page("Saisie impossible", "La période n'a aucun fichier."));
    ArticleFormView view{"/saisie", who.csrf, {}, false, host_.data.shown_file(files - 1), {}};
    give(res, 200, article_form_page(host_.period, view));
  });
  host_.post("/saisie",
             [this](const Visitor& who, const httplib::Request& req, httplib::Response& res) { entry(who, req, res); });
  for (const char* action : {"corriger", "supprimer"}) {
    const std::string pattern = std::string(R"(/articles/([\s\S]+)/)") + action;
    const bool correcting = action[0] == 'c';
    server.Get(pattern, [this, correcting](const httplib::Request& req, httplib::Response& res) {
      Visitor who;
      std::string plate;
      size_t file = 0;
      Article article;
      if (!writer(req, res, &who) || !car_in_file(req, res, &plate, &file, &article)) return;
      if (!correcting) return give(res, 200, delete_page(host_.period, article, file, who.csrf));
      ArticleFormView view{car_address(plate) + "/corriger?fichier=" + std::to_string(file),
                           who.csrf,
                           form_of(article),
                           true,
                           host_.data.shown_file(file),
                           {}};
      give(res, 200, article_form_page(host_.period, view));
    });
    host_.post(pattern, [this, correcting](const Visitor& who, const httplib::Request& req, httplib::Response& res) {
      correcting ? correction(who, req, res) : deletion(who, req, res);
    });
  }
  server.Get("/modifications", [this](const httplib::Request& req, httplib::Response& res) {
    Visitor who;
    if (writer(req, res, &who)) give(res, 200, changes_page(host_.period, changes_.recent(), who.csrf));
  });
  server.Get(R"(/modifications/(\d{1,9})/annulation\.csv)", [this](const httplib::Request& req,
                                                                   httplib::Response& res) {
    Visitor who;
    if (!writer(req, res, &who)) return;
    const std::optional<ChangeRecord> change = changes_.find(std::stoull(req.matches[1].str()));
    if (!change || change->undo.empty()) {
      return give(res, 404, message_page("Modification introuvable", "Cette modification n'est plus dans la liste."));
    }
    res.set_header("Content-Disposition",
                   "attachment; filename=\"annulation-" + std::to_string(change->number) + ".csv\"");
    res.set_content(change->undo, "text/csv; charset=utf-8");
  });
  host_.post(R"(/modifications/(\d{1,9})/annuler)",
             [this](const Visitor& who, const httplib::Request& req, httplib::Response& res) { undo(who, req, res); });
  server.Get("/import", [this](const httplib::Request& req, httplib::Response& res) {
    Visitor who;
    if (!writer(req, res, &who)) return;
    ImportView view{who.csrf, {}, {}, false};
    for (size_t f = host_.data.file_count(); f-- > 0;) {
      if (host_.data.may_write(f)) view.files.push_back({f, host_.data.shown_file(f)});
    }
    give(res, 200, import_page(host_.period, view));
  });
  host_.post("/import", [this](const Visitor& who, const httplib::Request& req, httplib::Response& res) {
    import(who, req, res);
  });
  server.Get("/archive", [this](const httplib::Request& req, httplib::Response& res) {
    Visitor who;
    if (!writer(req, res, &who)) return;
    archive(who, req, res);
  });
  host_.post("/archive", [this](const Visitor& who, const httplib::Request& req, httplib::Response& res) {
    archive(who, req, res);
  });
}

void FormSite::entry(const Visitor& who, const httplib::Request& req, httplib::Response& res) {
  const size_t files = host_.data.file_count();
  if (files == 0) return give(res, 503, message_page("Saisie impossible", "La période n'a aucun fichier."));
  const size_t file = files - 1;  // new articles go to the period's last file
  ArticleFormView view{"/saisie",
                       who.csrf,
                       read_article_form([&](const std::string& name) { return field(req, name); }),
                       false,
                       host_.data.shown_file(file),
                       {}};
  if (!view.form.ok()) return give(res, 422, article_form_page(host_.period, view));
  const std::string record = encode(view.form.article);
  const std::string& plate = view.form.article.plate;
  storage::Result stored;
  bool same = false;  // the plate holds this very record: the same form sent again
  std::string why;
  const bool ran = host_.data.change(
      file, host_.context,
      [&](storage::Storage& articles, const Context&) {
        stored = articles.insert(record.data());
        if (stored.status != storage::FileStatus::kDuplicateKey) return;
        std::string held(layout::kRecordLength, '\0');
        same = articles.read_key(record.data(), held.data()).ok() && held == record;
      },
      &why);
  if (ran && (stored.ok() || same)) {
    if (!same) {
      std::string undo = heading_line();
      append_undo_row(undo, plate, nullptr);
      changes_.add({0, 0, who_of(who), file, view.file, "article « " + plate_utf8(plate) + " » enregistré", undo});
    }
    return res.set_redirect(car_address(plate) + "?fait=saisie", 303);
  }
  if (ran && stored.status == storage::FileStatus::kDuplicateKey) {
    view.outcome = "<p class=\"warning\" role=\"alert\">L'article n'est pas enregistré : l'immatriculation « " +
                   plate_html(plate) + " » est déjà enregistrée dans ce fichier. <a href=\"" +
                   escaped(car_address(plate)) + "\">Voir cette voiture</a> (pour la corriger).</p>\n";
    return give(res, 409, article_form_page(host_.period, view));
  }
  view.outcome = "<p class=\"warning\" role=\"alert\">L'article n'est pas enregistré : " +
                 escaped(ran ? failure_account(stored) : why) + "</p>\n";
  give(res, 503, article_form_page(host_.period, view));
}

void FormSite::correction(const Visitor& who, const httplib::Request& req, httplib::Response& res) {
  std::string plate;
  size_t file = 0;
  Article before;
  if (!car_in_file(req, res, &plate, &file, &before)) return;
  ArticleFormView view{car_address(plate) + "/corriger?fichier=" + std::to_string(file),
                       who.csrf,
                       read_article_form([&](const std::string& name) {
                         return name == csv::kColumns[0] ? plate_utf8(plate) : field(req, name);
                       }),
                       true,
                       host_.data.shown_file(file),
                       {}};
  if (!view.form.ok()) return give(res, 422, article_form_page(host_.period, view));
  const std::string record = encode(view.form.article);
  storage::Result stored;
  std::string replaced;
  std::string why;
  const bool ran = host_.data.change(
      file, host_.context,
      [&](storage::Storage& articles, const Context&) { stored = articles.replace(record.data(), &replaced); }, &why);
  if (!ran || !stored.ok()) {
    view.outcome = "<p class=\"warning\" role=\"alert\">La correction n'est pas enregistrée : " +
                   escaped(ran ? failure_account(stored) : why) + "</p>\n";
    return give(res, 503, article_form_page(host_.period, view));
  }
  if (replaced != record) {  // the same correction sent again changes nothing
    Article held;
    std::string unread;
    const bool readable = !replaced.empty() && decode(replaced, &held, &unread);
    std::string undo = heading_line();
    append_undo_row(undo, plate, readable ? &held : nullptr);
    const std::string what = replaced.empty() ? "article « " + plate_utf8(plate) + " » ajouté (il avait été supprimé)"
                                              : "article « " + plate_utf8(plate) + " » corrigé";
    changes_.add({0, 0, who_of(who), file, view.file, what, replaced.empty() || readable ? undo : std::string()});
  }
  res.set_redirect(car_address(plate) + "?fait=correction", 303);
}

void FormSite::deletion(const Visitor& who, const httplib::Request& req, httplib::Response& res) {
  std::string plate;
  size_t file = 0;
  Article article;
  if (!car_in_file(req, res, &plate, &file, &article)) return;
  Caught caught(host_.context);
  if (!caught.ready()) return give(res, 500, message_page("Suppression impossible", "Plus de mémoire."));
  int status = kNotDone;
  std::string why;
  const bool ran = host_.data.change(
      file, caught.context(),
      [&](storage::Storage& articles, const Context& there) {
        status = delete_articles(there, {plate_utf8(plate)}, &articles);
      },
      &why);
  const std::string shown = host_.data.shown_file(file);
  if (!ran) return give(res, 503, outcome_page(host_.period, "Article non supprimé", "<p>" + escaped(why) + "</p>\n"));
  if (status != kDone) {
    return give(res, 422, outcome_page(host_.period, "Article non supprimé", paragraphs(caught.lines())));
  }
  const uint64_t n =
      changes_.add({0, 0, who_of(who), file, shown, "article « " + plate_utf8(plate) + " » supprimé", caught.out()});
  give(
      res, 200,
      outcome_page(host_.period, "Article supprimé",
                   "<p class=\"notice\" role=\"status\">L'article « " + plate_html(plate) +
                       " » est supprimé du fichier « " + escaped(shown) + " » (modification n° " + std::to_string(n) +
                       ").</p>\n<p><a href=\"/modifications\">Modifications récentes</a> : l'annuler le remet.</p>\n"));
}

void FormSite::undo(const Visitor& who, const httplib::Request& req, httplib::Response& res) {
  const std::optional<ChangeRecord> change = changes_.find(std::stoull(req.matches[1].str()));
  if (!change || change->undo.empty()) {
    return give(
        res, 404,
        message_page("Modification introuvable", "Cette modification n'est plus dans la liste, ou ne s'annule pas."));
  }
  Caught caught(host_.context);
  std::FILE* rows =
      caught.ready() ? ::fmemopen(const_cast<char*>(change->undo.data()), change->undo.size(), "r") : nullptr;
  if (rows == nullptr) return give(res, 500, message_page("Annulation impossible", "Plus de mémoire."));
  int status = kNotDone;
  std::string why;
  const bool ran = host_.data.change(
      change->file, caught.context(),
      [&](storage::Storage& articles, const Context& there) { status = import_from(there, rows, &articles, true); },
      &why);
  std::fclose(rows);
  const std::string title = "Annulation de la modification n° " + std::to_string(change->number);
  if (!ran) return give(res, 503, outcome_page(host_.period, title, "<p>" + escaped(why) + "</p>\n"));
  const std::vector<std::string> said = caught.lines();
  const uint64_t n = changes_.add({0, 0, who_of(who), change->file, change->file_shown,
                                   "annulation de la modification n° " + std::to_string(change->number) +
                                       (said.empty() ? std::string() : " (" + words_of(said.back()) + ")"),
                                   caught.out()});
  changes_.undone(change->number, n);
  give(res, status == kDone ? 200 : 422,
       outcome_page(host_.period, title,
                    paragraphs(said) + "<p>Elle est la modification n° " + std::to_string(n) +
                        ", qui s'annule à son tour : <a href=\"/modifications\">modifications récentes</a>.</p>\n"));
}

void FormSite::import(const Visitor& who, const httplib::Request& req, httplib::Response& res) {
  ImportView view{who.csrf, {}, {}, true};
  for (size_t f = host_.data.file_count(); f-- > 0;) {
    if (host_.data.may_write(f)) view.files.push_back({f, host_.data.shown_file(f)});
  }
  size_t file = 0;
  const std::string chosen = field(req, "fichier");
  bool writable = false;
  for (const FileChoice& choice : view.files) writable = writable || (std::to_string(choice.file) == chosen);
  if (!writable || !index_of(chosen, host_.data.file_count(), &file)) {
    view.said = {"Ce fichier n'est pas un de ceux que ce serveur peut modifier : rien n'est importé."};
    return give(res, 422, import_page(host_.period, view));
  }
  const std::string upload = field(req, "articles");
  const bool replace = field(req, "remplacer") == "oui";
  Caught caught(host_.context);
  std::FILE* in =
      upload.empty() || !caught.ready() ? nullptr : ::fmemopen(const_cast<char*>(upload.data()), upload.size(), "r");
  if (in == nullptr) {
    view.said = {upload.empty() ? "Rien à importer : aucun fichier, ou un fichier vide." : "Plus de mémoire."};
    return give(res, 422, import_page(host_.period, view));
  }
  int status = kNotDone;
  std::string why;
  const bool ran = host_.data.change(
      file, caught.context(),
      [&](storage::Storage& articles, const Context& there) { status = import_from(there, in, &articles, replace); },
      &why);
  std::fclose(in);
  view.said = ran ? caught.lines() : std::vector<std::string>{why};
  if (ran) {
    // Without --replace an import adds only: its rows are in the file it came from,
    // but which of them were stored is said by count alone, so it has no undo here.
    const std::string undo = replace ? caught.out() : std::string();
    changes_.add({0, 0, who_of(who), file, host_.data.shown_file(file),
                  std::string(replace ? "import avec remplacement" : "import") +
                      (view.said.empty() ? std::string() : " : " + words_of(view.said.back())),
                  undo.size() > heading_line().size() ? undo : std::string()});
  }
  give(res, ran && status == kDone ? 200 : 422, import_page(host_.period, view));
}

void FormSite::archive(const Visitor& who, const httplib::Request& req, httplib::Response& res) {
  ArchiveView view{who.csrf, {}, host_.archives.empty() ? "" : charset::harmless(host_.archives), {}, {}};
  for (size_t f = host_.data.file_count(); f-- > 0;) {
    if (!storage::is_postgres_uri(host_.data.file_name(f)) && host_.data.may_write(f)) {
      view.files.push_back({f, host_.data.shown_file(f)});
    }
  }
  if (req.method != "POST" || host_.archives.empty()) {
    return give(res, req.method != "POST" ? 200 : 403, archive_page(host_.period, view));
  }
  view.name = field(req, "nom");
  size_t file = 0;
  const std::string chosen = field(req, "fichier");
  bool allowed = false;
  for (const FileChoice& choice : view.files) allowed = allowed || std::to_string(choice.file) == chosen;
  if (!allowed || !index_of(chosen, host_.data.file_count(), &file)) {
    view.said = "Ce fichier ne peut pas être archivé d'ici : rien n'est déplacé.";
    return give(res, 422, archive_page(host_.period, view));
  }
  if (!plain_name(view.name)) {
    view.said =
        "Nom refusé : lettres, chiffres, . _ -, 64 caractères au plus, sans point au début. Rien n'est déplacé.";
    return give(res, 422, archive_page(host_.period, view));
  }
  Caught caught(host_.context);
  if (!caught.ready()) return give(res, 500, message_page("Archive impossible", "Plus de mémoire."));
  int status = kNotDone;
  std::string why;
  const std::string destination = host_.archives + "/" + view.name;
  const bool ran = host_.data.change(
      file, caught.context(),
      [&](storage::Storage& articles, const Context& there) { status = archive_file(there, destination, &articles); },
      &why);
  const std::vector<std::string> said = caught.lines();
  view.said = !ran ? why : said.empty() ? std::string() : words_of(said.back());
  if (ran && status == kDone) {
    changes_.add({0,
                  0,
                  who_of(who),
                  file,
                  host_.data.shown_file(file),
                  "archive : " + view.said + " (fleet import de l'archive les remet)",
                  {}});
  }
  give(res, ran && status == kDone ? 200 : 422, archive_page(host_.period, view));
}

}  // namespace fleet::web
