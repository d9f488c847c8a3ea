// The CSV reader: RFC 4180 fields, quoted or not, rows ended by CRLF or LF.
#include "operations/csv.h"

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

int Reader::peek() { return at_ == end_ && !fill() ? EOF : buffer_[at_]; }

void Reader::skip_line() {
  for (int c = get(); c != EOF && c != '\n'; c = get()) {}
}

Reader::Got Reader::next(char separator, std::vector<std::string>* fields, size_t* line) {
  fields->clear();
  int c;
  do {  // blank lines
    *line = line_;
    c = get();
    if (c == '\r' && (peek() == '\n' || peek() == EOF)) c = get();
  } while (c == '\n');
  if (c == EOF) return std::ferror(in_) ? Got::kFailed : Got::kEnd;
  // Past kRowMost bytes the row is read on to its end by the same rules, but nothing
  // of it is kept: a row of millions of separators holds no more than a valid one.
  const size_t start = consumed_ - 1;
  bool too_long = false;
  std::string field;
  auto keep = [&](int byte) {
    too_long = too_long || consumed_ - start > kRowMost;
    if (!too_long) field += static_cast<char>(byte);
  };
  auto ended = [&](Got got) {
    if (std::ferror(in_)) return Got::kFailed;
    if (!too_long) return got;
    fields->clear();
    return Got::kTooLong;
  };
  for (;;) {
    if (c == '"' && field.empty()) {
      for (;;) {  // a quoted field: anything up to a quote not doubled
        c = get();
        if (c == EOF) return ended(Got::kBadRow);
        if (c == '"') {
          c = get();
          if (c != '"') break;
        }
        keep(c);
      }
      if (c == '\r') c = get();
      if (c != separator && c != '\n' && c != EOF) {
        skip_line();
        return ended(Got::kBadRow);
      }
    } else {
      while (c != separator && c != '\n' && c != EOF) {
        keep(c);
        c = get();
      }
      if (c != separator && !field.empty() && field.back() == '\r') field.pop_back();
    }
    too_long = too_long || consumed_ - start > kRowMost;
    if (!too_long) fields->push_back(std::move(field));
    field.clear();
    if (c != separator) return ended(Got::kRow);
    c = get();
  }
}

void append_field(std::string& out, std::string_view utf8, char separator) {
  bool quote = !utf8.empty() && utf8.front() == ' ';
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    quote = quote || c == separator || c == '"' || byte < 0x20 || byte == 0x7F;
  }
  if (!quote) {
    out += utf8;
    return;
  }
  out += '"';
  for (const char c : utf8) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace fleet::csv
