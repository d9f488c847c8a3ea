// What every program of the package shares, above the libraries it is written on: the
// package's name and version, and the environment variable that forces the character
// set of people's text (docs/charsets.md). The nine dialogue programs hand them to the
// runtime (programs/usage.h); the fleet command and the web server to the character-set
// library (charset/).
#pragma once

namespace programs {

inline constexpr char kPackage[] = "fleet-programs";
inline constexpr char kVersion[] = FLEET_VERSION;  // the project's, defined by the build
inline constexpr char kCharsetVariable[] = "FLEET_CHARSET";

}  // namespace programs
