// Web::CHttpSender: the one HTTP client of the driver. Each user of the camera owns its own sender
// (a channel, a PTZ channel, a capability query). A sender keeps one connection to the camera,
// reused by every request, and at most one open request. It learns the authentication scheme the
// camera asks for from the first 401 answer and keeps it for its whole life.
//
// Threads: a sender has no lock and is used by one thread at a time (its owner). Abort may be
// called from any thread at any time, to make a blocked send or read return at once (used by stop
// paths); ResetAbort and Aborted may be called from any thread too, ResetAbort once the aborted
// work has returned (typically after joining the worker, before a restart). The owner must make
// sure no Abort is still running when it destroys the sender (stop paths abort, join, delete).
//
// Time-outs (DEVICE_INFO::requestTimeoutMs, 5000 ms when not positive): the connect phase is
// bounded by it, and every send and read gives up when that long passes without any byte arriving.
// There is no limit on the total length of a response, so an endless stream can be read for ever.
//
// Bounds: response headers of one send are limited to 64 KiB; the body waiting to be read is kept
// in a buffer of 64 KiB (or the size of the ReadChunk in progress) plus one network read; beyond
// that the transfer is paused until the owner reads.
//
// The backend (libcurl on Linux, WinHTTP on Windows) stays behind this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/idriver.h"

namespace Web {

// Authentication schemes (the values of LearnedScheme and PreferredScheme).
enum AuthScheme : uint32_t {
    kAuthNone = 0,
    kAuthBasic = 1,
    kAuthNtlm = 2,
    kAuthPassport = 4,  // recognised in a challenge, but no credentials can be sent with it
    kAuthDigest = 8,
    kAuthNegotiate = 0x10,
};

// Option bits of HttpRequest::options.
enum RequestOption : uint32_t {
    kOptionNoQueryEscape = 1,     // the object is always sent as given; kept for callers' sake
    kOptionIgnoreCertErrors = 2,  // HTTPS only: accept any certificate and host name
    kOptionNoRedirects = 4,       // redirects are never followed; kept for callers' sake
    kOptionSendOnly = 8,          // SendRequest returns once the request went out
};

struct HttpRequest {
    HttpRequest(std::string verbIn, std::string objectIn)
        : verb(std::move(verbIn)), object(std::move(objectIn)) {}

    std::string verb;
    // Path and query string, sent as given. Bytes that may not appear in a request line at all
    // (controls, blank, DEL, bytes above 0x7F) go out percent-encoded.
    std::string object;
    int32_t secure = 0;  // 1: HTTPS
    uint32_t authMethod =
        0;  // preferred scheme: 0 Basic, 1 NTLM, 2 Passport, 3 Digest, 4..7 Negotiate
    std::vector<uint8_t> body;
    // Announced body length; a value above body.size() cannot be honoured (there is no way to write
    // the rest) and fails the send.
    uint32_t totalLength = 0;
    std::vector<std::string> headerLines;  // "Name: value", no CR or LF
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
    // the current request and its status code is stored (any status, 401 included). A 401 before
    // any scheme was learned teaches the scheme of the answer's first WWW-Authenticate header and,
    // when it differs from the request's preferred one, the request is sent once more with it.
    // False for an empty verb or object (nothing is sent), a connection failure, a time-out, an
    // abort, or a 401 that could not be answered; no request is open afterwards.
    bool SendRequest(HttpRequest& request);
    // Reads the rest of the current body into `out` (replacing it), up to 256 MiB; returns its
    // size. A body shorter than its Content-Length (time-out, broken connection) counts as no
    // body: 0 and `out` empty; so does every body after an abort. An answer without a
    // Content-Length ends where the camera stopped sending: by closing or by the time-out.
    size_t ReadAll(std::vector<uint8_t>& out);
    // Like ReadAll but fails (returns 0 and empties `out`) once the body exceeds `limit` bytes;
    // *tooLong (when given) then says that this was the reason.
    size_t ReadAllLimited(std::vector<uint8_t>& out, size_t limit, bool* tooLong = nullptr);
    // Reads exactly `n` bytes unless the response ends or the receive time-out passes first; then
    // the bytes that did arrive (fewer than n). 0 with `out` empty after an abort.
    size_t ReadChunk(std::vector<uint8_t>& out, size_t n);
    // Waits until at least one body byte has arrived (or the response ends, the receive time-out
    // passes or the sender is aborted), then copies what has arrived, up to `max` bytes, to
    // `into`. Returns how many; 0 once the response has ended, after a time-out and after an abort.
    size_t ReadAvailable(uint8_t* into, size_t max);
    // Status of the last response received by this sender; 0 while none ever was.
    uint32_t GetStatusCode() const;
    // Closes the current request, if any. A response read to its end leaves the connection open
    // for the next request; one closed early drops it.
    void CloseRequest();
    // Any thread: makes a blocked SendRequest or read return at once and fails later ones until
    // ResetAbort.
    void Abort();
    // Lets the sender work again after Abort (before a channel restarts).
    void ResetAbort();
    bool Aborted() const;

    const talvane::DEVICE_INFO& Device() const { return device_; }
    uint32_t LearnedScheme() const;

    static constexpr size_t kReadAllLimit = 0x10000000;  // 256 MiB

    class Impl;

private:
    talvane::DEVICE_INFO device_;
    std::unique_ptr<Impl> impl_;
};

// Rules every backend applies the same way (http_sender_common.cpp); not for callers.
namespace detail {

constexpr int32_t kDefaultTimeoutMs = 5000;
constexpr size_t kMaxHeaderBytes = 64 * 1024;  // response headers of one send

// The device's time-out, or kDefaultTimeoutMs when it is not positive.
int32_t EffectiveTimeoutMs(int32_t requestTimeoutMs);
// False for a request that must fail without traffic: a verb that is not an HTTP token, an empty
// object, a header line that is not one "Name: value" line, or a totalLength above body.size().
bool IsSendable(const HttpRequest& request);
// The object as it goes into the request line: as given, with a leading '/' added when missing;
// bytes that cannot stand in a request line (controls, blank, DEL, above 0x7F) and '#' (which
// would end the URL) are percent-encoded.
std::string RequestTarget(const std::string& object);

}  // namespace detail

}  // namespace Web
