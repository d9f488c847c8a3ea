// --help and --version: answered before the program's first statement.
#include "runtime/usage.h"

#include <string_view>

#include "runtime/charset.h"
#include "runtime/console.h"
#include "runtime/frame.h"

namespace rt {

namespace {

// Latin-1, like every text of the programs.
constexpr std::string_view kExitStatuses =
    "Codes de sortie :\n"
    "  0  fin normale, aussi quand l'entr\xE9"
    "e standard se termine\n"
    "  1  une op\xE9ration demand\xE9"
    "e n'a pas abouti (article non enregistr\xE9,\n"
    "     lecture en \xE9"
    "chec, sortie standard non \xE9"
    "crite) ; une ligne sur\n"
    "     l'erreur standard par \xE9"
    "chec\n"
    "  2  erreur fatale de l'ex\xE9"
    "cution ; une ligne sur l'erreur standard\n";
constexpr std::string_view kCharsets =
    "Sur un terminal UTF-8, les accents sont \xE9"
    "crits et lus en UTF-8 ;\n"
    "FLEET_CHARSET=utf-8 ou latin1 impose l'un ou l'autre jeu de caract\xE8res.\n";

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
  if (argc != 2 || argv[1] == nullptr) return;
  const std::string_view option = argv[1];
  if (option != "--help" && option != "--version") return;

  Charset charset;
  if (!forced_charset(&charset)) charset = locale_charset();
  const bool utf8 = charset == Charset::kUtf8;
  if (option == "--version") {
    for (std::string_view part :
         {std::string_view(usage.name), std::string_view(" (fleet-programs) " FLEET_VERSION "\n")}) {
      write_text(part, utf8);
    }
  } else {
    for (std::string_view part :
         {std::string_view("Utilisation : "), std::string_view(usage.name), std::string_view(" [--help | --version]\n"),
          std::string_view(usage.description), kExitStatuses, kCharsets}) {
      write_text(part, utf8);
    }
  }
  stop_run(0);
}

}  // namespace rt
