// The CSV of the article exchange (RFC 4180, UTF-8, a heading row): its columns, and a
// reader of its rows that knows on which line each row starts.
#pragma once

#include <cstdio>
#include <string>
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

// Reads the rows of a CSV stream one by one.
class Reader {
 public:
  explicit Reader(std::FILE* in) : in_(in) {}

  enum class Got { kRow, kEnd, kBadRow, kFailed };
  // The next row's fields, and the line it starts on. kBadRow: a quote left open or
  // followed by something other than a separator or a line end (the rest of that
  // line is skipped); kFailed: the stream could not be read.
  Got next(char separator, std::vector<std::string>* fields, size_t* line);

  // Bytes read so far, for a progress bar.
  size_t consumed() const { return consumed_; }

 private:
  int get();
  bool fill();
  void skip_line();

  std::FILE* in_;
  size_t line_ = 1;
  size_t consumed_ = 0;
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(1 << 16);
  size_t at_ = 0;
  size_t end_ = 0;
  bool started_ = false;
};

}  // namespace fleet::csv
