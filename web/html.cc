// Escaping, addresses and charts of the pages.
#include "web/html.h"

#include "charset/charset.h"

#include <algorithm>
#include <cstdio>

#include "operations/text.h"

namespace fleet::web {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string_view trimmed(std::string_view plate) {
  while (!plate.empty() && plate.back() == ' ') plate.remove_suffix(1);
  return plate;
}

// The frame of a chart: a figure with its caption, and an SVG drawing whose width is
// the screen's (up to its own), for people a description of what it shows.
std::string chart(const std::string& caption, double width, double height, const std::string& drawing) {
  return "<figure><figcaption>" + escaped(caption) + "</figcaption>\n<svg class=\"chart\" viewBox=\"0 0 " +
         number(width) + " " + number(height) + "\" width=\"" + number(width) + "\" height=\"" + number(height) +
         "\" role=\"img\" aria-label=\"" + escaped(caption) + "\">\n" + drawing + "</svg></figure>\n";
}

}  // namespace

void append_escaped(std::string& out, std::string_view utf8) {
  size_t plain = 0;  // the first byte not yet appended
  for (size_t i = 0; i < utf8.size(); ++i) {
    const char* reference = nullptr;
    switch (utf8[i]) {
      case '&':
        reference = "&amp;";
        break;
      case '<':
        reference = "&lt;";
        break;
      case '>':
        reference = "&gt;";
        break;
      case '"':
        reference = "&quot;";
        break;
      case '\'':
        reference = "&#39;";
        break;
      default:
        continue;
    }
    out.append(utf8.substr(plain, i - plain));
    out += reference;
    plain = i + 1;
  }
  out.append(utf8.substr(plain));
}

std::string escaped(std::string_view utf8) {
  std::string out;
  append_escaped(out, utf8);
  return out;
}

std::string plate_html(std::string_view stored) {
  return escaped(charset::shown(trimmed(stored), text::Charset::kUtf8));
}

std::string plate_utf8(std::string_view stored) { return charset::utf8_of(trimmed(stored)); }

std::string address_component(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out;
}

std::string car_address(std::string_view stored_plate) {
  return "/articles/" + address_component(plate_utf8(stored_plate));
}

std::string column_chart(const std::string& caption, const std::vector<Bar>& bars) {
  const bool crowded = bars.size() > 20;
  const double step = crowded ? 12 : 80;
  const double width = 50 + step * static_cast<double>(bars.size());
  constexpr double kHeight = 200;
  uint64_t most = 1;
  for (const Bar& bar : bars) most = std::max(most, bar.value);
  std::string svg = "<line x1=\"40\" y1=\"" + number(kHeight + 20) + "\" x2=\"" + number(width) + "\" y2=\"" +
                    number(kHeight + 20) + "\" class=\"axis\"/>\n";
  if (crowded) {  // no value above each bar: the scale's top instead
    svg += "<line x1=\"40\" y1=\"20\" x2=\"" + number(width) + "\" y2=\"20\" class=\"grid\"/><text x=\"45\" y=\"14\">" +
           std::to_string(most) + " km</text>\n";
  }
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& bar = bars[i];
    const double h = kHeight * static_cast<double>(bar.value) / static_cast<double>(most);
    const double x = 45 + step * static_cast<double>(i);
    const double middle = x + step * 0.375;
    svg += "<rect x=\"" + number(x) + "\" y=\"" + number(kHeight + 20 - h) + "\" width=\"" + number(step * 0.75) +
           "\" height=\"" + number(h) + "\"><title>" + bar.label + " : " + bar.shown + "</title></rect>";
    if (!crowded) {
      svg += "<text x=\"" + number(middle) + "\" y=\"" + number(kHeight + 14 - h) + "\" class=\"value\">" + bar.shown +
             "</text>";
    }
    if (!crowded || i % 5 == 0) {
      svg += "<text x=\"" + number(middle) + "\" y=\"" + number(kHeight + 38) + "\" class=\"label\">" + bar.label +
             "</text>";
    }
    svg += "\n";
  }
  return chart(caption, width, kHeight + 50, svg);
}

std::string row_chart(const std::string& caption, const std::vector<Bar>& rows) {
  constexpr double kRow = 22;
  constexpr double kLabel = 120;
  constexpr double kBar = 340;
  uint64_t most = 1;
  for (const Bar& row : rows) most = std::max(most, row.value);
  std::string svg;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Bar& row = rows[i];
    const double y = 6 + kRow * static_cast<double>(i);
    const double w = kBar * static_cast<double>(row.value) / static_cast<double>(most);
    svg += "<text x=\"" + number(kLabel - 6) + "\" y=\"" + number(y + 13) + "\" class=\"plate\">" + row.label +
           "</text><rect x=\"" + number(kLabel) + "\" y=\"" + number(y) + "\" width=\"" + number(w) +
           "\" height=\"16\"/><text x=\"" + number(kLabel + w + 4) + "\" y=\"" + number(y + 13) + "\">" + row.shown +
           "</text>\n";
  }
  return chart(caption, kLabel + kBar + 70, 12 + kRow * static_cast<double>(rows.size()), svg);
}

}  // namespace fleet::web
