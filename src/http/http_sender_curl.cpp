// CHttpSender on libcurl's multi interface, read in pull style: the owner's thread drives the
// transfer (curl_multi_perform / curl_multi_poll) only while it waits for something, and the body
// collects in a bounded buffer; when the buffer is full the write callback pauses the transfer
// until the owner reads again.
//
// Direct body reads: libcurl polls the socket before every read of curl_multi_perform and again
// after every read to see whether more is pending, so a body read costs it at least two polls and,
// when the sender's next bytes arrive during the first read (a camera whose small segments wait
// for our acknowledgement does exactly that), a second read. A response whose body is simply the
// rest of a plain-HTTP connection (no TLS, no Content-Length, no Transfer-Encoding: a camera's
// endless stream) is therefore read straight from the transfer's socket once its headers are in:
// one non-blocking receive into the body buffer when it is empty, and a poll only when nothing
// has arrived. libcurl hands every body byte it read with the headers to the write callback
// before the headers' transfer step returns, so nothing is left behind in it; the transfer is
// never driven again, and removing it unfinished closes its connection, which is never reused.
//
// One multi handle and one easy handle live as long as the sender. The multi handle keeps the
// connection cache, so every request of a sender reuses its connection; the easy handle keeps the
// Digest nonce, so once Digest has been learned later requests answer it at once.
#include <curl/curl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "http/http_sender.h"
#include "http/http_sender_backend.h"

namespace Web {

namespace {

using Clock = std::chrono::steady_clock;

using detail::kMaxHeaderBytes;  // all header lines seen during one send

constexpr size_t kMinBuffer = 64 * 1024;  // body bytes kept before the transfer pauses
// Largest piece one network read and one write callback deliver: a whole picture of a stream
// usually comes in one read.
constexpr long kCurlBufferSize = 64 * 1024;
constexpr int kMaxPollSliceMs = 1000;  // curl_multi_poll slice; wake-ups end it earlier
// Direct reads with bytes in a row after which the socket counts as read out: the first takes
// what arrived, the second what the first one's acknowledgement released.
constexpr size_t kDirectReadsInRow = 2;

bool GlobalInit() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(const char* text, size_t size, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (size < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
    }
    return true;
}

// Scheme named by the first token of a WWW-Authenticate value; 0 when unknown.
uint32_t SchemeOfChallenge(const char* value, size_t size) {
    size_t begin = 0;
    while (begin < size && (value[begin] == ' ' || value[begin] == '\t')) ++begin;
    size_t end = begin;
    while (end < size && value[end] != ' ' && value[end] != '\t' && value[end] != ',' &&
           value[end] != '\r' && value[end] != '\n') {
        ++end;
    }
    const char* token = value + begin;
    const size_t length = end - begin;
    struct Name {
        const char* name;
        uint32_t scheme;
    };
    static constexpr Name kNames[] = {{"basic", kAuthBasic},
                                      {"digest", kAuthDigest},
                                      {"ntlm", kAuthNtlm},
                                      {"negotiate", kAuthNegotiate},
                                      {"passport1.4", kAuthPassport}};
    for (const Name& n : kNames) {
        if (std::strlen(n.name) == length && StartsWithNoCase(token, length, n.name)) {
            return n.scheme;
        }
    }
    return kAuthNone;
}

unsigned long CurlAuthOf(uint32_t scheme) {
    switch (scheme) {
        case kAuthBasic:
            return CURLAUTH_BASIC;
        case kAuthDigest:
            return CURLAUTH_DIGEST;
        case kAuthNtlm:
            return CURLAUTH_NTLM;
        case kAuthNegotiate:
            return CURLAUTH_NEGOTIATE;
        default:
            return CURLAUTH_NONE;  // Passport has no counterpart
    }
}

std::string HostForUrl(const std::string& address) {
    // A bare IPv6 address needs brackets in a URL.
    if (address.find(':') != std::string::npos && address.front() != '[') {
        return "[" + address + "]";
    }
    return address;
}

}  // namespace

class CurlSender final : public CHttpSender::Impl {
public:
    explicit CurlSender(const talvane::DEVICE_INFO& device);
    ~CurlSender() override;
    CurlSender(const CurlSender&) = delete;
    CurlSender& operator=(const CurlSender&) = delete;

