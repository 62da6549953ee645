// Small independent clients for the camera simulator tests: a raw socket connection with
// bounded waits, a one-shot HTTP GET over it, a stream reader that cuts "Length: " parts the way
// the driver does, a NAL reassembler for the payload format, and a libcurl GET.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "camsim.h"

namespace zarncam::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One TCP connection to 127.0.0.1 with reads bounded by a deadline.
class RawConnection {
public:
    explicit RawConnection(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() { Close(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Connected() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool Send(const std::string& data) {
        std::size_t sent = 0;
        while (fd_ >= 0 && sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return sent == data.size();
    }

    // Reads whatever arrives before the deadline (at most max bytes) into buffered_. Returns
    // false when the peer closed the connection (or it failed) and nothing more can come.
    bool Fill(Clock::time_point deadline, std::size_t max = 65536) {
        if (fd_ < 0 || eof_) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
            return true;
        }
        std::string chunk(max, '\0');
        const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffered_.append(chunk.data(), static_cast<std::size_t>(n));
        return true;
    }

    // Waits until at least n bytes are buffered; false on time-out or end of connection.
    bool WaitBytes(std::size_t n, Clock::time_point deadline) {
        while (buffered_.size() < n) {
            if (Clock::now() >= deadline || !Fill(deadline)) return buffered_.size() >= n;
        }
        return true;
    }

    // Waits until the text occurs in the buffer; its end position, or nullopt.
    std::optional<std::size_t> WaitFor(const std::string& text, Clock::time_point deadline) {
        std::size_t from = 0;
        while (true) {
            const std::size_t pos = buffered_.find(text, from);
            if (pos != std::string::npos) return pos + text.size();
            from = buffered_.size() >= text.size() ? buffered_.size() - text.size() + 1 : 0;
            if (Clock::now() >= deadline || !Fill(deadline)) {
                const std::size_t last = buffered_.find(text, from);
                if (last != std::string::npos) return last + text.size();
                return std::nullopt;
            }
        }
    }

    // True when the peer has closed (reads return end of stream) before the deadline.
    bool WaitClosed(Clock::time_point deadline) {
        while (!eof_ && Clock::now() < deadline) Fill(deadline);
        return eof_;
    }

    std::string& Buffered() { return buffered_; }
    std::string Take(std::size_t n) {
        std::string out = buffered_.substr(0, n);
        buffered_.erase(0, n);
        return out;
    }
    bool Eof() const { return eof_; }

private:
    int fd_ = -1;
    bool eof_ = false;
    std::string buffered_;
};

struct Response {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
};

// Reads one response with a Content-Length body from the connection.
inline std::optional<Response> ReadResponse(RawConnection& c, Clock::time_point deadline) {
    const auto headEnd = c.WaitFor("\r\n\r\n", deadline);
    if (!headEnd) return std::nullopt;
    Response r;
    r.head = c.Take(*headEnd);
    if (r.head.rfind("HTTP/1.1 ", 0) != 0 || r.head.size() < 12) return std::nullopt;
    r.status = std::stoi(r.head.substr(9, 3));
    const std::size_t cl = r.head.find("Content-Length: ");
    if (cl == std::string::npos) return r;
    const std::size_t length = std::stoul(r.head.substr(cl + 16));
    if (!c.WaitBytes(length, deadline)) return std::nullopt;
    r.body = c.Take(length);
    return r;
}

inline std::string GetRequest(const std::string& target, const std::string& extraHeaders = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

// "Authorization: Basic ..." header line for the credentials.
inline std::string BasicHeader(const std::string& user, const std::string& password) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string in = user + ":" + password;
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
    }
    return "Authorization: Basic " + out + "\r\n";
}

// One GET on a fresh connection; nullopt when no complete answer came within 10 s.
inline std::optional<Response> HttpGet(uint16_t port, const std::string& target,
                                       const std::string& extraHeaders = "") {
    RawConnection c(port);
    if (!c.Connected() || !c.Send(GetRequest(target, extraHeaders))) return std::nullopt;
    return ReadResponse(c, Clock::now() + 10s);
}

// Result of a libcurl GET.
struct CurlResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
};

inline CurlResult CurlGet(const std::string& url, const std::string& user,
                          const std::string& password, long authMask) {
    CurlResult result;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        result.code = CURLE_FAILED_INIT;
        return result;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, authMask);
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* sink) {
            static_cast<std::string*>(sink)->append(data, size * count);
            return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    result.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_easy_cleanup(curl);
    return result;
}

