// The benchmark table: formatting, printing and CSV.
#include "bench/report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ostream>

namespace bench {

namespace {

constexpr std::array<const char*, 8> kColumns = {"measure", "program", "value",  "floor",
                                                 "ratio",   "target",  "result", "note"};

std::array<std::string, 8> cells(const Row& row) {
  return {row.measure, row.program, row.value, row.floor, row.ratio, row.target, verdict_name(row.verdict), row.note};
}

}  // namespace

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::kMet:
      return "ok";
    case Verdict::kMissed:
      return "MISSED";
    case Verdict::kSkipped:
      return "skipped";
    case Verdict::kInfo:
      return "";
  }
  return "";
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string milliseconds(double ns) {
  const double ms = ns / 1e6;
  return fixed(ms, ms < 10 ? 3 : ms < 1000 ? 1 : 0) + " ms";
}

std::string mebibytes(double kib) { return fixed(kib / 1024, 2) + " MiB"; }

std::string grouped(double value) {
  const std::string digits = fixed(value, 0);
  const size_t sign = !digits.empty() && digits[0] == '-' ? 1 : 0;
  std::string text = digits.substr(0, sign);
  for (size_t at = sign; at < digits.size(); ++at) {
    if (at > sign && (digits.size() - at) % 3 == 0) text += ',';
    text += digits[at];
  }
  return text;
}

Row ratio_row(std::string measure, std::string program, std::string value, std::string floor, double ratio,
              double limit) {
  Row row{std::move(measure),
          std::move(program),
          std::move(value),
          std::move(floor),
          fixed(ratio, 2),
          "<= " + fixed(limit, 1),
          ratio <= limit ? Verdict::kMet : Verdict::kMissed,
          ""};
  return row;
}

int Report::missed() const {
  return static_cast<int>(
      std::count_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.verdict == Verdict::kMissed; }));
}

void Report::print(std::ostream& out) const {
  std::array<size_t, 8> width{};
  for (size_t c = 0; c < kColumns.size(); ++c) width[c] = std::string(kColumns[c]).size();
  for (const Row& row : rows_) {
    const auto line = cells(row);
    for (size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
  }
  auto print_line = [&](const std::array<std::string, 8>& line) {
    std::string text;
    for (size_t c = 0; c < line.size(); ++c) {
      text += "| " + line[c] + std::string(width[c] - line[c].size(), ' ') + " ";
    }
    out << text << "|\n";
  };
  std::array<std::string, 8> header;
  std::array<std::string, 8> rule;
  for (size_t c = 0; c < kColumns.size(); ++c) {
    header[c] = kColumns[c];
    rule[c] = std::string(width[c], '-');
  }
  print_line(header);
  print_line(rule);
  for (const Row& row : rows_) print_line(cells(row));
  int met = 0;
  int targets = 0;
  for (const Row& row : rows_) {
    if (row.verdict == Verdict::kMet || row.verdict == Verdict::kMissed) ++targets;
    if (row.verdict == Verdict::kMet) ++met;
  }
  out << "\n" << met << " of " << targets << " targets met";
  if (missed() > 0) out << ", " << missed() << " missed";
  out << "\n";
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void Report::write_csv(std::ostream& out) const {
  for (size_t c = 0; c < kColumns.size(); ++c) out << (c ? "," : "") << kColumns[c];
  out << "\n";
  for (const Row& row : rows_) {
    const auto line = cells(row);
    for (size_t c = 0; c < line.size(); ++c) out << (c ? "," : "") << csv_field(line[c]);
    out << "\n";
  }
}

}  // namespace bench
