// What the nine dialogue programs say alike when asked (--help, --version), in Latin-1
// like their dialogue. Each program adds its own name and description:
//
//   constexpr rt::Usage usage{"civil", "Lit un num\xE9ro ...\n", programs::kUsage};
#pragma once

#include "programs/package.h"
#include "runtime/usage.h"

namespace programs {

inline constexpr rt::Package kUsage{
    kPackage,
    kVersion,
    "Utilisation : ",
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
    "cution ; une ligne sur l'erreur standard\n"
    "Sur un terminal UTF-8, les accents sont \xE9"
    "crits et lus en UTF-8 ;\n"
    "FLEET_CHARSET=utf-8 ou latin1 impose l'un ou l'autre jeu de caract\xE8res.\n",
    kCharsetVariable,
};

}  // namespace programs
