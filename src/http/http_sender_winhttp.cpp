// CHttpSender on WinHTTP, used synchronously: the owner's thread blocks inside WinHttpSendRequest
// (which also makes the TCP connection), WinHttpReceiveResponse, WinHttpQueryDataAvailable and
// WinHttpReadData, and WinHTTP's own time-outs bound each of those waits. One session handle and
// one connection handle live as long as the sender, so WinHTTP's connection pool reuses the camera
// connection for every request; each request gets a fresh request handle, closed before the next
// one is opened.
//
// Abort: closing a request handle makes a synchronous call blocked on it return with an error.
// The handle value sits behind a small mutex. Abort closes it there, at most once, and marks it
// closed; from then on nobody passes it to WinHTTP again, and the owner forgets it (without a
// second close) when it closes the request. Quick calls on the handle (options, headers, queries)
// run under the mutex, so Abort never closes the handle in the middle of one; the blocking calls
// take the handle under the mutex and run outside it, which is what lets Abort reach them.
// Wine's WinHTTP (8.0) does not wake a blocked call when its handle is closed: there the call
// returns when its time-out passes, and fails because of the abort.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <iterator>
#include <mutex>

#include "http/http_sender.h"

namespace Web {

namespace {

constexpr size_t kReadStep = 8192;          // bytes per WinHttpReadData of ReadAll / ReadAllLimited
constexpr size_t kMaxReadPiece = 1u << 30;  // largest single WinHttpReadData of ReadChunk
constexpr DWORD kMaxConnsPerServer = 16;
constexpr uint64_t kUnknownLength = UINT64_MAX;
constexpr uint64_t kDrainLimit = 64 * 1024;  // longest rest a close reads to keep the link

static_assert(kAuthBasic == WINHTTP_AUTH_SCHEME_BASIC && kAuthNtlm == WINHTTP_AUTH_SCHEME_NTLM &&
              kAuthPassport == WINHTTP_AUTH_SCHEME_PASSPORT &&
              kAuthDigest == WINHTTP_AUTH_SCHEME_DIGEST &&
              kAuthNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE);

// Text for WinHTTP: UTF-16 from the system's 8-bit code page, as every text of the host is.
bool Widen(const std::string& text, std::wstring* out) {
    out->clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<size_t>(INT_MAX)) return false;
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (length <= 0) return false;
    out->resize(static_cast<size_t>(length));
    return MultiByteToWideChar(CP_ACP, 0, text.data(), size, out->data(), length) == length;
}

bool SetDword(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

// The body length the response announces: 0 for an answer that has no body, kUnknownLength when
// it is chunked or carries no usable Content-Length. WinHTTP may report a connection closed before
// the announced length as a normal end of the body; comparing with this tells a body cut short.
uint64_t AnnouncedLength(HINTERNET request, const std::string& verb, DWORD status) {
    if (verb == "HEAD" || status < 200 || status == 204 || status == 304) return 0;
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return kUnknownLength;
    }
    WCHAR text[24] = {};  // up to 20 digits and the terminator; longer values stay unknown
    size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return kUnknownLength;
    }
    const size_t length = std::min<size_t>(size / sizeof(WCHAR), std::size(text) - 1);
    if (length == 0) return kUnknownLength;
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        const WCHAR c = text[i];
        if (c < L'0' || c > L'9' || value > (UINT64_MAX - 9) / 10) return kUnknownLength;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return value;
}

}  // namespace

class CHttpSender::Impl {
public:
    explicit Impl(const talvane::DEVICE_INFO& device);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool Send(HttpRequest& request);
    size_t ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong, bool failWhenOver);
    size_t ReadChunk(std::vector<uint8_t>& out, size_t n);
    void Close();
    void Abort();
    void ResetAbort() { aborted_.store(false); }
    bool Aborted() const { return aborted_.load(); }
    uint32_t Status() const { return status_; }
    uint32_t Learned() const { return learned_; }

private:
    enum class ReadResult { kOk, kFailed, kAborted };

    bool SendOnce(HttpRequest& request);
    void DrainShortRest();
    bool Configure(HINTERNET request, const HttpRequest& what);
    bool Publish(HINTERNET request);
    HINTERNET Acquire();
    template <class Call>
    bool WithRequest(Call call);
    ReadResult ReadSome(uint8_t* into, size_t size, bool onlyArrived, DWORD* got);

    const talvane::DEVICE_INFO& device_;
    const DWORD timeoutMs_;
    HINTERNET session_ = nullptr;
    HINTERNET connect_ = nullptr;  // opened by the first send, kept for the sender's life
    std::atomic<bool> aborted_{false};

    // The current request handle. requestClosed_: Abort has closed it and the owner has not
    // forgotten it yet; it must be neither used nor closed again.
    std::mutex handleMutex_;
    HINTERNET request_ = nullptr;
    bool requestClosed_ = false;

    uint32_t status_ = 0;
    uint32_t learned_ = kAuthNone;
    // State of the current response's body (owner only, reset by every send).
    bool answered_ = false;  // the response headers are in
    bool ended_ = false;     // WinHTTP reported the end of the body
    bool broken_ = false;    // a read failed; the rest of the body cannot be read
    uint64_t announced_ = kUnknownLength;
    uint64_t bodyRead_ = 0;
};

