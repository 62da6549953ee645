// CHttpSender on WinHTTP in asynchronous mode. The owner's thread starts each WinHTTP operation
// (send, receive the response headers, query the data available, read) and then waits on the
// sender's one wake event, which the status callback signals when the operation completes and
// Abort signals to end the wait. Every wait ends after the time-out at the latest; WinHTTP's own
// time-outs stay set on the session and bound its operations as well. One session handle and one
// connection handle live as long as the sender, so WinHTTP's connection pool reuses the camera
// connection for every request; each request gets a fresh request handle, closed before the next
// one is opened.
//
// Abort only sets the flag and wakes the owner; the owner alone closes handles. A wait that ends
// by an abort or a time-out leaves its operation in flight: the owner closes the request handle
// and goes on without waiting for WinHTTP to wind the operation up. Wine's WinHTTP (8.0) keeps the
// socket until its blocked socket call returns, at the latest at its own time-out, and reports the
// operation only then, long after the sender may be gone. So everything WinHTTP or the callback may
// still touch belongs to the request handle, not to the sender: a RequestContext holding the
// completion record, the buffer reads go into and the request body. It is the handle's context
// value and the callback deletes it on WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, the last
// notification of a handle. The wake event sits in a Waiter shared by the sender and every context
// of its requests, so it outlives both. The session and connection handles carry no context value;
// their notifications are ignored, and their own closing (which WinHTTP holds back while an
// abandoned request still lives) touches nothing of ours.
//
// Lifetime: the destructor waits, at most kClosingWaitMs, until every context has had its closing
// notice, so that normally nothing of the sender runs once it is gone. A notice later than that
// (Wine's blocked socket call) still lands in mapped code: the module is pinned from the host's
// first create or query on (platform::PinModuleAtFirstUse), and the notice touches only the
// context and the Waiter it keeps alive.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "http/http_sender.h"
#include "http/http_sender_backend.h"
#include "platform/platform.h"

namespace Web {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadStep = 8192;          // largest WinHttpReadData of ReadAll / ReadAllLimited
constexpr size_t kMaxReadPiece = 1u << 30;  // largest single WinHttpReadData of ReadChunk
constexpr DWORD kMaxConnsPerServer = 16;
constexpr uint64_t kUnknownLength = UINT64_MAX;
constexpr uint64_t kDrainLimit = 64 * 1024;  // longest rest a close reads to keep the link
constexpr auto kClosingWaitMs = std::chrono::milliseconds(500);
constexpr DWORD kNotifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                 WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_HANDLES;

static_assert(kAuthBasic == WINHTTP_AUTH_SCHEME_BASIC && kAuthNtlm == WINHTTP_AUTH_SCHEME_NTLM &&
              kAuthPassport == WINHTTP_AUTH_SCHEME_PASSPORT &&
              kAuthDigest == WINHTTP_AUTH_SCHEME_DIGEST &&
              kAuthNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE);

struct RequestContext;

// What wakes the owner: shared by the sender and the contexts of its request handles, freed with
// the last of them.
struct Waiter {
    Waiter() : wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Waiter() {
        if (wake != nullptr) CloseHandle(wake);
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    const HANDLE wake;  // auto-reset; set by the callback and by Abort
    std::mutex mutex;   // guards `current`, `contexts` and the completion records of the contexts
    std::condition_variable closed;  // notified when a context goes
    int contexts = 0;                // contexts whose handle has not had its closing notice
    // The request whose completions wake the owner; a late one of an abandoned request does not.
    const RequestContext* current = nullptr;
};

// The outcome of the last operation started on a request handle.
struct Completion {
    bool done = false;
    bool failed = false;  // WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
    bool sent = false;    // a send has put the whole request on the wire (it may not be done yet)
    DWORD count = 0;      // bytes available or bytes read
};

// Owned by its request handle from the moment it is the handle's context value; deleted by the
// callback when the handle closes.
struct RequestContext {
    explicit RequestContext(std::shared_ptr<Waiter> waiterIn) : waiter(std::move(waiterIn)) {}

