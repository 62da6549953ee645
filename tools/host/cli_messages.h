// The command line's checks and errors in plain sentences: numeric ranges ("--speed must be a whole
// number from 1 to 16"), names from a list, and the parser's own errors (an unknown option is
// named as one).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace zarnhost {

// A whole number from `low` to `high`.
CLI::Validator WholeNumber(int64_t low, int64_t high);
// A number (fractions allowed) above zero.
CLI::Validator MoreThanZero();
// One of `names`.
CLI::Validator OneOf(const std::vector<std::string>& names);

// One line for a parse error of `app`, without the "error:" prefix.
std::string UsageErrorText(const CLI::ParseError& error);

}  // namespace zarnhost