CHttpSender::Impl::Impl(const talvane::DEVICE_INFO& device)
    : device_(device),
      timeoutMs_(static_cast<DWORD>(detail::EffectiveTimeoutMs(device.requestTimeoutMs))) {
    std::wstring agent;
    if (!Widen("Talvane::HttpClient", &agent)) return;
    session_ = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    if (session_ == nullptr) return;  // every send fails
    // Receive and resolve time-outs are best effort; the rest go in this order and stop at the
    // first option WinHTTP refuses.
    SetDword(session_, WINHTTP_OPTION_RECEIVE_TIMEOUT, timeoutMs_);
    SetDword(session_, WINHTTP_OPTION_RESOLVE_TIMEOUT, timeoutMs_);
    const DWORD options[][2] = {
        {WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, timeoutMs_},
        {WINHTTP_OPTION_SEND_TIMEOUT, timeoutMs_},
        {WINHTTP_OPTION_CONNECT_TIMEOUT, timeoutMs_},
        {WINHTTP_OPTION_MAX_CONNS_PER_SERVER, kMaxConnsPerServer},
        {WINHTTP_OPTION_MAX_CONNS_PER_1_0_SERVER, kMaxConnsPerServer},
    };
    for (const auto& option : options) {
        if (!SetDword(session_, option[0], option[1])) break;
    }
}

CHttpSender::Impl::~Impl() {
    Close();
    if (connect_ != nullptr) WinHttpCloseHandle(connect_);
    if (session_ != nullptr) WinHttpCloseHandle(session_);
}

void CHttpSender::Impl::Abort() {
    aborted_.store(true);
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (request_ != nullptr && !requestClosed_) {
        WinHttpCloseHandle(request_);
        requestClosed_ = true;
    }
}

void CHttpSender::Impl::Close() {
    DrainShortRest();
    HINTERNET open = nullptr;
    {
        std::lock_guard<std::mutex> lock(handleMutex_);
        if (!requestClosed_) open = request_;
        request_ = nullptr;
        requestClosed_ = false;
    }
    // No longer visible to Abort, so this is the only close.
    if (open != nullptr) WinHttpCloseHandle(open);
}

// WinHTTP keeps a connection only when its response was read to the end. A short rest of known
// length (CGI answers, challenges, answers without a body) is read here, so closing such a request
// unread keeps the connection for the next one; a stream or a long body is dropped instead.
void CHttpSender::Impl::DrainShortRest() {
    if (!answered_ || ended_ || broken_ || aborted_.load() || announced_ == kUnknownLength ||
        announced_ - std::min(announced_, bodyRead_) > kDrainLimit) {
        return;
    }
    uint8_t scratch[4096];
    while (!ended_) {
        DWORD got = 0;
        if (ReadSome(scratch, sizeof(scratch), true, &got) != ReadResult::kOk) return;
    }
}

bool CHttpSender::Impl::Publish(HINTERNET request) {
    std::lock_guard<std::mutex> lock(handleMutex_);
    request_ = request;
    requestClosed_ = false;
    // An Abort that ran before this point found no handle to close: the owner closes it.
    return !aborted_.load();
}

HINTERNET CHttpSender::Impl::Acquire() {
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (aborted_.load() || requestClosed_) return nullptr;
    return request_;
}

template <class Call>
bool CHttpSender::Impl::WithRequest(Call call) {
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (aborted_.load() || requestClosed_ || request_ == nullptr) return false;
    return call(request_);
}

