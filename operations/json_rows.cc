// The JSON reader of import: the array's punctuation read here, each element parsed by
// nlohmann's SAX parser straight from the input's buffer, with no document built.
#include "operations/json_rows.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace fleet::json {
namespace {

bool space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A member's name as messages quote it: control bytes marked, long ones cut.
std::string quoted_name(std::string_view name) {
  std::string shown;
  size_t at = 0;
  for (; at < name.size() && at < 40; ++at) {
    const auto byte = static_cast<unsigned char>(name[at]);
    if (byte < 0x20 || byte == 0x7F) {
      shown += '^';
      shown += static_cast<char>(byte ^ 0x40);
    } else {
      shown += name[at];
    }
  }
  while (at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) shown += name[at++];
  return "« " + shown + (at < name.size() ? "… »" : " »");
}

}  // namespace

Kind kind_of(std::FILE* in, size_t* lines) {
  *lines = 0;
  int c = std::getc(in);
  if (c == 0xEF) {  // a byte-order mark, as some editors write one
    if (std::getc(in) != 0xBB) return Kind::kNeither;
    if (std::getc(in) != 0xBF) return Kind::kNeither;
    c = std::getc(in);
  }
  // White space before a CSV heading is blank lines, which the CSV reader skips too.
  for (; space(c); c = std::getc(in)) *lines += c == '\n';
  if (c != EOF) std::ungetc(c, in);
  return c == '[' ? Kind::kJson : Kind::kCsv;
}

// The bytes of the input from where an element starts, as an input iterator: the end
// is the input's, or kElementMost bytes into the element.
class Rows::Input {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  explicit Input(Rows* rows) : rows_(rows) {}
  char operator*() const { return static_cast<char>(rows_->peek()); }
  Input& operator++() {
    rows_->advance();
    return *this;
  }
  Input operator++(int) {
    Input before = *this;
    rows_->advance();
    return before;
  }
  bool operator==(const Input& other) const { return ended() == other.ended(); }

 private:
  bool ended() const { return rows_ == nullptr || rows_->element_bytes_ >= kElementMost || rows_->peek() == EOF; }

  Rows* rows_;
};

// The events of one element's parse, gathered into the fields of a row. The first
// thing wrong is why the element is refused; the parse goes on to the element's end.
class Rows::Element {
 public:
  explicit Element(std::vector<std::string>* fields) : fields_(fields) { fields->assign(csv::kColumnCount, {}); }

  bool null() { return take({}, Kind::kOther); }
  bool boolean(bool) { return take({}, Kind::kOther); }
  bool number_integer(nlohmann::json::number_integer_t value) { return take(std::to_string(value), Kind::kNumber); }
  bool number_unsigned(nlohmann::json::number_unsigned_t value) { return take(std::to_string(value), Kind::kNumber); }
  // The number's own text: 35.4 is read as the export wrote it, never through a double.
  bool number_float(nlohmann::json::number_float_t, const std::string& text) { return take(text, Kind::kNumber); }
  bool string(std::string& text) { return take(text, Kind::kString); }
  bool binary(nlohmann::json::binary_t&) { return take({}, Kind::kOther); }
  bool key(std::string& name) {
    if (depth_ == 1) member_ = name;
    return true;
  }
  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) { return open(); }
  bool end_object() { return --depth_, true; }
  bool end_array() { return --depth_, true; }
  bool parse_error(std::size_t, const std::string& last_token, const nlohmann::detail::exception&) {
    malformed_ = true;
    cut_ = last_token.empty();  // the input's end is the only token without text
    return false;
  }

  bool malformed() const { return malformed_; }
  bool cut() const { return cut_; }
  // Why the element is refused; empty when its fields are a row.
  std::string why() const {
    if (!why_.empty()) return why_;
    for (size_t c = 0; c < csv::kColumnCount; ++c) {
      if (!seen_[c]) return "il manque le membre " + quoted_name(csv::kColumns[c]);
    }
    return {};
  }

 private:
  enum class Kind { kString, kNumber, kOther };

  void refuse(std::string why) {
    if (why_.empty()) why_ = std::move(why);
  }
  // An object or an array: the element itself, or a member's value, which no article has.
  bool open() {
    if (++depth_ == 2 && member_ != kFileMember) refuse("membre " + quoted_name(member_) + " : valeur composée");
    return true;
  }
  bool take(const std::string& text, Kind kind) {
    if (depth_ != 1 || member_ == kFileMember) return true;
    size_t column = 0;
    while (column < csv::kColumnCount && member_ != csv::kColumns[column]) ++column;
    if (column == csv::kColumnCount) {
      refuse("membre inconnu " + quoted_name(member_));
    } else if (seen_[column]) {
      refuse("membre " + quoted_name(member_) + " en double");
    } else if (kind != (column == 0 ? Kind::kString : Kind::kNumber)) {
      refuse(member_ + (column == 0 ? " : une chaîne est attendue" : " : un nombre est attendu"));
    } else {
      (*fields_)[column] = text;
    }
    if (column < csv::kColumnCount) seen_[column] = true;
    return true;
  }

  std::vector<std::string>* fields_;
  std::array<bool, csv::kColumnCount> seen_{};
  std::string member_;
  int depth_ = 0;
  bool malformed_ = false;
  bool cut_ = false;
  std::string why_;
};

