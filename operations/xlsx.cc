// fleet export --format xlsx: the period's articles as a workbook that a spreadsheet
// reads without guessing: plates as text (00123 keeps its zeros, =1+1 is no formula),
// weeks and kilometres as whole numbers, costs as numbers in euros, the heading row
// frozen, a sheet a file. libxlsxwriter writes to a named file only: the workbook is
// made in a private temporary folder, then copied to standard output and removed.
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "operations/context.h"
#include "operations/csv.h"

namespace fleet {
namespace {

// Excel's own limits on a sheet's name and rows.
constexpr size_t kSheetNameMost = 31;
constexpr uint32_t kRowsMost = 1048576;

// A sheet's name from a file's shown name: its last part, without the characters a
// sheet's name cannot hold, cut to 31 characters, unique among those before it (Excel
// tells names apart without regard to case).
std::string sheet_name(const std::string& shown, std::vector<std::string>* taken) {
  std::string base = shown;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (const size_t slash = base.find_last_of('/'); slash != std::string::npos && slash + 1 < base.size()) {
    base.erase(0, slash + 1);
  }
  for (char& c : base) {
    if (std::strchr("[]:*?/\\", c) != nullptr) c = '_';
  }
  if (!base.empty() && base.front() == '\'') base.front() = '_';
  if (base.empty()) base = "articles";
  auto cut = [](std::string name, size_t characters) {
    size_t at = 0;
    for (size_t n = 0; at < name.size() && n < characters; ++n) {
      do ++at;
      while (at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80);
    }
    name.resize(at);
    if (!name.empty() && name.back() == '\'') name.back() = '_';
    return name;
  };
  auto folded = [](std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
  };
  auto used = [&](const std::string& name) {
    return std::any_of(taken->begin(), taken->end(), [&](const std::string& t) { return folded(t) == folded(name); });
  };
  std::string name = cut(base, kSheetNameMost);
  for (int n = 2; used(name); ++n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    name = cut(base, kSheetNameMost - suffix.size()) + suffix;
  }
  taken->push_back(name);
  return name;
}

struct Sheet {
  lxw_worksheet* worksheet = nullptr;
  std::string name;
  uint32_t row = 1;  // the next row to write; row 0 holds the headings
  bool full = false;
};

// The private folder of the workbook, removed with what is in it.
struct TemporaryFolder {
  std::string path;
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

int export_workbook(const Context& context, const std::vector<std::string>& typed) {
  std::vector<std::string> plates(typed.size());
  std::string why;
  for (size_t k = 0; k < typed.size(); ++k) {
    if (!typed_plate(typed[k], context.charset, &plates[k], &why)) {
      context.complain(why);
      return kWrongUsage;
    }
  }
  if (::isatty(::fileno(context.out)) == 1) {
    context.complain("un classeur xlsx ne s'affiche pas sur un terminal : redirigez la sortie (> articles.xlsx)");
    return kNotDone;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fleet-xlsx-XXXXXX";
  TemporaryFolder folder;
  if (::mkdtemp(pattern.data()) == nullptr) {
    context.complain("impossible de créer un dossier temporaire pour le classeur : " +
                     std::string(std::strerror(errno)));
    return kNotDone;
  }
  folder.path = pattern;
  const std::string path = folder.path + "/articles.xlsx";
  // Rows are written in order, so the library keeps one row at a time in memory.
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  options.tmpdir = folder.path.data();
  lxw_workbook* workbook = workbook_new_opt(path.c_str(), &options);
  if (workbook == nullptr) {
    context.complain("impossible de préparer le classeur dans " + charset::harmless(folder.path));
    return kNotDone;
  }
  lxw_format* heading = workbook_add_format(workbook);
  format_set_bold(heading);
  lxw_format* text = workbook_add_format(workbook);
  format_set_num_format(text, "@");
  lxw_format* whole = workbook_add_format(workbook);
  format_set_num_format(whole, "#,##0");
  lxw_format* euros = workbook_add_format(workbook);
  format_set_num_format(euros, "#,##0.00 \"€\"");

  const Period period = context.period();
  std::vector<Sheet> sheets(period.size());
  std::vector<std::string> taken;
  for (size_t i = 0; i < period.size(); ++i) {
    Sheet& sheet = sheets[i];
    sheet.name = sheet_name(period.files()[i].shown, &taken);
    sheet.worksheet = workbook_add_worksheet(workbook, sheet.name.c_str());
    if (sheet.worksheet == nullptr) {  // a name the library still refuses
      sheet.name = "feuille " + std::to_string(i + 1);
      sheet.worksheet = workbook_add_worksheet(workbook, sheet.name.c_str());
    }
    worksheet_set_column(sheet.worksheet, 0, 0, 16, nullptr);
    worksheet_set_column(sheet.worksheet, 1, csv::kColumnCount - 1, 14, nullptr);
    worksheet_freeze_panes(sheet.worksheet, 1, 0);
    for (size_t c = 0; c < csv::kColumnCount; ++c) {
      worksheet_write_string(sheet.worksheet, 0, static_cast<lxw_col_t>(c), csv::kColumns[c], heading);
    }
  }
  bool any = false;
  bool whole_period = true;
  auto put = [&](size_t file, const Article& article) {
    any = true;
    Sheet& sheet = sheets[file];
    if (sheet.row == kRowsMost) {
      if (!sheet.full) context.complain("la feuille " + sheet.name + " est pleine : articles suivants non exportés");
      sheet.full = true;
      whole_period = false;
      return;
    }
    std::string_view plate = article.plate;
    while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
    lxw_worksheet* ws = sheet.worksheet;
    const lxw_row_t r = sheet.row++;
    worksheet_write_string(ws, r, 0, charset::utf8_of(plate).c_str(), text);
    worksheet_write_number(ws, r, 1, article.week, whole);
    for (size_t d = 0; d < layout::kDays; ++d) {
      const auto c = static_cast<lxw_col_t>(2 + 2 * d);
      worksheet_write_number(ws, r, c, article.days[d].mileage, whole);
      worksheet_write_number(ws, r, c + 1, static_cast<double>(article.days[d].cents) / 100, euros);
    }
  };
  whole_period = each_exported(context, period, plates, put) && whole_period;
  whole_period = whole_period && period.whole();
  const lxw_error closed = workbook_close(workbook);
  if (!any && !whole_period) return kNotDone;  // nothing at all when no file could be read
  if (closed != LXW_NO_ERROR) {
    context.complain("le classeur n'a pas pu être écrit dans " + charset::harmless(folder.path) +
                     " (libxlsxwriter : " + lxw_strerror(closed) + ")");
    return kNotDone;
  }
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    context.complain("impossible de relire le classeur " + charset::harmless(path) + " : " + std::strerror(errno));
    return kNotDone;
  }
  Output output(context);
  std::vector<char> buffer(1 << 16);
  for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;) output.write({buffer.data(), n});
  const bool read = !std::ferror(in);
  std::fclose(in);
  if (!read) context.complain("impossible de relire le classeur " + charset::harmless(path));
  return output.finish() && read && whole_period ? kDone : kNotDone;
}

}  // namespace fleet