    const std::shared_ptr<Waiter> waiter;
    Completion completion;      // written by the callback, read by the owner, under the mutex
    std::vector<uint8_t> body;  // the request body, which WinHTTP may read after an abandoned send
    std::vector<uint8_t> buffer;  // where reads land; copied out once a read has completed
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR value, DWORD status, LPVOID info, DWORD length) {
    auto* context = reinterpret_cast<RequestContext*>(value);
    if (context == nullptr) return;  // the session and the connection
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        const std::shared_ptr<Waiter> waiter = context->waiter;
        delete context;
        {
            std::lock_guard<std::mutex> lock(waiter->mutex);
            --waiter->contexts;
        }
        waiter->closed.notify_all();
        return;
    }
    bool done = true;
    bool failed = false;
    DWORD count = 0;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
            done = false;
            break;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            if (info != nullptr && length >= sizeof(DWORD)) {
                count = *static_cast<const DWORD*>(info);
            }
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            count = length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            failed = true;
            break;
        default:
            return;
    }
    Waiter& waiter = *context->waiter;
    std::lock_guard<std::mutex> lock(waiter.mutex);
    Completion& completion = context->completion;
    if (done) {
        completion.done = true;
        completion.failed = failed;
        completion.count = count;
    } else {
        completion.sent = true;
    }
    if (waiter.current == context) SetEvent(waiter.wake);
}

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

class WinHttpSender final : public CHttpSender::Impl {
public:
    explicit WinHttpSender(const talvane::DEVICE_INFO& device);
    ~WinHttpSender() override;
    WinHttpSender(const WinHttpSender&) = delete;
    WinHttpSender& operator=(const WinHttpSender&) = delete;

    bool Send(HttpRequest& request) override;
    size_t ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong,
                    bool failWhenOver) override;
    size_t ReadChunk(std::vector<uint8_t>& out, size_t n) override;
    size_t ReadAvailable(uint8_t* into, size_t max) override;
    void Close() override;
    void Abort() override;
    void ResetAbort() override { aborted_.store(false); }
    bool Aborted() const override { return aborted_.load(); }
    uint32_t Status() const override { return status_; }
    uint32_t Learned() const override { return learned_; }

private:
    enum class ReadResult { kOk, kFailed, kAborted };
    enum class Outcome { kDone, kFailed, kAborted, kTimedOut };

    bool SendOnce(HttpRequest& request);
    bool Open(const HttpRequest& request);
    void DrainShortRest();
    void Drop();
    bool Configure(const HttpRequest& what);
    template <class Start>
    Outcome Await(Start start, DWORD* count = nullptr, bool sentIsEnough = false);
    ReadResult ReadSome(uint8_t* into, size_t size, DWORD* got);
    ReadResult Broken(Outcome outcome);

    const talvane::DEVICE_INFO& device_;
    const DWORD timeoutMs_;
    const std::shared_ptr<Waiter> waiter_;
    HINTERNET session_ = nullptr;
    HINTERNET connect_ = nullptr;  // opened by the first send, kept for the sender's life
    std::atomic<bool> aborted_{false};

    // The current request handle and its context (owner only); the context goes with the handle.
    HINTERNET request_ = nullptr;
    RequestContext* context_ = nullptr;

    uint32_t status_ = 0;
    uint32_t learned_ = kAuthNone;
    // State of the current response's body (owner only, reset by every send).
    bool answered_ = false;  // the response headers are in
    bool ended_ = false;     // WinHTTP reported the end of the body
    bool broken_ = false;    // a read failed; the rest of the body cannot be read
    uint64_t announced_ = kUnknownLength;
    uint64_t bodyRead_ = 0;
};

