// The pieces every page of fleet serve is written with: text from a file made safe
// for HTML and for an address, and the charts, drawn as SVG inside the page (no
// script, no file of their own) and scaled to the width of the screen.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fleet::web {

// UTF-8 text as HTML text or attribute value: & < > " ' as references.
std::string escaped(std::string_view utf8);
void append_escaped(std::string& out, std::string_view utf8);

// A stored plate (Latin-1, padded) as pages show it: control bytes in caret notation,
// then escaped for HTML.
std::string plate_html(std::string_view stored);
// The plate as UTF-8 without its filling, the form an address or a search holds.
std::string plate_utf8(std::string_view stored);

// Bytes as one component of an address: all but letters, digits and -._~ as %XX.
std::string address_component(std::string_view bytes);
// The address of a car's page.
std::string car_address(std::string_view stored_plate);

struct Bar {
  std::string label;  // HTML already
  uint64_t value;
  std::string shown;  // the value as written on the bar
};

// Vertical bars under a caption, the value above each (in each bar's tooltip only,
// with every fifth label, when there are many).
std::string column_chart(const std::string& caption, const std::vector<Bar>& bars);
// One horizontal bar a row, the label before it.
std::string row_chart(const std::string& caption, const std::vector<Bar>& rows);

}  // namespace fleet::web
