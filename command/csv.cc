// The CSV reader: RFC 4180 fields, quoted or not, rows ended by CRLF or LF.
#include "command/csv.h"

namespace fleet::csv {

std::string heading(char separator) {
  std::string row;
  for (const char* column : kColumns) {
    if (!row.empty()) row += separator;
    row += column;
  }
  return row;
}

bool Reader::fill() {
  end_ = std::fread(buffer_.data(), 1, buffer_.size(), in_);
  at_ = 0;
  if (!started_) {  // a byte-order mark, as some spreadsheets write one
    started_ = true;
    if (end_ >= 3 && buffer_[0] == 0xEF && buffer_[1] == 0xBB && buffer_[2] == 0xBF) at_ = 3;
  }
  return at_ < end_;
}

int Reader::get() {
  if (at_ == end_ && !fill()) return EOF;
  const int c = buffer_[at_++];
  ++consumed_;
  if (c == '\n') ++line_;
  return c;
}

void Reader::skip_line() {
  for (int c = get(); c != EOF && c != '\n'; c = get()) {}
}

Reader::Got Reader::next(char separator, std::vector<std::string>* fields, size_t* line) {
  fields->clear();
  *line = line_;
  int c = get();
  if (c == EOF) return std::ferror(in_) ? Got::kFailed : Got::kEnd;
  std::string field;
  for (;;) {
    if (c == '"' && field.empty()) {
      for (;;) {  // a quoted field: anything up to a quote not doubled
        c = get();
        if (c == EOF) return std::ferror(in_) ? Got::kFailed : Got::kBadRow;
        if (c == '"') {
          c = get();
          if (c != '"') break;
        }
        field += static_cast<char>(c);
      }
      if (c == '\r') c = get();
      if (c != separator && c != '\n' && c != EOF) {
        skip_line();
        return Got::kBadRow;
      }
    } else {
      while (c != separator && c != '\n' && c != EOF) {
        field += static_cast<char>(c);
        c = get();
      }
      if (c != separator && !field.empty() && field.back() == '\r') field.pop_back();
    }
    fields->push_back(std::move(field));
    field.clear();
    if (c != separator) return std::ferror(in_) ? Got::kFailed : Got::kRow;
    c = get();
  }
}

}  // namespace fleet::csv
