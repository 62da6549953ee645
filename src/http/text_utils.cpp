#include "http/text_utils.h"

#include <cstdarg>
#include <cstdio>
#include <limits>
#include <vector>

namespace HUtils {

std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = FormatStringV(format, args);
    va_end(args);
    return out;
}

std::string FormatStringV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string RemoveChars(const std::string& text, const std::string& set) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (set.find(c) == std::string::npos) out.push_back(c);
    }
    return out;
}

std::string GetValue(const std::string& key, const std::string& separator, const std::string& text,
                     const std::string& delimiters) {
    if (key.empty() || separator.empty() || delimiters.empty()) return std::string();
    size_t p = text.find(key);
    while (p != std::string::npos) {
        size_t lineEnd = text.find_first_of(delimiters, p);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        const size_t s = text.find(separator, p);
        if (s != std::string::npos && s < lineEnd) {
            if (Trim(text.substr(p, s - p)) == key && s + separator.size() < text.size()) {
                const size_t valueStart = s + separator.size();
                return text.substr(valueStart, lineEnd - valueStart);
            }
        }
        if (lineEnd >= text.size()) return std::string();
        // Past the delimiter: a key that starts with one would otherwise be found here again.
        p = text.find(key, lineEnd + 1);
    }
    return std::string();
}

bool ParseInt(const std::string& text, int32_t& out) {
    out = 0;
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i >= text.size()) return false;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max() ||
        value < std::numeric_limits<int32_t>::min()) {
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

int32_t AtoiSaturated(const std::string& text) {
    size_t i = text.find_first_not_of(" \t\r\n\v\f");
    if (i == std::string::npos) return 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) break;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

std::string PercentEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace HUtils