// Reads the stream of "/cgi-bin/video_post.cgi": checks the response head, then cuts parts by
// searching for "Length: " the way the driver does (junk before a header is skipped).
class StreamReader {
public:
    static constexpr uint64_t kMaxLength = 16u << 20;

    explicit StreamReader(uint16_t port, const std::string& extraHeaders = "") : connection_(port) {
        if (!connection_.Connected() ||
            !connection_.Send(GetRequest("/cgi-bin/video_post.cgi", extraHeaders))) {
            return;
        }
        const auto headEnd = connection_.WaitFor("\r\n\r\n", Clock::now() + 10s);
        if (!headEnd) return;
        head_ = connection_.Take(*headEnd);
        ok_ = head_.rfind("HTTP/1.1 200", 0) == 0;
    }

    bool Ok() const { return ok_; }
    const std::string& Head() const { return head_; }
    RawConnection& Connection() { return connection_; }

    // The next payload. An announced length above kMaxLength counts as damage: it is noted in
    // HugeLengths() and the search goes on. nullopt on time-out or end of stream; after a
    // time-out inside a payload the next call continues with that payload.
    std::optional<std::string> NextPayload(Clock::time_point deadline) {
        while (pendingLength_ == 0) {
            const auto tagEnd = connection_.WaitFor("Length: ", deadline);
            if (!tagEnd) return std::nullopt;
            skipped_ += *tagEnd - 8;
            connection_.Take(*tagEnd);
            const auto lineEnd = connection_.WaitFor("\r\n\r\n", deadline);
            if (!lineEnd) return std::nullopt;
            const std::string digits = connection_.Take(*lineEnd);
            const uint64_t length = std::strtoull(digits.c_str(), nullptr, 10);
            if (length > kMaxLength) {
                hugeLengths_.push_back(length);
                continue;
            }
            pendingLength_ = static_cast<std::size_t>(length);
        }
        if (!connection_.WaitBytes(pendingLength_, deadline)) return std::nullopt;
        ++parts_;
        const std::size_t length = pendingLength_;
        pendingLength_ = 0;
        return connection_.Take(length);
    }

    // Announced length of a payload that has not fully arrived yet (0: none).
    std::size_t PendingLength() const { return pendingLength_; }
    std::size_t SkippedBytes() const { return skipped_; }
    std::size_t Parts() const { return parts_; }
    const std::vector<uint64_t>& HugeLengths() const { return hugeLengths_; }

private:
    RawConnection connection_;
    std::string head_;
    bool ok_ = false;
    std::size_t skipped_ = 0;
    std::size_t parts_ = 0;
    std::size_t pendingLength_ = 0;
    std::vector<uint64_t> hugeLengths_;
};

// Rebuilds NAL units from payloads and checks the payload format on the way.
class NalAssembler {
public:
    // False when the payload breaks the format (an empty payload, a continuation with nothing in
    // progress, a first payload shorter than six bytes).
    bool Add(const std::string& payload) {
        if (payload.empty()) return false;
        const bool start = payload[0] == 0 && payload[1 % payload.size()] == 0 &&
                           payload.size() >= 3 && payload[2] == 0;
        if (start) {
            if (payload.size() < 6 || payload.compare(0, 5, std::string("\0\0\0\0\1", 5)) != 0) {
                return false;
            }
            Flush();
            current_ = payload.substr(5);
            return true;
        }
        if (current_.empty()) return false;
        current_.append(payload, 1, std::string::npos);
        return true;
    }
    // Moves the NAL unit in progress to the finished list.
    void Flush() {
        if (!current_.empty()) nals_.push_back(std::move(current_));
        current_.clear();
    }
    const std::vector<std::string>& Nals() const { return nals_; }

    static int Type(const std::string& nal) {
        return nal.empty() ? -1 : static_cast<unsigned char>(nal[0]) & 0x1F;
    }

private:
    std::string current_;
    std::vector<std::string> nals_;
};

// Annex B dump (four-byte start codes) of NAL units.
inline std::string AnnexB(const std::vector<std::string>& nals) {
    std::string out;
    for (const auto& nal : nals) {
        out.append("\0\0\0\1", 4);
        out += nal;
    }
    return out;
}

}  // namespace zarncam::testing