bool CHttpSender::Impl::Configure(HINTERNET request, const HttpRequest& what) {
    if (!device_.user.empty()) {
        const uint32_t scheme = learned_ != kAuthNone ? learned_ : PreferredScheme(what.authMethod);
        std::wstring user;
        std::wstring password;
        const bool ok = Widen(device_.user, &user) && Widen(device_.password, &password) &&
                        WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_SERVER, scheme,
                                              user.c_str(), password.c_str(), nullptr) != FALSE;
        SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
        if (!ok) return false;
    }
    if (what.secure == 1 && (what.options & kOptionIgnoreCertErrors) != 0) {
        const DWORD lax = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                          SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                          SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        if (!SetDword(request, WINHTTP_OPTION_SECURITY_FLAGS, lax)) return false;
    }
    if ((what.options & kOptionNoRedirects) != 0 &&
        !SetDword(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS)) {
        return false;
    }
    // A line WinHTTP turns down (for example "Name:" to drop a header it does not send anyway) is
    // left out; the request still goes.
    for (const std::string& line : what.headerLines) {
        std::wstring wide;
        if (!Widen(line, &wide)) return false;
        WinHttpAddRequestHeaders(request, wide.c_str(), static_cast<DWORD>(wide.size()),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
    }
    return true;
}

bool CHttpSender::Impl::SendOnce(HttpRequest& request) {
    Close();
    if (session_ == nullptr || aborted_.load() || !detail::IsSendable(request)) return false;
    if (request.body.size() > MAXDWORD) return false;
    std::wstring verb;
    std::wstring object;
    if (!Widen(request.verb, &verb) || !Widen(detail::RequestTarget(request.object), &object)) {
        return false;
    }
    if (connect_ == nullptr) {
        std::wstring host;
        if (!Widen(device_.address, &host)) return false;
        connect_ = WinHttpConnect(session_, host.c_str(), device_.port, 0);
        if (connect_ == nullptr) return false;
    }

    DWORD flags = WINHTTP_FLAG_REFRESH;
    if ((request.options & kOptionNoQueryEscape) != 0) flags |= WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (request.secure == 1) flags |= WINHTTP_FLAG_SECURE;
    HINTERNET opened = WinHttpOpenRequest(connect_, verb.c_str(), object.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (opened == nullptr) return false;
    answered_ = false;
    ended_ = false;
    broken_ = false;
    announced_ = kUnknownLength;
    bodyRead_ = 0;
    if (!Publish(opened) ||
        !WithRequest([&](HINTERNET handle) { return Configure(handle, request); })) {
        Close();
        return false;
    }

    // The body goes with the send; totalLength never exceeds it (IsSendable).
    const auto bodySize = static_cast<DWORD>(request.body.size());
    void* body = request.body.empty() ? WINHTTP_NO_REQUEST_DATA : request.body.data();
    HINTERNET handle = Acquire();
    if (handle == nullptr || !WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body,
                                                 bodySize, bodySize, 0)) {
        Close();
        return false;
    }
    if ((request.options & kOptionSendOnly) != 0) {
        if (!aborted_.load()) return true;  // open until the next send or CloseRequest
        Close();
        return false;
    }

    handle = Acquire();
    if (handle == nullptr || !WinHttpReceiveResponse(handle, nullptr)) {
        Close();
        return false;
    }
    DWORD status = 0;
    const bool answered = WithRequest([&](HINTERNET h) {
        // The size query of the raw headers fails with ERROR_INSUFFICIENT_BUFFER and gives the
        // size in bytes of UTF-16 text with its terminator.
        DWORD bytes = 0;
        if (WinHttpQueryHeaders(h, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                                WINHTTP_NO_OUTPUT_BUFFER, &bytes, WINHTTP_NO_HEADER_INDEX) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        if (bytes / sizeof(WCHAR) > detail::kMaxHeaderBytes + 1) return false;
        DWORD size = sizeof(status);
        if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            return false;
        }
        announced_ = AnnouncedLength(h, request.verb, status);
        return true;
    });
    if (!answered) {
        Close();
        return false;
    }
    status_ = status;
    answered_ = true;
    if (status_ != 401 || learned_ != kAuthNone) return true;

    // First 401 of this sender: learn the scheme the camera names first and try once more when it
    // differs from the one the credentials already went with.
    const uint32_t preferred = PreferredScheme(request.authMethod);
    DWORD first = 0;
    const bool queried = WithRequest([&](HINTERNET h) {
        DWORD supported = 0;
        DWORD target = 0;
        return WinHttpQueryAuthSchemes(h, &supported, &first, &target) != FALSE;
    });
    learned_ = queried ? static_cast<uint32_t>(first) : uint32_t{kAuthNone};
    Close();
    if (learned_ == kAuthNone || learned_ == preferred) return false;
    return SendOnce(request);
}

bool CHttpSender::Impl::Send(HttpRequest& request) {
    return SendOnce(request);
}

