// FormSite: the routes of fleet serve that change the files, and the list of changes
// they keep. GET /saisie and POST /saisie (an entry), GET and POST
// /articles/PLATE/corriger?fichier=N (a correction, Storage::replace) and
// /articles/PLATE/supprimer?fichier=N (a confirmation, then fleet delete's work),
// /modifications (the recent changes), POST /modifications/N/annuler (import --replace
// of the change's undo rows) and GET /modifications/N/annulation.csv, /import and
// /archive. Every POST goes through the host's post (the session's csrf, the right to
// write); each GET of a form asks the right to write too, and changes nothing.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <httplib.h>

#include "web/access.h"
#include "web/changes.h"
#include "web/fleet_data.h"
#include "web/pages.h"

namespace fleet::web {

// What the forms need of the site that serves them.
struct FormHost {
  using Change = std::function<void(const Visitor&, const httplib::Request&, httplib::Response&)>;
  httplib::Server& server;
  FleetData& data;
  const Context& context;  // the server's: its standard error is the log
  std::function<std::optional<Visitor>(const httplib::Request&)> visitor;
  std::function<void(const std::string& pattern, Change change)> post;
  const PeriodView& period;  // as a visitor who may write sees it
  std::string archives;      // --archives: the folder of the archives; empty: none from here
};

class FormSite {
 public:
  explicit FormSite(FormHost host) : host_(std::move(host)), changes_(host_.context) {}

  // Registers the routes; before the car's page, whose pattern takes any address under
  // /articles/ (no plate ends with /corriger: a plate has 8 characters at most).
  void route();

 private:
  void entry(const Visitor& who, const httplib::Request& req, httplib::Response& res);
  void correction(const Visitor& who, const httplib::Request& req, httplib::Response& res);
  void deletion(const Visitor& who, const httplib::Request& req, httplib::Response& res);
  void undo(const Visitor& who, const httplib::Request& req, httplib::Response& res);
  void import(const Visitor& who, const httplib::Request& req, httplib::Response& res);
  void archive(const Visitor& who, const httplib::Request& req, httplib::Response& res);

  // The visitor of a GET of a form, when they may write; else false, res a refusal.
  bool writer(const httplib::Request& req, httplib::Response& res, Visitor* who);
  // The car named in the address, and the file of its article (?fichier= or the form);
  // false with res a refusal when either names nothing.
  bool car_in_file(const httplib::Request& req, httplib::Response& res, std::string* plate, size_t* file,
                   Article* article);

  FormHost host_;
  ChangeLog changes_;
};

// What the car's page says after a form sent it there (?fait=saisie, correction), HTML.
std::string done_notice(const std::string& done, const std::string& plate);

}  // namespace fleet::web