    bool Send(HttpRequest& request) override;
    size_t ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong,
                    bool failWhenOver) override;
    size_t ReadChunk(std::vector<uint8_t>& out, size_t n) override;
    size_t ReadAvailable(uint8_t* into, size_t max) override;
    void Close() override;

    void Abort() override {
        aborted_.store(true);
        if (multi_ != nullptr) curl_multi_wakeup(multi_);
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            // Ends a direct read's poll; a full counter already does that.
            [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof(one));
        }
    }
    void ResetAbort() override {
        if (wakeFd_ >= 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof(count));
        }
        aborted_.store(false);
    }
    bool Aborted() const override { return aborted_.load(); }
    uint32_t Status() const override { return status_; }
    uint32_t Learned() const override { return learned_; }

private:
    enum class PumpResult { kReady, kEnded, kTimedOut, kAborted, kFailed };

    static size_t WriteThunk(char* data, size_t size, size_t count, void* self);
    static int SocketOpened(void* self, curl_socket_t socket, curlsocktype purpose);
    static int CloseSocket(void* self, curl_socket_t socket);
    static size_t HeaderThunk(char* data, size_t size, size_t count, void* self);
    size_t OnBody(const char* data, size_t size);
    size_t OnHeader(const char* data, size_t size);

    bool Prepare(const HttpRequest& request);
    bool SendOnce(HttpRequest& request);
    template <class Ready>
    PumpResult Pump(Ready ready);
    template <class Ready>
    PumpResult PumpDirect(Ready ready);
    bool StartDirect();
    void CollectDone();
    void Resume();
    size_t Buffered() const { return tail_ - head_; }
    // Makes room for `n` more bytes behind the buffered ones.
    void MakeRoom(size_t n);
    void Consume(size_t n);
    void ClearBuffer() { head_ = tail_ = 0; }
    void Take(std::vector<uint8_t>& out, size_t n);
    // The current response carries a usable Content-Length.
    bool LengthAnnounced() const;

    const talvane::DEVICE_INFO& device_;
    const int32_t timeoutMs_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::atomic<bool> aborted_{false};
    int wakeFd_ = -1;                         // eventfd that Abort signals, for direct reads' polls
    curl_socket_t socket_ = CURL_SOCKET_BAD;  // the connection libcurl opened last, while open

    uint32_t status_ = 0;
    uint32_t learned_ = kAuthNone;

    // State of the current request (reset by Prepare).
    bool attached_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    bool paused_ = false;
    bool plain_ = false;          // http://, so its body can be read straight from the socket
    bool bodyFramed_ = false;     // the final response has Content-Length or Transfer-Encoding
    int directFd_ = -1;           // the transfer's socket while its body is read directly
    bool directEnded_ = false;    // a direct read saw the end of the stream
    bool directDrained_ = false;  // the socket was found empty, or read twice in a row
    size_t directReads_ = 0;      // reads with bytes since the buffer was last empty
    bool directFailed_ = false;   // the connection broke during direct reads
    // Body bytes in [head_, tail_) of bufferSize_. Not zero-filled: its pages are touched only by
    // what is written to them.
    std::unique_ptr<uint8_t[]> buffer_;
    size_t bufferSize_ = 0;
    size_t head_ = 0;           // first unread byte of buffer_
    size_t tail_ = 0;           // end of the body bytes in buffer_
    size_t want_ = kMinBuffer;  // bytes the read in progress needs buffered
    uint64_t progress_ = 0;     // advanced by every callback; the receive time-out watches it
    uint64_t bodyBytes_ = 0;
    size_t headerBytes_ = 0;
    uint32_t lineStatus_ = 0;     // status line of the response whose headers are being read
    bool finalHeaders_ = false;   // a non-1xx, non-401 response's header block ended
    bool headers401_ = false;     // a 401 response's header block ended (final or a challenge)
    bool challengeSeen_ = false;  // first WWW-Authenticate header of this response was read
    uint32_t challenge_ = kAuthNone;
};

