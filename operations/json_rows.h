// The JSON export read back by `fleet import`: one array of objects, an article each.
// Each object is handed on as the fields of a CSV row, in the columns' order and its
// numbers as the text they were written with, so that both formats go through the same
// checks of import. One element is held at a time, and at most kElementMost bytes of it:
// memory does not grow with the input.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "operations/csv.h"

namespace fleet::json {

// What an import's input is, told by its first byte after an optional byte-order mark
// (and white space, which JSON allows): '[' opens the JSON export; anything else is
// the CSV's first byte, given back to the stream (white space before it is blank lines,
// which the CSV reader would skip as well). kNeither after a broken byte-order mark.
// *lines: the line ends read to tell, for the line numbers of the messages.
enum class Kind { kCsv, kJson, kNeither };
Kind kind_of(std::FILE* in, size_t* lines);

// The member of a period's export that names the file each article came from: read,
// and passed over.
inline constexpr char kFileMember[] = "fichier";

class Rows {
 public:
  // An element longer than this is no article: reading stops there.
  static constexpr size_t kElementMost = 1 << 20;

  // The input, after kind_of() read lines line ends of it.
  Rows(std::FILE* in, size_t lines) : in_(in), line_(1 + lines) {}
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  using Got = csv::Reader::Got;
  // The next element and its index in the array. kRow: its fields. kBadRow: the
  // element is refused, why() says why, and the next one can be read. kEnd: the array
  // is closed. kFailed: nothing more can be read, why() says why (the stream failed,
  // or what follows is not JSON).
  Got next(std::vector<std::string>* fields, size_t* index);
  const std::string& why() const { return why_; }

  // Bytes read so far, for a progress bar.
  size_t consumed() const { return consumed_; }

 private:
  class Input;  // the bytes of one element, for the JSON parser
  class Element;

  int peek();
  void advance();
  void skip_space();
  Got failed(std::string why);
  Got closed();  // at the array's ']'
  Got element(std::vector<std::string>* fields);

  std::FILE* in_;
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(1 << 16);
  size_t at_ = 0;
  size_t end_ = 0;
  size_t consumed_ = 0;
  size_t line_;
  size_t element_bytes_ = 0;
  size_t index_ = 0;
  enum class State { kStart, kNext, kDone } state_ = State::kStart;
  std::string why_;
};

}  // namespace fleet::json
