// The commands of the fleet command line that only print: they read the period
// through operations/ and write what they found on standard output.
#pragma once

#include <string>

#include "operations/context.h"

namespace fleet {

int list_articles(const Context& context);
int show_article(const Context& context, const std::string& plate);
int show_stats(const Context& context);
// The HTML report of the period, written aside and renamed to destination ("-": standard output).
int write_report(const Context& context, const std::string& destination);

}  // namespace fleet
