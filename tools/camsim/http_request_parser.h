// Incremental parser of one HTTP/1.x request head (request line and header lines), with a bound
// on the size of the head. Used by one connection thread; no shared state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarncam {

struct HttpRequest {
    std::string method;
    std::string target;                                        // as sent
    int versionMinor = 1;                                      // HTTP/1.<minor>
    std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased

    // Value of the first header with this (lower-case) name.
    std::optional<std::string> Header(std::string_view lowerName) const;
    bool KeepAlive() const;
};

class HttpRequestParser {
public:
    enum class Result { kNeedMore, kDone, kTooLarge, kBad };

    explicit HttpRequestParser(std::size_t maxHeadBytes) : maxHeadBytes_(maxHeadBytes) {}

    // Appends received bytes. kDone: Request() holds the request and Remainder() the bytes
    // received after its head. kTooLarge / kBad: the connection should be answered and closed.
    Result Feed(const char* data, std::size_t size);

    const HttpRequest& Request() const { return request_; }
    // Bytes after the head of the finished request; they start the next request.
    std::string TakeRemainder();
    // Forgets the finished request and starts the next one with the given bytes.
    void Reset(std::string pending = {});

private:
    Result ParseHead(std::string_view head);

    std::size_t maxHeadBytes_;
    std::string buffer_;
    std::size_t scanned_ = 0;  // bytes of buffer_ already searched for the end of the head
    std::size_t headEnd_ = 0;
    HttpRequest request_;
};

// "%41" -> "A"; '+' becomes a blank, as in HTML form encoding. Broken escapes stay as they are.
std::string PercentDecode(std::string_view text);

// Splits "a=1&b=2" (the part of a target after '?') into decoded pairs, in order.
std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query);

// The decoded value of the first parameter whose name matches (case-insensitive).
std::optional<std::string> QueryValue(const std::vector<std::pair<std::string, std::string>>& q,
                                      std::string_view name);

}  // namespace zarncam
