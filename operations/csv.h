// The CSV of the article exchange (RFC 4180, UTF-8, a heading row): its columns, and a
// reader of its rows that knows on which line each row starts.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/record.h"

namespace fleet::csv {

// The columns: plate, week, then kilometres and costs of each day, Monday first.
inline constexpr size_t kColumnCount = 2 + 2 * layout::kDays;
inline constexpr const char* kColumns[kColumnCount] = {
    "immatriculation", "semaine",        "lundi_km",    "lundi_frais",   "mardi_km",    "mardi_frais",
    "mercredi_km",     "mercredi_frais", "jeudi_km",    "jeudi_frais",   "vendredi_km", "vendredi_frais",
    "samedi_km",       "samedi_frais",   "dimanche_km", "dimanche_frais"};

// The heading row, without its line end.
std::string heading(char separator);

// Appends one field as the export writes it: quoted when it holds the separator, a
// quote, a line end, another control byte or a leading space, which readers would
// otherwise take apart or drop.
void append_field(std::string& out, std::string_view utf8, char separator);

// The longest row read. A row of the export takes 115 bytes at most (a plate of eight
// quotes, every figure at its largest); this leaves room for zeros written before the
// numbers, and a longer row is refused without being held, whatever its length.
inline constexpr size_t kRowMost = 4096;

// Reads the rows of a CSV stream one by one. Blank lines (nothing, or CR alone,
// before the line end) are no rows and are skipped.
class Reader {
 public:
  // first_line: the number of the line the stream starts on (blank lines before it read).
  explicit Reader(std::FILE* in, size_t first_line = 1) : in_(in), line_(first_line) {}

  enum class Got { kRow, kEnd, kBadRow, kTooLong, kFailed };
  // The next row's fields, and the line it starts on. kBadRow: a quote left open or
  // followed by something other than a separator or a line end (the rest of that
  // line is skipped); kTooLong: more than kRowMost bytes, read to its end but not
  // kept (no fields); kFailed: the stream could not be read.
  Got next(char separator, std::vector<std::string>* fields, size_t* line);

  // Bytes read so far, for a progress bar.
  size_t consumed() const { return consumed_; }

 private:
  int get();
  int peek();
  bool fill();
  void skip_line();

  std::FILE* in_;
  size_t line_;
  size_t consumed_ = 0;
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(1 << 16);
  size_t at_ = 0;
  size_t end_ = 0;
  bool started_ = false;
};

}  // namespace fleet::csv