CurlSender::CurlSender(const talvane::DEVICE_INFO& device)
    : device_(device), timeoutMs_(detail::EffectiveTimeoutMs(device.requestTimeoutMs)) {
    if (!GlobalInit()) return;
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (multi_ == nullptr || easy_ == nullptr) {
        if (easy_ != nullptr) curl_easy_cleanup(easy_);
        if (multi_ != nullptr) curl_multi_cleanup(multi_);
        easy_ = nullptr;
        multi_ = nullptr;
        return;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Options that stay the same for every request of this sender.
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy_, CURLOPT_PROXY, "");
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, "Talvane::HttpClient");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs_));
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kCurlBufferSize);
    curl_easy_setopt(easy_, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlSender::WriteThunk);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlSender::HeaderThunk);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_SOCKOPTFUNCTION, &CurlSender::SocketOpened);
    curl_easy_setopt(easy_, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETFUNCTION, &CurlSender::CloseSocket);
    curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETDATA, this);
}

CurlSender::~CurlSender() {
    Close();
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    curl_slist_free_all(headers_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

size_t CurlSender::WriteThunk(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlSender*>(self)->OnBody(data, size * count);
}

int CurlSender::SocketOpened(void* self, curl_socket_t socket, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) static_cast<CurlSender*>(self)->socket_ = socket;
    return CURL_SOCKOPT_OK;
}

int CurlSender::CloseSocket(void* self, curl_socket_t socket) {
    auto* sender = static_cast<CurlSender*>(self);
    if (sender->socket_ == socket) sender->socket_ = CURL_SOCKET_BAD;
    return ::close(socket);
}

size_t CurlSender::HeaderThunk(char* data, size_t size, size_t count, void* self) {
    return static_cast<CurlSender*>(self)->OnHeader(data, size * count);
}

size_t CurlSender::OnBody(const char* data, size_t size) {
    // Accept while the buffer holds less than the read in progress needs (at least kMinBuffer),
    // so a pause never leaves a read short of its bytes; beyond that, pause until the owner reads.
    if (Buffered() >= std::max(kMinBuffer, want_)) {
        paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    MakeRoom(size);
    std::memcpy(buffer_.get() + tail_, data, size);
    tail_ += size;
    bodyBytes_ += size;
    ++progress_;
    return size;
}

size_t CurlSender::OnHeader(const char* data, size_t size) {
    headerBytes_ += size;
    if (headerBytes_ > kMaxHeaderBytes) return 0;  // fails the transfer
    ++progress_;
    if (StartsWithNoCase(data, size, "HTTP/")) {
        // A new response begins (a 1xx, a challenge answered inside the transfer, or the final).
        lineStatus_ = 0;
        // Anything but HTTP/1.x (which the transfer asks for) keeps libcurl's reading.
        bodyFramed_ = !StartsWithNoCase(data, size, "HTTP/1.");
        size_t i = 5;
        while (i < size && data[i] != ' ') ++i;
        while (i < size && data[i] == ' ') ++i;
        for (int digits = 0; digits < 3 && i < size && data[i] >= '0' && data[i] <= '9';
             ++digits, ++i) {
            lineStatus_ = lineStatus_ * 10 + static_cast<uint32_t>(data[i] - '0');
        }
        finalHeaders_ = false;
        headers401_ = false;
        challengeSeen_ = false;
        challenge_ = kAuthNone;
    } else if (StartsWithNoCase(data, size, "Content-Length:") ||
               StartsWithNoCase(data, size, "Transfer-Encoding:")) {
        bodyFramed_ = true;
    } else if ((size == 2 && data[0] == '\r' && data[1] == '\n') ||
               (size == 1 && data[0] == '\n')) {
        if (lineStatus_ == 401) {
            headers401_ = true;
        } else if (lineStatus_ >= 200) {
            finalHeaders_ = true;
        }
    } else if (!challengeSeen_ && StartsWithNoCase(data, size, "WWW-Authenticate:")) {
        challengeSeen_ = true;
        const size_t prefix = std::strlen("WWW-Authenticate:");
        challenge_ = SchemeOfChallenge(data + prefix, size - prefix);
    }
    return size;
}

void CurlSender::CollectDone() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
            done_ = true;
            result_ = message->data.result;
        }
    }
}

