#include "password_input.h"

#include <cstdio>
#include <fstream>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace zarnhost {

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the password file " + path;
        return std::nullopt;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> PromptPassword(const std::string& prompt) {
#ifdef _WIN32
    if (_isatty(_fileno(stdin)) == 0 || _isatty(_fileno(stderr)) == 0) return std::nullopt;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return std::nullopt;
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
#else
    if (isatty(STDIN_FILENO) == 0 || isatty(STDERR_FILENO) == 0) return std::nullopt;
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
#endif
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
#ifdef _WIN32
    SetConsoleMode(input, mode);
#else
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
#endif
    std::fputc('\n', stderr);
    if (!got) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace zarnhost
