// What the operations on article files share: the article file they work on (or the
// period the reading ones read), the character set of people's text, the exit
// statuses, where output and messages go, and the open of the file. Each operation is
// one function returning the exit status, called by the fleet command line and by
// fleet serve alike.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/record.h"
#include "operations/period.h"
#include "operations/text.h"
#include "storage/storage.h"

namespace fleet {

// Exit statuses.
inline constexpr int kDone = 0;
inline constexpr int kNotDone = 1;  // something asked for was not done
inline constexpr int kWrongUsage = 2;

struct Context {
  std::string file;                // the article file's name: a path or a PostgreSQL URI
  std::vector<std::string> files;  // what the reading commands read: file, or every -f given
  text::Charset charset = text::Charset::kUtf8;
  // Where the command's output and its messages go: standard output and standard
  // error for fleet; fleet serve hands each change streams of its own, to show on the
  // page what a command would have printed.
  std::FILE* out = stdout;
  std::FILE* err = stderr;

  // One line on standard error, "fleet : " and the message (UTF-8 words, converted); any
  // other byte in it is shown harmlessly (charset::harmless).
  void complain(std::string_view message) const;
  // A stored plate as people read it, between French quotes, in UTF-8 like the
  // messages complain() takes.
  std::string quoted_plate(std::string_view plate) const;
  // The file's name as messages and the page show it: no password, harmless UTF-8.
  std::string shown_file() const;
  // complain(), for the period's functions.
  Complain complainer() const {
    return [this](const std::string& message) { complain(message); };
  }
  // The period of files, what it stands for said on standard error.
  Period period() const { return Period::of(files, complainer()); }
};

// Opens the article file called name as the commands do: a name that SQLite would take
// for another file's side file (NAME-wal, NAME-shm, NAME-journal beside a file NAME) is
// refused, 39 when it exists and 30 when it would be made.
storage::Opened open_article_file(const std::string& name, storage::StorageMode mode);

// Opens the article file; on failure says why and returns nullptr.
std::unique_ptr<storage::Storage> open_articles(const Context& context, storage::StorageMode mode);

// What a status means, in French.
std::string french_meaning(storage::FileStatus status);
// A failed Result as people read it: "meaning (statut 30 : the back end's account)".
std::string failure_account(const storage::Result& result);

// Standard output, buffered; finish() says whether everything was written (and says
// so on standard error when not).
class Output {
 public:
  explicit Output(const Context& context) : context_(context) {}
  void write(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), context_.out); }
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

// The operations. Those that change a file open it themselves, or work on the storage
// open gives when it is not null (fleet serve keeps each file open once).
int export_articles(const Context& context, bool json, char separator, const std::vector<std::string>& plates);
// Hands put the articles an export writes: the period's, file by file, or those of
// plates (stored bytes), saying each plate found nowhere; false when anything was left out.
bool each_exported(const Context& context, const Period& period, const std::vector<std::string>& plates,
                   const std::function<void(size_t file, const Article&)>& put);
int export_workbook(const Context& context, const std::vector<std::string>& plates);
int import_articles(const Context& context, const std::string& source, bool replace);
// import_articles of what in holds (read from where it stands, left open).
int import_from(const Context& context, std::FILE* in, storage::Storage* open, bool replace);
int check_file(const Context& context);
int backup_file(const Context& context, const std::string& destination);
int delete_articles(const Context& context, const std::vector<std::string>& plates, storage::Storage* open = nullptr);
int archive_file(const Context& context, const std::string& destination, storage::Storage* open = nullptr);
// check_file on each of context.files, then whether two of them hold the same article.
int check_files(const Context& context);

}  // namespace fleet