void CurlSender::Resume() {
    if (paused_ && Buffered() < std::max(kMinBuffer, want_)) {
        paused_ = false;
        // May deliver the data held back at the pause through OnBody at once.
        curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
}

void CurlSender::MakeRoom(size_t n) {
    if (bufferSize_ - tail_ >= n) return;
    if (head_ > 0) {
        // Move the unread rest to the front only when the new bytes would not fit behind it.
        std::memmove(buffer_.get(), buffer_.get() + head_, Buffered());
        tail_ -= head_;
        head_ = 0;
    }
    if (bufferSize_ - tail_ < n) {
        const size_t size = std::max(tail_ + n, kMinBuffer);
        std::unique_ptr<uint8_t[]> bigger(new uint8_t[size]);
        if (tail_ > 0) std::memcpy(bigger.get(), buffer_.get(), tail_);
        buffer_ = std::move(bigger);
        bufferSize_ = size;
    }
}

void CurlSender::Consume(size_t n) {
    head_ += n;
    if (head_ == tail_) {
        ClearBuffer();
        directReads_ = 0;  // the next direct read starts a new series
    }
}

bool CurlSender::StartDirect() {
    if (directFd_ >= 0) return true;
    // Only a body that is the plain rest of the connection, while libcurl holds none of it back.
    if (!plain_ || bodyFramed_ || !finalHeaders_ || done_ || paused_ || wakeFd_ < 0) {
        return false;
    }
    // The connection's socket: the last one libcurl opened and has not closed (libcurl reports
    // the active socket only once a transfer is over). A sender keeps a single connection, so
    // that is the one the transfer runs on.
    if (socket_ == CURL_SOCKET_BAD) return false;
    directFd_ = static_cast<int>(socket_);
    directEnded_ = false;
    directDrained_ = false;
    directReads_ = 0;
    directFailed_ = false;
    return true;
}

template <class Ready>
CurlSender::PumpResult CurlSender::PumpDirect(Ready ready) {
    const auto timeout = std::chrono::milliseconds(timeoutMs_);
    bool waiting = false;  // no byte has arrived since waitingSince
    Clock::time_point waitingSince{};
    for (;;) {
        if (aborted_.load()) return PumpResult::kAborted;
        // Ready once what has arrived is in. A read acknowledges what it took, and a sender that
        // holds back its next segment until then (Nagle's rule) sends it at once: so after a read
        // that found bytes, one more takes what that released (or finds the socket empty),
        // instead of leaving the sender's next picture stuck behind our delayed acknowledgement.
        if (ready() && (directDrained_ || Buffered() >= std::max(kMinBuffer, want_))) {
            return PumpResult::kReady;
        }
        if (directEnded_) {
            if (ready()) return PumpResult::kReady;
            return directFailed_ ? PumpResult::kFailed : PumpResult::kEnded;
        }
        // What has arrived, up to what the read in progress may keep buffered.
        const size_t keep = std::max(kMinBuffer, want_);
        const size_t room = keep > Buffered() ? keep - Buffered() : 0;
        if (room == 0) return PumpResult::kReady;
        MakeRoom(room);
        const ssize_t got = ::recv(directFd_, buffer_.get() + tail_, room, MSG_DONTWAIT);
        directDrained_ = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (got > 0) {
            directDrained_ = ++directReads_ >= kDirectReadsInRow;
            tail_ += static_cast<size_t>(got);
            bodyBytes_ += static_cast<uint64_t>(got);
            ++progress_;
            waiting = false;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (!directDrained_) {
            // The camera closed the connection (the body's end) or it broke: what is buffered
            // still goes out first.
            directEnded_ = true;
            directFailed_ = got < 0;
            continue;
        }
        if (ready()) continue;
        // Nothing yet: sleep until bytes arrive, Abort signals or the receive time-out passes.
        const auto now = Clock::now();
        if (!waiting) {
            waiting = true;
            waitingSince = now;
        }
        const auto idle = now - waitingSince;
        if (idle >= timeout) return PumpResult::kTimedOut;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timeout - idle);
        pollfd fds[2] = {{directFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int waitMs =
            static_cast<int>(std::clamp<int64_t>(left.count() + 1, 1, kMaxPollSliceMs));
        if (::poll(fds, 2, waitMs) < 0 && errno != EINTR) return PumpResult::kFailed;
    }
}

template <class Ready>
CurlSender::PumpResult CurlSender::Pump(Ready ready) {
    if (directFd_ >= 0 || (attached_ && StartDirect())) return PumpDirect(ready);
    uint64_t seen = progress_;
    auto lastProgress = Clock::now();
    const auto timeout = std::chrono::milliseconds(timeoutMs_);
    for (;;) {
        if (aborted_.load()) return PumpResult::kAborted;
        if (ready()) return PumpResult::kReady;
        if (done_) return result_ == CURLE_OK ? PumpResult::kEnded : PumpResult::kFailed;
        Resume();
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) return PumpResult::kFailed;
        CollectDone();
        const auto now = Clock::now();
        if (progress_ != seen) {
            seen = progress_;
            lastProgress = now;
        }
        if (ready() || done_) continue;
        const auto idle = now - lastProgress;
        if (idle >= timeout) return PumpResult::kTimedOut;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timeout - idle);
        const int waitMs =
            static_cast<int>(std::clamp<int64_t>(left.count() + 1, 1, kMaxPollSliceMs));
        // Returns early on socket activity, on libcurl's own timers and on Abort's wake-up.
        if (curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
            return PumpResult::kFailed;
        }
    }
}

void CurlSender::Take(std::vector<uint8_t>& out, size_t n) {
    n = std::min(n, Buffered());
    const uint8_t* first = buffer_.get() + head_;
    out.insert(out.end(), first, first + n);
    Consume(n);
}

void CurlSender::Close() {
    if (!attached_) return;
    if (directFd_ < 0 && !done_ && !paused_) {
        // A response whose last bytes are already here completes now, so its connection is kept.
        int running = 0;
        curl_multi_perform(multi_, &running);
        CollectDone();
    }
    // Unfinished (always so after direct reads), the transfer's connection is closed with it.
    curl_multi_remove_handle(multi_, easy_);
    attached_ = false;
    ClearBuffer();
    paused_ = false;
    directFd_ = -1;
    directEnded_ = false;
}

bool CurlSender::Prepare(const HttpRequest& request) {
    if (!detail::IsSendable(request)) return false;
    const bool secure = request.secure == 1;
    plain_ = !secure;
    const uint32_t scheme = learned_ != kAuthNone ? learned_ : PreferredScheme(request.authMethod);
    const bool anonymous = device_.user.empty();
    if (!anonymous && CurlAuthOf(scheme) == CURLAUTH_NONE) return false;

    // The object goes into the URL (not as a raw request target) so that Digest signs the same
    // path and query that goes out; libcurl leaves both as they are (no escaping, no "/../"
    // squashing with CURLOPT_PATH_AS_IS).
    const std::string url = std::string(secure ? "https://" : "http://") +
                            HostForUrl(device_.address) + ":" + std::to_string(device_.port) +
                            detail::RequestTarget(request.object);
    bool ok = curl_easy_setopt(easy_, CURLOPT_URL, url.c_str()) == CURLE_OK;

    // Method and body.
    curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, nullptr);
    if (!request.body.empty()) {
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, request.body.data());
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    } else if (request.verb == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (request.verb != "GET") {
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    }

    // Header lines, in order; no "Expect: 100-continue" round trip for a body.
    curl_slist_free_all(headers_);
    headers_ = nullptr;
    // The headers the other build's HTTP layer sends for every request: no accept types (curl
    // would add "Accept: */*") and the two no-cache headers of a refreshing request.
    std::vector<std::string> lines = {"Accept:", "Pragma: no-cache", "Cache-Control: no-cache"};
    lines.insert(lines.end(), request.headerLines.begin(), request.headerLines.end());
    if (!request.body.empty()) lines.emplace_back("Expect:");
    for (const std::string& line : lines) {
        curl_slist* next = curl_slist_append(headers_, line.c_str());
        if (next == nullptr) return false;
        headers_ = next;
    }
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);

    // TLS checks, unless the request asks to accept any certificate.
    const bool lax = secure && (request.options & kOptionIgnoreCertErrors) != 0;
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, lax ? 0L : 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, lax ? 0L : 2L);

    // Credentials with exactly one scheme, so the learning stays visible and costs no probe.
    if (anonymous) {
        curl_easy_setopt(easy_, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy_, CURLOPT_PASSWORD, nullptr);
        curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    } else {
        ok = ok && curl_easy_setopt(easy_, CURLOPT_USERNAME, device_.user.c_str()) == CURLE_OK &&
             curl_easy_setopt(easy_, CURLOPT_PASSWORD, device_.password.c_str()) == CURLE_OK &&
             curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CurlAuthOf(scheme))) ==
                 CURLE_OK;
    }
    return ok;
}