// Reads up to `size` body bytes. onlyArrived: waits for the first bytes only and takes what has
// arrived by then; otherwise a WinHTTP that fills the whole buffer may hold back bytes that are
// already here until the buffer is full, and loses them when the time-out ends the read.
CHttpSender::Impl::ReadResult CHttpSender::Impl::ReadSome(uint8_t* into, size_t size,
                                                          bool onlyArrived, DWORD* got) {
    *got = 0;
    if (aborted_.load()) return ReadResult::kAborted;
    if (broken_) return ReadResult::kFailed;
    if (ended_) return ReadResult::kOk;
    HINTERNET handle = Acquire();
    if (handle == nullptr) return aborted_.load() ? ReadResult::kAborted : ReadResult::kFailed;
    if (onlyArrived) {
        DWORD available = 0;  // 0: the body has ended
        const BOOL ok = WinHttpQueryDataAvailable(handle, &available);
        if (aborted_.load()) {
            broken_ = true;
            return ReadResult::kAborted;
        }
        if (!ok) {
            broken_ = true;
            return ReadResult::kFailed;
        }
        if (available > 0) size = std::min<size_t>(size, available);
        handle = Acquire();
        if (handle == nullptr) return ReadResult::kAborted;
    }
    const BOOL ok = WinHttpReadData(handle, into, static_cast<DWORD>(size), got);
    if (aborted_.load()) {
        broken_ = true;
        *got = 0;
        return ReadResult::kAborted;
    }
    if (!ok) {
        broken_ = true;
        *got = 0;
        return ReadResult::kFailed;
    }
    bodyRead_ += *got;
    if (*got == 0) {
        if (announced_ != kUnknownLength && bodyRead_ < announced_) {
            broken_ = true;  // the connection closed before the announced end
            return ReadResult::kFailed;
        }
        ended_ = true;
    }
    return ReadResult::kOk;
}

size_t CHttpSender::Impl::ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong,
                                   bool failWhenOver) {
    out.clear();
    if (tooLong != nullptr) *tooLong = false;
    size_t size = 0;
    for (;;) {
        // An over-long body shows itself by one byte past the limit; a capped read stops at it.
        const size_t room = limit - size;
        size_t step = kReadStep;
        if (failWhenOver) {
            if (room < kReadStep) step = room + 1;
        } else {
            if (room == 0) break;
            step = std::min(step, room);
        }
        out.resize(size + step);
        DWORD got = 0;
        if (ReadSome(out.data() + size, step, false, &got) != ReadResult::kOk) {
            out.clear();
            return 0;
        }
        if (got == 0) break;
        size += got;
        if (size > limit) {
            if (tooLong != nullptr) *tooLong = true;
            out.clear();
            out.shrink_to_fit();
            return 0;
        }
    }
    out.resize(size);
    return size;
}

size_t CHttpSender::Impl::ReadChunk(std::vector<uint8_t>& out, size_t n) {
    out.clear();
    if (n == 0) return 0;
    out.resize(n);
    size_t have = 0;
    // Each read takes what has arrived so far; keep reading until the chunk is whole, so that a
    // TCP segment boundary never cuts a payload short.
    while (have < n) {
        DWORD got = 0;
        const ReadResult result =
            ReadSome(out.data() + have, std::min(n - have, kMaxReadPiece), true, &got);
        if (result == ReadResult::kAborted) {
            out.clear();
            return 0;
        }
        have += got;
        if (result == ReadResult::kFailed || got == 0) break;
    }
    out.resize(have);
    return have;
}

CHttpSender::CHttpSender(const talvane::DEVICE_INFO& device)
    : device_(device), impl_(std::make_unique<Impl>(device_)) {}

CHttpSender::~CHttpSender() = default;

bool CHttpSender::SendRequest(HttpRequest& request) {
    return impl_->Send(request);
}

size_t CHttpSender::ReadAll(std::vector<uint8_t>& out) {
    return impl_->ReadBody(out, kReadAllLimit, nullptr, false);
}

size_t CHttpSender::ReadAllLimited(std::vector<uint8_t>& out, size_t limit, bool* tooLong) {
    return impl_->ReadBody(out, limit, tooLong, true);
}

size_t CHttpSender::ReadChunk(std::vector<uint8_t>& out, size_t n) {
    return impl_->ReadChunk(out, n);
}

uint32_t CHttpSender::GetStatusCode() const {
    return impl_->Status();
}

void CHttpSender::CloseRequest() {
    impl_->Close();
}

void CHttpSender::Abort() {
    impl_->Abort();
}

void CHttpSender::ResetAbort() {
    impl_->ResetAbort();
}

bool CHttpSender::Aborted() const {
    return impl_->Aborted();
}

uint32_t CHttpSender::LearnedScheme() const {
    return impl_->Learned();
}

}  // namespace Web