int Rows::peek() {
  if (at_ == end_) {
    at_ = 0;
    end_ = std::fread(buffer_.data(), 1, buffer_.size(), in_);
    if (end_ == 0) return EOF;
  }
  return buffer_[at_];
}

void Rows::advance() {
  if (buffer_[at_] == '\n') ++line_;
  ++at_;
  ++consumed_;
  ++element_bytes_;
}

void Rows::skip_space() {
  while (space(peek())) advance();
}

Rows::Got Rows::failed(std::string why) {
  state_ = State::kDone;
  why_ = std::ferror(in_) ? std::string(std::strerror(errno)) : std::move(why);
  return Got::kFailed;
}

Rows::Got Rows::element(std::vector<std::string>* fields) {
  element_bytes_ = 0;
  Element element(fields);
  nlohmann::json::sax_parse(Input(this), Input(nullptr), &element, nlohmann::json::input_format_t::json, false);
  if (element_bytes_ >= kElementMost) {
    return failed("plus de " + std::to_string(kElementMost >> 20) + " Mo sans la fin de l'objet");
  }
  if (element.malformed()) {
    return failed(element.cut() ? "l'entrée finit au milieu de l'objet"
                                : "JSON mal formé à la ligne " + std::to_string(line_));
  }
  why_ = element.why();
  return why_.empty() ? Got::kRow : Got::kBadRow;
}

Rows::Got Rows::closed() {
  advance();
  state_ = State::kDone;
  skip_space();
  if (peek() != EOF) return failed("du texte suit la fin du tableau, ligne " + std::to_string(line_));
  return std::ferror(in_) ? failed({}) : Got::kEnd;
}

Rows::Got Rows::next(std::vector<std::string>* fields, size_t* index) {
  *index = index_;
  why_.clear();
  if (state_ == State::kDone) return Got::kEnd;
  skip_space();
  int c = peek();
  if (state_ == State::kStart) {
    if (c != '[') return failed("ce n'est pas un tableau JSON");
    advance();
    skip_space();
    c = peek();
    if (c == ']') return closed();
  } else {
    if (c == ']') return closed();
    if (c != ',') {
      return failed(c == EOF ? "l'entrée finit avant la fin du tableau"
                             : "JSON mal formé à la ligne " + std::to_string(line_) + " : « , » ou « ] » attendu");
    }
    advance();
    skip_space();
    c = peek();
  }
  if (c != '{') {
    return failed(c == EOF ? "l'entrée finit avant la fin du tableau"
                           : "JSON mal formé à la ligne " + std::to_string(line_) + " : un objet est attendu");
  }
  state_ = State::kNext;
  const Got got = element(fields);
  ++index_;
  return got;
}

}  // namespace fleet::json