bool CurlSender::SendOnce(HttpRequest& request) {
    Close();
    if (easy_ == nullptr || aborted_.load()) return false;
    if (!Prepare(request)) return false;

    done_ = false;
    result_ = CURLE_OK;
    paused_ = false;
    ClearBuffer();
    want_ = kMinBuffer;
    bodyBytes_ = 0;
    headerBytes_ = 0;
    lineStatus_ = 0;
    finalHeaders_ = false;
    headers401_ = false;
    challengeSeen_ = false;
    challenge_ = kAuthNone;
    bodyFramed_ = false;
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return false;
    attached_ = true;

    const bool sendOnly = (request.options & kOptionSendOnly) != 0;
    // A 401's header block may be a challenge libcurl answers within this transfer (its body is
    // then skipped) or the final answer: it is final once body bytes arrive or the transfer ends.
    const PumpResult result = Pump([&] {
        if (finalHeaders_ || (headers401_ && bodyBytes_ > 0)) return true;
        if (sendOnly) {
            long sent = 0;
            curl_easy_getinfo(easy_, CURLINFO_REQUEST_SIZE, &sent);
            return sent > 0;
        }
        return false;
    });
    const bool answered = finalHeaders_ || headers401_;
    if (result == PumpResult::kReady && sendOnly && !answered) return true;
    if (!(result == PumpResult::kReady || result == PumpResult::kEnded) || !answered) {
        Close();
        return false;
    }
    status_ = lineStatus_;
    if (status_ != 401 || learned_ != kAuthNone) return true;

    // First 401 of this sender: learn the camera's scheme and try once more when it differs from
    // the one the credentials already went with.
    const uint32_t preferred = PreferredScheme(request.authMethod);
    learned_ = challenge_;
    Close();
    if (learned_ == kAuthNone || learned_ == preferred) return false;
    return SendOnce(request);
}

