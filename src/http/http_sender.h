// Web::CHttpSender: the one HTTP client of the driver. Each user of the camera owns its own sender
// (a channel, a PTZ channel, a capability query). A sender keeps one connection to the camera,
// reused by every request, and at most one open request. It learns the authentication scheme the
// camera asks for from the first 401 answer and keeps it for its whole life.
//
// Threads: a sender has no lock and is used by one thread at a time, except Abort, which any thread
// may call at any time to make a blocked send or read return at once (used by stop paths).
// The backend (libcurl here) stays behind this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/idriver.h"

namespace Web {

// Preferred authentication scheme values of HttpRequest::authMethod, mapped to schemes.
enum AuthScheme : uint32_t {
    kAuthNone = 0,
    kAuthBasic = 1,
    kAuthNtlm = 2,
    kAuthPassport = 4,
    kAuthDigest = 8,
    kAuthNegotiate = 0x10,
};

// Option bits of HttpRequest::options.
enum RequestOption : uint32_t {
    kOptionNoQueryEscape = 1,
    kOptionIgnoreCertErrors = 2,
    kOptionNoRedirects = 4,
    kOptionSendOnly = 8,
};

struct HttpRequest {
    HttpRequest(std::string verbIn, std::string objectIn)
        : verb(std::move(verbIn)), object(std::move(objectIn)) {}

    std::string verb;
    std::string object;  // path and query string, sent as given
    int32_t secure = 0;  // 1: HTTPS
    uint32_t authMethod = 0;  // preferred scheme: 0 Basic, 1 NTLM, 2 Passport, 3 Digest, 4..7 Negotiate
    std::vector<uint8_t> body;
    uint32_t totalLength = 0;
    std::vector<std::string> headerLines;
    uint32_t options = kOptionNoQueryEscape | kOptionNoRedirects;
};

// The scheme a request's authMethod prefers (Basic for 0).
uint32_t PreferredScheme(uint32_t authMethod);

class CHttpSender {
public:
    explicit CHttpSender(const talvane::DEVICE_INFO& device);
    virtual ~CHttpSender();
    CHttpSender(const CHttpSender&) = delete;
    CHttpSender& operator=(const CHttpSender&) = delete;

    // Sends one request and, unless send-only, receives the response headers. True: the request is
    // the current request and its status code is stored (any status, 401 included).
    bool SendRequest(HttpRequest& request);
    // Reads the rest of the current body into `out` (replacing it), up to 256 MiB; returns its size.
    size_t ReadAll(std::vector<uint8_t>& out);
    // Like ReadAll but stops (returns 0 and empties `out`) once the body exceeds `limit` bytes.
    size_t ReadAllLimited(std::vector<uint8_t>& out, size_t limit);
    // Reads exactly `n` bytes unless the response ends, the receive time-out passes or the sender
    // is aborted first; returns the number of bytes in `out` (replaced).
    size_t ReadChunk(std::vector<uint8_t>& out, size_t n);
    uint32_t GetStatusCode() const;
    // Closes the current request, if any.
    void CloseRequest();
    // Thread-safe: makes a blocked SendRequest or read return at once and fails later ones until
    // ResetAbort.
    void Abort();
    void ResetAbort();

    const talvane::DEVICE_INFO& Device() const { return device_; }
    uint32_t LearnedScheme() const;

    static constexpr size_t kReadAllLimit = 0x10000000;  // 256 MiB

private:
    class Impl;
    talvane::DEVICE_INFO device_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Web
