// Report: the rows of the benchmark table, printed for a person and written as CSV.
//
// A row is one figure: what was measured, on which program, its value, the floor it
// is compared with, their ratio, the target and whether the target was met.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace bench {

enum class Verdict { kMet, kMissed, kSkipped, kInfo };

struct Row {
  std::string measure;  // e.g. "start-up (median wall)"
  std::string program;
  std::string value;   // with its unit, e.g. "0.61 ms"
  std::string floor;   // the floor it is compared with, or empty
  std::string ratio;   // e.g. "1.04", or empty
  std::string target;  // e.g. "<= 1.3", or empty
  Verdict verdict = Verdict::kInfo;
  std::string note;  // why skipped, or a further figure
};

// A row for a ratio against its target: met when ratio <= limit.
Row ratio_row(std::string measure, std::string program, std::string value, std::string floor, double ratio,
              double limit);

// Number formatting for the table.
std::string fixed(double value, int decimals);
std::string milliseconds(double ns);
std::string mebibytes(double kib);
std::string grouped(double value);  // 20000 -> "20,000"

class Report {
 public:
  void add(Row row) { rows_.push_back(std::move(row)); }
  const std::vector<Row>& rows() const { return rows_; }
  int missed() const;

  // An aligned table with a header line, then one line for the count of targets met.
  void print(std::ostream& out) const;
  // The same rows as CSV with a header line; fields quoted where needed.
  void write_csv(std::ostream& out) const;

 private:
  std::vector<Row> rows_;
};

const char* verdict_name(Verdict verdict);
std::string csv_field(const std::string& text);

}  // namespace bench