bool CurlSender::Send(HttpRequest& request) {
    return SendOnce(request);
}

size_t CurlSender::ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong,
                            bool failWhenOver) {
    out.clear();
    if (tooLong != nullptr) *tooLong = false;
    if (!attached_) return 0;
    want_ = kMinBuffer;
    for (;;) {
        const size_t room = limit - out.size();
        if (Buffered() > room) {
            if (failWhenOver) {
                if (tooLong != nullptr) *tooLong = true;
                out.clear();
                out.shrink_to_fit();
                return 0;
            }
            Take(out, room);
            return out.size();
        }
        Take(out, Buffered());
        if (!failWhenOver && out.size() >= limit) return out.size();
        switch (Pump([&] { return Buffered() > 0; })) {
            case PumpResult::kReady:
                continue;
            case PumpResult::kEnded:
                return out.size();
            case PumpResult::kTimedOut:
            case PumpResult::kFailed:
                // Without an announced length, what came before the time-out or the close is
                // the whole answer; a body shorter than its Content-Length is no body.
                if (!LengthAnnounced()) return out.size();
                out.clear();
                return 0;
            case PumpResult::kAborted:
                out.clear();
                return 0;
        }
    }
}

bool CurlSender::LengthAnnounced() const {
    curl_off_t length = -1;
    return curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
           length >= 0;
}

size_t CurlSender::ReadChunk(std::vector<uint8_t>& out, size_t n) {
    out.clear();
    if (!attached_ || n == 0) return 0;
    want_ = n;
    const PumpResult result = Pump([&] { return Buffered() >= n; });
    want_ = kMinBuffer;
    if (result == PumpResult::kAborted) return 0;
    out.reserve(std::min(n, Buffered()));
    Take(out, n);
    return out.size();
}

size_t CurlSender::ReadAvailable(uint8_t* into, size_t max) {
    if (!attached_ || max == 0) return 0;
    if (Pump([&] { return Buffered() > 0; }) != PumpResult::kReady) return 0;
    const size_t n = std::min(max, Buffered());
    std::memcpy(into, buffer_.get() + head_, n);
    Consume(n);
    return n;
}

std::unique_ptr<CHttpSender::Impl> MakeHttpSenderBackend(const talvane::DEVICE_INFO& device) {
    return std::make_unique<CurlSender>(device);
}

}  // namespace Web