WinHttpSender::WinHttpSender(const talvane::DEVICE_INFO& device)
    : device_(device),
      timeoutMs_(static_cast<DWORD>(detail::EffectiveTimeoutMs(device.requestTimeoutMs))),
      waiter_(std::make_shared<Waiter>()) {
    std::wstring agent;
    if (waiter_->wake == nullptr || !Widen("Talvane::HttpClient", &agent)) return;
    session_ = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
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
    // The connection and request handles take the callback over from the session.
    if (WinHttpSetStatusCallback(session_, OnStatus, kNotifications, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        WinHttpCloseHandle(session_);
        session_ = nullptr;
    }
}

WinHttpSender::~WinHttpSender() {
    Close();
    if (connect_ != nullptr) WinHttpCloseHandle(connect_);
    if (session_ != nullptr) WinHttpCloseHandle(session_);
    std::unique_lock<std::mutex> lock(waiter_->mutex);
    waiter_->closed.wait_for(lock, kClosingWaitMs, [&] { return waiter_->contexts == 0; });
}

void WinHttpSender::Abort() {
    aborted_.store(true);
    SetEvent(waiter_->wake);
}

// Starts one operation on the current request and waits until it completes (or, sentIsEnough, has
// put the request on the wire), the sender is aborted or the time-out passes. `start` returns
// false when WinHTTP refuses the operation at once; no notification follows then. The callback may
// run inside `start`, on this thread.
template <class Start>
WinHttpSender::Outcome WinHttpSender::Await(Start start, DWORD* count, bool sentIsEnough) {
    {
        std::lock_guard<std::mutex> lock(waiter_->mutex);
        context_->completion = Completion{};
    }
    if (aborted_.load()) return Outcome::kAborted;
    if (!start()) return Outcome::kFailed;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    for (;;) {
        Completion completion;
        {
            std::lock_guard<std::mutex> lock(waiter_->mutex);
            completion = context_->completion;
        }
        if (aborted_.load()) return Outcome::kAborted;
        if (completion.done) {
            if (count != nullptr) *count = completion.count;
            return completion.failed ? Outcome::kFailed : Outcome::kDone;
        }
        if (sentIsEnough && completion.sent) return Outcome::kDone;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Outcome::kTimedOut;
        // A wake meant for an earlier wait (an Abort since reset) only costs one more round.
        WaitForSingleObject(waiter_->wake, static_cast<DWORD>(left));
    }
}

// Closes the current request handle, which takes its context along. An operation still in flight
// is left to WinHTTP; its late notifications reach only the context.
void WinHttpSender::Drop() {
    if (request_ == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(waiter_->mutex);
        waiter_->current = nullptr;
    }
    const HINTERNET request = request_;
    request_ = nullptr;
    context_ = nullptr;
    WinHttpCloseHandle(request);
}

void WinHttpSender::Close() {
    DrainShortRest();
    Drop();
}

// WinHTTP keeps a connection only when its response was read to the end. A short rest of known
// length (CGI answers, challenges, answers without a body) is read here, so closing such a request
// unread keeps the connection for the next one; a stream or a long body is dropped instead.
void WinHttpSender::DrainShortRest() {
    if (!answered_ || ended_ || broken_ || aborted_.load() || announced_ == kUnknownLength ||
        announced_ - std::min(announced_, bodyRead_) > kDrainLimit) {
        return;
    }
    uint8_t scratch[4096];
    while (!ended_) {
        DWORD got = 0;
        if (ReadSome(scratch, sizeof(scratch), &got) != ReadResult::kOk) return;
    }
}

bool WinHttpSender::Configure(const HttpRequest& what) {
    if (!device_.user.empty()) {
        const uint32_t scheme = learned_ != kAuthNone ? learned_ : PreferredScheme(what.authMethod);
        std::wstring user;
        std::wstring password;
        const bool ok = Widen(device_.user, &user) && Widen(device_.password, &password) &&
                        WinHttpSetCredentials(request_, WINHTTP_AUTH_TARGET_SERVER, scheme,
                                              user.c_str(), password.c_str(), nullptr) != FALSE;
        SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
        if (!ok) return false;
    }
    if (what.secure == 1 && (what.options & kOptionIgnoreCertErrors) != 0) {
        const DWORD lax = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                          SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                          SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        if (!SetDword(request_, WINHTTP_OPTION_SECURITY_FLAGS, lax)) return false;
    }
    if ((what.options & kOptionNoRedirects) != 0 &&
        !SetDword(request_, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS)) {
        return false;
    }
    // A line WinHTTP turns down (for example "Name:" for a header the request does not carry)
    // fails the send: the request would otherwise go without what the caller asked for.
    for (const std::string& line : what.headerLines) {
        std::wstring wide;
        if (!Widen(line, &wide) ||
            !WinHttpAddRequestHeaders(request_, wide.c_str(), static_cast<DWORD>(wide.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            return false;
        }
    }
    return true;
}

// Opens the request handle and hands it its context; on success it is the current request.
bool WinHttpSender::Open(const HttpRequest& request) {
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
    const HINTERNET opened =
        WinHttpOpenRequest(connect_, verb.c_str(), object.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (opened == nullptr) return false;
    auto context = std::make_unique<RequestContext>(waiter_);
    auto value = reinterpret_cast<DWORD_PTR>(context.get());
    if (!WinHttpSetOption(opened, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value))) {
        WinHttpCloseHandle(opened);  // it never knew the context, which goes here
        return false;
    }
    request_ = opened;
    context_ = context.release();  // the handle's from here on
    std::lock_guard<std::mutex> lock(waiter_->mutex);
    ++waiter_->contexts;
    waiter_->current = context_;
    return true;
}

bool WinHttpSender::SendOnce(HttpRequest& request) {
    Close();
    if (session_ == nullptr || aborted_.load() || !detail::IsSendable(request)) return false;
    if (request.body.size() > MAXDWORD) return false;
    answered_ = false;
    ended_ = false;
    broken_ = false;
    announced_ = kUnknownLength;
    bodyRead_ = 0;
    if (!Open(request)) return false;
    if (!Configure(request)) {
        Drop();
        return false;
    }

    // The body goes with the send; totalLength never exceeds it (IsSendable).
    context_->body = request.body;
    const auto bodySize = static_cast<DWORD>(context_->body.size());
    void* body = context_->body.empty() ? WINHTTP_NO_REQUEST_DATA : context_->body.data();
    const auto value = reinterpret_cast<DWORD_PTR>(context_);
    // Send-only: done once the request is on the wire. Wine's WinHTTP reports the send complete
    // only when the answer starts to arrive, so the send may still be in flight; the request stays
    // open until the next send or CloseRequest, and its answer, if any, is never received.
    const bool sendOnly = (request.options & kOptionSendOnly) != 0;
    const Outcome sent = Await(
        [&] {
            return WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, bodySize,
                                      bodySize, value) != FALSE;
        },
        nullptr, sendOnly);
    if (sent != Outcome::kDone) {
        Drop();
        return false;
    }
    if (sendOnly) return true;

    if (Await([&] { return WinHttpReceiveResponse(request_, nullptr) != FALSE; }) !=
        Outcome::kDone) {
        Drop();
        return false;
    }
    // The size query of the raw headers fails with ERROR_INSUFFICIENT_BUFFER and gives the size in
    // bytes of UTF-16 text with its terminator.
    DWORD bytes = 0;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (WinHttpQueryHeaders(request_, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &bytes, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        bytes / sizeof(WCHAR) > detail::kMaxHeaderBytes + 1 ||
        !WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        Drop();
        return false;
    }
    announced_ = AnnouncedLength(request_, request.verb, status);
    status_ = status;
    answered_ = true;
    if (status_ != 401 || learned_ != kAuthNone) return true;

    // First 401 of this sender: learn the scheme the camera names first and try once more when it
    // differs from the one the credentials already went with.
    const uint32_t preferred = PreferredScheme(request.authMethod);
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    const bool queried = WinHttpQueryAuthSchemes(request_, &supported, &first, &target) != FALSE;
    learned_ = queried ? static_cast<uint32_t>(first) : uint32_t{kAuthNone};
    Close();
    if (learned_ == kAuthNone || learned_ == preferred) return false;
    return SendOnce(request);
}

bool WinHttpSender::Send(HttpRequest& request) {
    return SendOnce(request);
}

// A read that did not complete ends the body: the request is closed at once (Wine's WinHTTP
// leaves a request that failed a read in a state no later read can use).
WinHttpSender::ReadResult WinHttpSender::Broken(Outcome outcome) {
    broken_ = true;
    Drop();
    return outcome == Outcome::kAborted ? ReadResult::kAborted : ReadResult::kFailed;
}

// Reads up to `size` body bytes: waits for the first ones, then takes what has arrived by then. A
// WinHTTP that fills the whole buffer (Wine's does) would otherwise hold back bytes that are
// already here until the buffer is full, lose them when the time-out ends the read, and let a
// slow but steady body run into the time-out of one wait.
WinHttpSender::ReadResult WinHttpSender::ReadSome(uint8_t* into, size_t size, DWORD* got) {
    *got = 0;
    if (aborted_.load()) return ReadResult::kAborted;
    if (broken_) return ReadResult::kFailed;
    if (ended_) return ReadResult::kOk;
    if (request_ == nullptr) return ReadResult::kFailed;
    DWORD available = 0;  // 0: the body has ended
    Outcome outcome =
        Await([&] { return WinHttpQueryDataAvailable(request_, nullptr) != FALSE; }, &available);
    if (outcome != Outcome::kDone) return Broken(outcome);
    size = std::min<size_t>(size, available > 0 ? available : kReadStep);
    std::vector<uint8_t>& buffer = context_->buffer;
    if (buffer.size() < size) buffer.resize(size);
    DWORD read = 0;
    outcome = Await(
        [&] {
            return WinHttpReadData(request_, buffer.data(), static_cast<DWORD>(size), nullptr) !=
                   FALSE;
        },
        &read);
    if (outcome != Outcome::kDone) return Broken(outcome);
    read = static_cast<DWORD>(std::min<size_t>(read, size));
    if (read > 0) std::memcpy(into, buffer.data(), read);
    *got = read;
    bodyRead_ += read;
    if (read == 0) {
        if (announced_ != kUnknownLength && bodyRead_ < announced_) {
            broken_ = true;  // the connection closed before the announced end
            return ReadResult::kFailed;
        }
        ended_ = true;
    }
    return ReadResult::kOk;
}

size_t WinHttpSender::ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong,
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
        const ReadResult result = ReadSome(out.data() + size, step, &got);
        if (result == ReadResult::kFailed && announced_ == kUnknownLength) {
            // Without an announced length, what came before the time-out or the close is the
            // whole answer; a body shorter than its Content-Length is no body.
            break;
        }
        if (result != ReadResult::kOk) {
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

size_t WinHttpSender::ReadChunk(std::vector<uint8_t>& out, size_t n) {
    out.clear();
    if (n == 0) return 0;
    out.resize(n);
    size_t have = 0;
    // Each read takes what has arrived so far; keep reading until the chunk is whole, so that a
    // TCP segment boundary never cuts a payload short.
    while (have < n) {
        DWORD got = 0;
        const ReadResult result =
            ReadSome(out.data() + have, std::min(n - have, kMaxReadPiece), &got);
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

size_t WinHttpSender::ReadAvailable(uint8_t* into, size_t max) {
    if (max == 0) return 0;
    // One read takes what has arrived, waiting for the first byte when nothing has.
    DWORD got = 0;
    if (ReadSome(into, std::min(max, kMaxReadPiece), &got) != ReadResult::kOk) return 0;
    return std::min<size_t>(got, max);
}

std::unique_ptr<CHttpSender::Impl> MakeHttpSenderBackend(const talvane::DEVICE_INFO& device) {
    return std::make_unique<WinHttpSender>(device);
}

}  // namespace Web
