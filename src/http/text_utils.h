// Small text functions used to build CGI requests and read the camera's key/value answers.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace HUtils {

// printf-style formatting into a string of exactly the needed length.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for an argument list (left unconsumed for the caller's va_end); empty on a bad format.
std::string FormatStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Copy without leading and trailing blanks and tabs.
std::string Trim(const std::string& text);

// Copy of `text` without any character that occurs in `set`.
std::string RemoveChars(const std::string& text, const std::string& set);

// Value of `key` in a key/value text such as "Valid=1\r\nVersion=2\r\n" (separator "=",
// delimiters "\r\n"); empty when not found. The candidate name starts where the key was found, so a
// key that is the tail of a longer name on an earlier line matches there; blanks around the name
// are trimmed, the value is returned as it stands. Total for any arguments: it always ends, and a
// value never runs past the delimiter that ends its line.
std::string GetValue(const std::string& key, const std::string& separator, const std::string& text,
                     const std::string& delimiters);

// Every byte outside the URI unreserved set (letters, digits, "-", ".", "_", "~") as %XX, for
// text that goes into a query string (user names, passwords).
std::string PercentEncode(const std::string& text);

// Strict decimal conversion: an optional sign and at least one digit, nothing else, within the
// 32-bit range. On failure `out` is 0 and the result false.
bool ParseInt(const std::string& text, int32_t& out);

// Leading-digits conversion as the C library's atoi reads camera values, but saturated to the
// 32-bit range instead of undefined: leading blanks, optional sign, digits; 0 when there are none.
int32_t AtoiSaturated(const std::string& text);

}  // namespace HUtils
