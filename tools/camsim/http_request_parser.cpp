#include "http_request_parser.h"

#include <algorithm>
#include <cctype>

namespace zarncam {
namespace {

constexpr std::size_t kMaxHeaderLines = 100;

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool IsToken(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) !=
                                      std::string_view::npos;
    });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> HttpRequest::Header(std::string_view lowerName) const {
    for (const auto& [name, value] : headers) {
        if (name == lowerName) return value;
    }
    return std::nullopt;
}

bool HttpRequest::KeepAlive() const {
    const std::string connection = Lower(Header("connection").value_or(""));
    if (versionMinor == 0) return connection.find("keep-alive") != std::string::npos;
    return connection.find("close") == std::string::npos;
}

HttpRequestParser::Result HttpRequestParser::Feed(const char* data, std::size_t size) {
    buffer_.append(data, size);
    const std::size_t end = buffer_.find("\r\n\r\n", scanned_ >= 3 ? scanned_ - 3 : 0);
    scanned_ = buffer_.size();
    if (end == std::string::npos) {
        return buffer_.size() > maxHeadBytes_ ? Result::kTooLarge : Result::kNeedMore;
    }
    if (end + 4 > maxHeadBytes_) return Result::kTooLarge;
    headEnd_ = end + 4;
    return ParseHead(std::string_view(buffer_).substr(0, end));
}

HttpRequestParser::Result HttpRequestParser::ParseHead(std::string_view head) {
    request_ = HttpRequest{};
    // Tolerate empty lines before the request line (a client's stray CRLF after a body).
    while (head.substr(0, 2) == "\r\n") head.remove_prefix(2);
    std::size_t lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return Result::kBad;
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!IsToken(method) || target.empty() || target.find(' ') != std::string_view::npos) {
        return Result::kBad;
    }
    if (version == "HTTP/1.1") {
        request_.versionMinor = 1;
    } else if (version == "HTTP/1.0") {
        request_.versionMinor = 0;
    } else {
        return Result::kBad;
    }
    request_.method = std::string(method);
    request_.target = std::string(target);

    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        line = head.substr(
            start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        if (line.empty()) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
            return Result::kBad;
        }
        if (request_.headers.size() >= kMaxHeaderLines) return Result::kTooLarge;
        request_.headers.emplace_back(Lower(line.substr(0, colon)),
                                      std::string(TrimBlanks(line.substr(colon + 1))));
    }
    return Result::kDone;
}

std::string HttpRequestParser::TakeRemainder() {
    std::string rest = buffer_.substr(std::min(headEnd_, buffer_.size()));
    buffer_.resize(std::min(headEnd_, buffer_.size()));
    return rest;
}

void HttpRequestParser::Reset(std::string pending) {
    buffer_ = std::move(pending);
    scanned_ = 0;
    headEnd_ = 0;
    request_ = HttpRequest{};
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else if (c == '+') {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> out;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        if (!item.empty()) {
            const std::size_t eq = item.find('=');
            if (eq == std::string_view::npos) {
                out.emplace_back(PercentDecode(item), std::string());
            } else {
                out.emplace_back(PercentDecode(item.substr(0, eq)),
                                 PercentDecode(item.substr(eq + 1)));
            }
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return out;
}

std::optional<std::string> QueryValue(const std::vector<std::pair<std::string, std::string>>& q,
                                      std::string_view name) {
    const std::string wanted = Lower(name);
    for (const auto& [key, value] : q) {
        if (Lower(key) == wanted) return value;
    }
    return std::nullopt;
}

}  // namespace zarncam
