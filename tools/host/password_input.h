// Where a camera password comes from besides --password (which `ps` shows to every user): a file
// (--password-file), the ZARNHOST_PASSWORD variable, or a prompt without echo when the program
// runs on a terminal and none was given.
#pragma once

#include <optional>
#include <string>

namespace zarnhost {

// The first line of `path` without its line end; nullopt with `error` when it cannot be read.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error);

// Asks on the terminal, without echo, when standard input and standard error are terminals;
// nullopt otherwise (or when the input ended).
std::optional<std::string> PromptPassword(const std::string& prompt);

}  // namespace zarnhost
