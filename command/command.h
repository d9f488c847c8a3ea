// What the commands of `fleet` share: the article file they work on, the character
// set of people's text, the exit statuses, messages on standard error and the open of
// the file. Each command is one function returning the exit status.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "fleet/record.h"
#include "command/text.h"
#include "storage/storage.h"

namespace fleet {

// Exit statuses.
inline constexpr int kDone = 0;
inline constexpr int kNotDone = 1;  // something asked for was not done
inline constexpr int kWrongUsage = 2;

struct Context {
  std::string file;  // the article file's name: a path or a PostgreSQL URI
  text::Charset charset = text::Charset::kUtf8;

  // One line on standard error, "fleet : " and the message (UTF-8 words, converted).
  void complain(std::string_view message) const;
  // A stored plate as people read it, between French quotes, in UTF-8 like the
  // messages complain() takes.
  std::string quoted_plate(std::string_view plate) const;
  // The file's name as messages show it (no password).
  std::string shown_file() const;
};

// Opens the article file; on failure says why and returns nullptr.
std::unique_ptr<storage::Storage> open_articles(const Context& context, storage::StorageMode mode);

// Hands each article of the file to each, in plate order, in one pass. An article whose
// figures are not digits is left out with a line on standard error saying it is
// `left_out` ("illisible", "non exporté"), and so is the rest after a read that fails;
// false when anything was left out.
bool each_article(const Context& context, storage::Storage& articles, std::string_view left_out,
                  const std::function<void(const Article&)>& each);

// What a status means, in French.
std::string french_meaning(storage::FileStatus status);
// A failed Result as people read it: "meaning (statut 30 : the back end's account)".
std::string failure_account(const storage::Result& result);

// Standard output, buffered; finish() says whether everything was written (and says
// so on standard error when not).
class Output {
 public:
  explicit Output(const Context& context) : context_(context) {}
  void write(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }
  // People's words (UTF-8 in the source) in the locale's character set.
  void words(std::string_view utf8) { write(text::words(utf8, context_.charset)); }
  bool finish();

 private:
  const Context& context_;
};

// Numbers as the commands write them: hundredths as "35.40"; a cost per kilometre
// (hundredths over kilometres) with three decimals, "-" without kilometres.
std::string money(uint64_t cents);
std::string per_kilometre(uint64_t cents, uint64_t kilometres);

// The bytes of fleet export of the open file, handed to write in pieces (fleet serve's
// downloads are the same bytes); false when anything was left out, said on standard
// error.
bool write_export(const Context& context, storage::Storage& articles, bool json, char separator,
                  const std::function<void(std::string_view)>& write);

// The commands.
int list_articles(const Context& context);
int show_article(const Context& context, const std::string& plate);
int export_articles(const Context& context, bool json, char separator);
int import_articles(const Context& context, const std::string& source);
int show_stats(const Context& context);
int check_file(const Context& context);
int backup_file(const Context& context, const std::string& destination);
int write_report(const Context& context, const std::string& destination);

}  // namespace fleet
