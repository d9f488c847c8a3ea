// Names and messages shown without the passwords they hold: the passwords are found in
// the name (user:password@, password= and sslpassword=), then hidden wherever the
// name, a password or a piece of one read as a host or a port shows in a message.
#include "storage/storage.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>
#include <vector>

namespace storage {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_word(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when a parameter, "name=" or "name = ", starts at at.
bool parameter_at(std::string_view text, size_t at) {
  size_t end = at;
  while (end < text.size() && is_word(text[end])) ++end;
  if (end == at) return false;
  while (end < text.size() && is_space(text[end])) ++end;
  return end < text.size() && text[end] == '=';
}

using Span = std::pair<size_t, size_t>;  // [first, last) of name

// The password of a user:password@ part. The user is a run without : / ? # @ after
// "//" or ":/" (the scheme however mangled), or at the start when there is neither.
// The password may hold unencoded / ? @ #, so it runs to the last @, or, when the
// parameters after a '?' hold an @ of their own, to the last @ before them: showing
// too little is safer than showing a piece of the password.
std::optional<Span> user_password(std::string_view name) {
  std::vector<size_t> starts;
  for (size_t at = name.find('/'); at != std::string_view::npos; at = name.find('/', at + 1)) {
    if (at > 0 && (name[at - 1] == ':' || name[at - 1] == '/')) starts.push_back(at + 1);
  }
  if (starts.empty()) {
    size_t first = 0;
    while (first < name.size() && is_space(name[first])) ++first;
    starts.push_back(first);
  }
  for (const size_t start : starts) {
    const size_t colon = name.find_first_of(":/?#@ \t", start);
    if (colon == std::string_view::npos || name[colon] != ':') continue;
    size_t parameters = std::string_view::npos;
    for (size_t q = name.find('?', colon); q != std::string_view::npos; q = name.find('?', q + 1)) {
      if (parameter_at(name, q + 1)) {
        parameters = q;
        break;
      }
    }
    size_t at = name.rfind('@', parameters == std::string_view::npos ? parameters : parameters - 1);
    if (at == std::string_view::npos || at < colon) at = name.rfind('@');
    if (at != std::string_view::npos && at > colon) return Span{colon + 1, at};
  }
  return std::nullopt;
}

// The values of password=... and sslpassword=... (keyword lists and URI parameters,
// quoted or not). An unquoted value runs to the next parameter: to a space or & that
// a "name=" follows, or to the end.
void parameter_passwords(std::string_view name, std::vector<Span>* spans) {
  static constexpr std::string_view kKey = "password";
  for (size_t at = 0; at + kKey.size() <= name.size(); ++at) {
    bool key = true;
    for (size_t i = 0; key && i < kKey.size(); ++i) key = lower(name[at + i]) == kKey[i];
    if (!key) continue;
    size_t before = at;
    if (before >= 3 && lower(name[before - 3]) == 's' && lower(name[before - 2]) == 's' &&
        lower(name[before - 1]) == 'l') {
      before -= 3;
    }
    if (before > 0 && !is_space(name[before - 1]) && name[before - 1] != '?' && name[before - 1] != '&') continue;
    size_t value = at + kKey.size();
    while (value < name.size() && is_space(name[value])) ++value;
    if (value >= name.size() || name[value] != '=') continue;
    ++value;
    while (value < name.size() && is_space(name[value])) ++value;
    size_t end = value;
    if (end < name.size() && name[end] == '\'') {
      for (++end; end < name.size() && name[end] != '\''; ++end) {
        if (name[end] == '\\') ++end;
      }
      end = std::min(end + 1, name.size());
    } else {
      while (end < name.size() && !((is_space(name[end]) || name[end] == '&') && parameter_at(name, end + 1))) ++end;
      // "a b=c": the space before the next name may be one of several.
      while (end > value && is_space(name[end - 1])) --end;
    }
    if (end > value) spans->push_back({value, end});
    at = end;
  }
}

// The passwords in name, in order, apart from one another.
std::vector<Span> secrets(std::string_view name) {
  std::vector<Span> spans;
  if (const std::optional<Span> password = user_password(name)) spans.push_back(*password);
  parameter_passwords(name, &spans);
  std::sort(spans.begin(), spans.end());
  std::vector<Span> apart;
  for (const Span& span : spans) {
    if (!apart.empty() && span.first <= apart.back().second) {
      apart.back().second = std::max(apart.back().second, span.second);
    } else {
      apart.push_back(span);
    }
  }
  return apart;
}

// name[first, last) with its passwords as "***".
std::string hidden(std::string_view name, const std::vector<Span>& spans, size_t first, size_t last) {
  std::string shown;
  size_t at = first;
  for (const Span& span : spans) {
    if (span.second <= first || span.first >= last) continue;
    if (span.first > at) shown += name.substr(at, span.first - at);
    shown += "***";
    at = std::max(at, span.second);
  }
  if (at < last) shown += name.substr(at, last - at);
  return shown;
}

void replace_all(std::string* text, std::string_view what, std::string_view by) {
  if (what.empty()) return;
  for (size_t at = text->find(what); at != std::string::npos; at = text->find(what, at + by.size())) {
    text->replace(at, what.size(), by);
  }
}

std::string percent_decoded(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      decoded += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

}  // namespace

std::string shown_name(std::string_view name) { return hidden(name, secrets(name), 0, name.size()); }

std::string hide_secrets(std::string_view text, std::string_view name) {
  std::string shown(text);
  const std::vector<Span> spans = secrets(name);
  if (spans.empty()) return shown;
  replace_all(&shown, name, shown_name(name));
  for (const Span& span : spans) {
    const std::string_view raw = name.substr(span.first, span.second - span.first);
    replace_all(&shown, raw, "***");
    replace_all(&shown, percent_decoded(raw), "***");
  }
  // A quoted piece of the name that holds part of a password (a host or a port read
  // from a password that was not percent-encoded) is shown as the name is.
  for (size_t open = shown.find('"'); open != std::string::npos; open = shown.find('"', open + 1)) {
    const size_t close = shown.find('"', open + 1);
    if (close == std::string::npos) break;
    const std::string quoted = shown.substr(open + 1, close - open - 1);
    std::string replacement = quoted;
    for (size_t at = quoted.empty() ? std::string::npos : name.find(quoted); at != std::string::npos;
         at = name.find(quoted, at + 1)) {
      const std::string region = hidden(name, spans, at, at + quoted.size());
      if (region != quoted) replacement = region;
    }
    shown.replace(open + 1, quoted.size(), replacement);
    open += replacement.size() + 1;
  }
  return shown;
}

}  // namespace storage
