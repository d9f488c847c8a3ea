// --help and --version: answered before the program's first statement.
#include "runtime/usage.h"

#include <string_view>

#include "runtime/charset.h"
#include "runtime/console.h"
#include "runtime/frame.h"

namespace rt {

namespace {

void write_text(std::string_view latin1, bool utf8) {
  constexpr size_t kPiece = 256;
  char encoded[kPiece * kMaxEncodedLength];
  for (size_t at = 0; at < latin1.size(); at += kPiece) {
    const std::string_view piece(latin1.data() + at, latin1.size() - at < kPiece ? latin1.size() - at : kPiece);
    standard_output().write(encoded, encode(piece, utf8, false, encoded));
  }
}

}  // namespace

void init(int argc, char** argv, const Usage& usage) {
  init(argc, argv);
  name_charset_variable(usage.package.charset_variable);
  if (argc != 2 || argv[1] == nullptr) return;
  const std::string_view option = argv[1];
  if (option != "--help" && option != "--version") return;

  const bool utf8 = charset::chosen_charset(usage.package.charset_variable) == Charset::kUtf8;
  if (option == "--version") {
    for (std::string_view part :
         {std::string_view(usage.name), std::string_view(" ("), std::string_view(usage.package.name),
          std::string_view(") "), std::string_view(usage.package.version), std::string_view("\n")}) {
      write_text(part, utf8);
    }
  } else {
    for (std::string_view part : {std::string_view(usage.package.usage_label), std::string_view(usage.name),
                                  std::string_view(" [--help | --version]\n"), std::string_view(usage.description),
                                  std::string_view(usage.package.closing)}) {
      write_text(part, utf8);
    }
  }
  stop_run(0);
}

}  // namespace rt
