#include "camsim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include "chaos.h"
#include "encoded_loop.h"
#include "h264_live_encoder.h"
#include "http_authenticator.h"
#include "http_request_parser.h"
#include "stream_config.h"
#include "stream_packetizer.h"

namespace zarncam {
namespace {

using Clock = std::chrono::steady_clock;
using Query = std::vector<std::pair<std::string, std::string>>;

constexpr int kPollSliceMs = 50;                    // longest blocking wait of any loop
constexpr std::size_t kMaxRecords = 100000;         // oldest half dropped beyond this
constexpr std::size_t kMaxRequestBody = 64 * 1024;  // request bodies are read and dropped
constexpr auto kIdleConnectionTimeout = std::chrono::seconds(60);
constexpr std::size_t kMaxPresetName = 64;
constexpr int kMaxPresetNo = 255;
// A chaos trickle: pieces this large, this far apart (fast enough for any stream of the camera).
constexpr std::size_t kChaosTrickleBytes = 1400;
constexpr int kChaosTrickleDelayMs = 1;
constexpr uint64_t kChaosHugeLength = uint64_t{1} << 31;

Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string PathOf(std::string_view target) {
    return std::string(target.substr(0, target.find('?')));
}

std::string_view QueryOf(std::string_view target) {
    const std::size_t q = target.find('?');
    return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

bool ConsumeOne(std::atomic<int>& counter) {
    int value = counter.load();
    while (value > 0) {
        if (counter.compare_exchange_weak(value, value - 1)) return true;
    }
    return false;
}

std::string ErrorBody(int status) {
    return "Error=" + std::to_string(status) + "\r\n";
}

// Bytes sent as stream damage: binary noise, blank lines and near misses of the part header.
std::string GarbageBytes() {
    static const char kJunk[] = "\r\n--junk--\r\nX-Noise: 1\r\n\r\n\x01\x02\xfe\xff Lengt";
    std::string out(kJunk, sizeof(kJunk) - 1);
    out.append(3, '\0');
    out += "length: 12\r\n\r\nLENGTH: 7\r\n\r\nLen";
    return out;
}

// Non-H.264 bytes for one picture's time: a unit whose header has a type the camera never sends
// (the low five bits are 0), in the camera's framing, and one continuation of it.
void ForeignPayloads(uint32_t& random, std::size_t maxPayload, std::vector<std::string>& out) {
    const std::size_t size = std::clamp<std::size_t>(maxPayload, 16, 1024);
    out.assign({std::string("\0\0\0\0\x01\x40", 6), std::string(1, '\x80')});
    for (std::string& payload : out) {
        while (payload.size() < size) {
            random ^= random << 13;
            random ^= random >> 17;
            random ^= random << 5;
            payload.push_back(static_cast<char>(random & 0xFF));
        }
    }
}

}  // namespace

class Camera::Impl {
public:
    explicit Impl(Config config)
        : config_(std::move(config)), pending_(DefaultStreamConfig(config_.hd)) {}
    ~Impl() { Stop(); }

    bool Start();
    void Stop();
    bool Running() const { return running_.load(); }
    uint16_t Port() const { return port_.load(); }

    Config GetConfig() const {
        std::lock_guard lock(mutex_);
        return config_;
    }
    void SetConfig(const Config& config) {
        std::lock_guard lock(mutex_);
        const bool hdChanged = config.hd != config_.hd;
        config_ = config;
        if (hdChanged) pending_ = DefaultStreamConfig(config_.hd);
    }
    Faults GetFaults() const {
        std::lock_guard lock(mutex_);
        return faults_;
    }
    void UpdateFaults(const std::function<void(Faults&)>& change) {
        std::lock_guard lock(mutex_);
        change(faults_);
    }
    void DropNextPart() { ++dropPending_; }
    void InjectHugeLength(uint64_t length) {
        hugeLength_ = length;
        ++hugePending_;
    }
    void Reboot(std::chrono::milliseconds downtime, const char* kind);
    std::vector<Outage> Outages() const {
        std::lock_guard lock(outagesMutex_);
        return outages_;
    }
    void PauseStreams(std::chrono::milliseconds pause) {
        std::lock_guard lock(mutex_);
        pauseUntil_ = Clock::now() + pause;
    }
    Clock::time_point PausedUntil() const {
        std::lock_guard lock(mutex_);
        return pauseUntil_;
    }
    std::vector<SentPicture> SentPictures() const {
        std::lock_guard lock(picturesMutex_);
        return pictures_;
    }
    void RecordPicture(const SentPicture& picture) {
        std::lock_guard lock(picturesMutex_);
        if (pictures_.size() >= kMaxRecords) {
            pictures_.erase(pictures_.begin(), pictures_.begin() + kMaxRecords / 2);
        }
        pictures_.push_back(picture);
    }

    std::vector<RequestRecord> Requests() const {
        std::lock_guard lock(recordsMutex_);
        return records_;
    }
    void ClearRequests() {
        std::lock_guard lock(recordsMutex_);
        records_.clear();
    }
    bool WaitFor(const std::function<bool(const std::vector<RequestRecord>&)>& pred,
                 std::chrono::milliseconds timeout) const {
        std::unique_lock lock(recordsMutex_);
        return recordsCv_.wait_for(lock, timeout, [&] { return pred(records_); });
    }

    Stats GetStats() const;
    StreamConfig PendingStreamConfig() const {
        std::lock_guard lock(mutex_);
        return pending_;
    }
    std::optional<StreamConfig> LastStreamConfig() const {
        std::lock_guard lock(mutex_);
        return last_;
    }
    std::map<int, std::string> Presets() const {
        std::lock_guard lock(mutex_);
        return presets_;
    }

private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    enum class WaitResult { kReady, kStopped, kClosed };

    // Faults a chaos event switches on for one stream, until the given times.
    struct StreamOverrides {
        Clock::time_point garbageUntil{};
        Clock::time_point trickleUntil{};
        Clock::time_point foreignUntil{};
    };

    // Binds 127.0.0.1:port and listens; sets listenFd_ and port_. False on failure.
    bool BindListener(uint16_t port);
    void ListenLoop();
    // On the listener thread: closes the port and every connection, waits out the downtime,
    // listens again.
    void RunReboot(std::chrono::milliseconds downtime);
    // Ends a chaos spell whose time is over (listener thread, every poll slice).
    void EndSpellIfDue();
    void ReapConnections(bool all);
    // Closes the listening socket, shuts every connection down and waits for their threads.
    void CloseEverything();
    void Serve(int fd);
    // Answers one request; false when the connection must be closed afterwards.
    bool HandleRequest(int fd, const HttpRequest& request, Clock::time_point received);
    void Record(const HttpRequest& request, AuthScheme auth, int status,
                Clock::time_point received);
    bool Respond(int fd, int status, std::string_view body, bool keepAlive,
                 const std::vector<std::string>& challenges = {});

    std::string LoginAnswer(const Config& config, const Query& query) const;
    static std::string CapabilityAnswer(const Config& config);
    int PtzAnswer(const Config& config, const Query& query, std::string& body);
    int AvConfigAnswer(const Config& config, const Query& query, std::string& body);

    // Serves the live stream until the client goes away, a fault ends it or the camera stops.
    void Stream(int fd, const HttpRequest& request, AuthScheme used, Clock::time_point received);
    // Sends one part (index: parts this stream sent before) with the faults that apply to it.
    bool SendPart(int fd, std::string_view payload, uint64_t index,
                  const StreamOverrides& overrides);
    // The camera's faults with a stream's chaos overrides on top.
    Faults StreamFaults(const StreamOverrides& overrides);

    // Chaos: the next event, and carrying one out on a stream (false: the stream ends with it).
    ChaosEvent DrawChaos();
    bool RunChaosEvent(int fd, const ChaosEvent& event, StreamOverrides& overrides,
                       std::optional<uint64_t>& foreignOutage);
    void StartSpell(ChaosKind kind, Clock::time_point until);

    // Outages by sequence number (stable while the oldest are dropped).
    uint64_t AddOutage(const std::string& kind, Clock::time_point begin, Clock::time_point end);
    void EndOutage(uint64_t id, Clock::time_point end);

    // I/O that never blocks longer than one poll slice without checking the stop flag.
    bool SendAll(int fd, std::string_view data);
    bool SendStreamBytes(int fd, std::string_view data, const Faults& faults);
    // Waits until the deadline, or until keepWaiting() turns false when given; watches for the
    // client closing the connection (incoming bytes are read and dropped).
    WaitResult WaitIdle(int fd, Clock::time_point deadline,
                        const std::function<bool()>& keepWaiting = nullptr);
    bool SleepFor(std::chrono::milliseconds duration);

    mutable std::mutex mutex_;  // config_, faults_, pending_, last_, presets_, chaos and spell
    Config config_;
    Faults faults_;
    std::optional<ChaosPlanner> planner_;
    uint64_t plannerSeed_ = 0;
    std::optional<ChaosKind> spell_;
    Clock::time_point spellUntil_{};
    StreamConfig pending_;
    std::optional<StreamConfig> last_;
    std::map<int, std::string> presets_;
    Clock::time_point pauseUntil_{};

    mutable std::mutex picturesMutex_;
    std::vector<SentPicture> pictures_;

    mutable std::mutex recordsMutex_;
    mutable std::condition_variable recordsCv_;
    std::vector<RequestRecord> records_;

    HttpAuthenticator authenticator_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<uint16_t> port_{0};
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    int listenFd_ = -1;
    std::thread listener_;
    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;

    std::atomic<int> dropPending_{0};
    std::atomic<int> hugePending_{0};
    std::atomic<uint64_t> hugeLength_{999999999};

    std::atomic<bool> rebooting_{false};  // requested or in progress
    std::atomic<int64_t> rebootDowntimeMs_{0};
    uint64_t rebootOutage_ = 0;  // guarded by outagesMutex_

    mutable std::mutex outagesMutex_;
    std::vector<Outage> outages_;
    uint64_t outagesDropped_ = 0;  // sequence number of outages_.front()

    std::atomic<uint64_t> connectionsAccepted_{0};
    std::atomic<uint64_t> streamsStarted_{0};
    std::atomic<uint64_t> streamsActive_{0};
    std::atomic<uint64_t> framesEncoded_{0};
    std::atomic<uint64_t> framesSent_{0};
    std::atomic<uint64_t> keyFramesSent_{0};
    std::atomic<uint64_t> partsSent_{0};
    std::atomic<uint64_t> bytesSent_{0};
    std::atomic<uint64_t> stallsEntered_{0};
    std::atomic<uint64_t> streamsStalled_{0};
    std::atomic<uint64_t> connectionsDropped_{0};
    std::atomic<uint64_t> reboots_{0};
    std::atomic<uint64_t> chaosEvents_{0};
};

bool Camera::Impl::Start() {
    if (running_.load()) return false;
    uint16_t wantedPort = 0;
    {
        std::lock_guard lock(mutex_);
        wantedPort = config_.port;
    }
    if (!BindListener(wantedPort)) return false;
    stop_ = false;
    running_ = true;
    rebooting_ = false;
    listener_ = std::thread([this] { ListenLoop(); });
    return true;
}

bool Camera::Impl::BindListener(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    port_ = ntohs(addr.sin_port);
    return true;
}

void Camera::Impl::Stop() {
    if (!running_.load()) return;
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    if (listener_.joinable()) listener_.join();
    CloseEverything();
    port_ = 0;
    running_ = false;
}

void Camera::Impl::ListenLoop() {
    while (!stop_.load()) {
        EndSpellIfDue();
        if (rebooting_.load()) {
            RunReboot(std::chrono::milliseconds(rebootDowntimeMs_.load()));
            continue;
        }
        pollfd pfd{listenFd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, kPollSliceMs);
        ReapConnections(false);
        if (ready <= 0 || stop_.load()) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connectionsAccepted_;
        bool refuse = false;
        std::size_t maxConnections = 0;
        {
            std::lock_guard lock(mutex_);
            refuse = faults_.refuseConnections;
            maxConnections = config_.maxConnections;
        }
        std::lock_guard lock(connectionsMutex_);
        if (refuse || connections_.size() >= maxConnections) {
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        raw->fd = fd;
        connections_.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] {
            Serve(raw->fd);
            // The descriptor is closed by the reaper after the join, so that it cannot be
            // reused while Stop() still shuts it down.
            ::shutdown(raw->fd, SHUT_RDWR);
            raw->finished = true;
        });
    }
}

void Camera::Impl::Reboot(std::chrono::milliseconds downtime, const char* kind) {
    if (!running_.load() || rebooting_.load()) return;
    const auto now = Clock::now();
    {
        // The outage's end is set by the listener once the port listens again.
        const uint64_t id = AddOutage(kind, now, Clock::time_point::max());
        std::lock_guard lock(outagesMutex_);
        rebootOutage_ = id;
    }
    rebootDowntimeMs_ = std::max<int64_t>(downtime.count(), 0);
    rebooting_ = true;
}

void Camera::Impl::RunReboot(std::chrono::milliseconds downtime) {
    CloseEverything();
    const auto back = Clock::now() + downtime;
    while (!stop_.load() && Clock::now() < back) {
        EndSpellIfDue();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(back - Clock::now());
        SleepFor(std::clamp<std::chrono::milliseconds>(left, std::chrono::milliseconds(1),
                                                       std::chrono::milliseconds(kPollSliceMs)));
    }
    // The same port again; should someone else hold it meanwhile, keep trying.
    while (!stop_.load() && !BindListener(port_.load())) {
        SleepFor(std::chrono::milliseconds(kPollSliceMs));
    }
    if (stop_.load()) return;
    ++reboots_;
    uint64_t id = 0;
    {
        std::lock_guard lock(outagesMutex_);
        id = rebootOutage_;
    }
    EndOutage(id, Clock::now());
    rebooting_ = false;
}

void Camera::Impl::EndSpellIfDue() {
    std::lock_guard lock(mutex_);
    if (!spell_ || Clock::now() < spellUntil_) return;
    switch (*spell_) {
        case ChaosKind::kSpell401:
            faults_.endless401 = false;
            break;
        case ChaosKind::kSpell500:
            faults_.errorPathPrefix.clear();
            break;
        case ChaosKind::kRefuse:
            faults_.refuseConnections = false;
            break;
        default:
            break;
    }
    spell_.reset();
}

void Camera::Impl::StartSpell(ChaosKind kind, Clock::time_point until) {
    std::lock_guard lock(mutex_);
    switch (kind) {
        case ChaosKind::kSpell401:
            faults_.endless401 = true;
            break;
        case ChaosKind::kSpell500:
            faults_.errorPathPrefix = "/";
            faults_.errorStatus = 500;
            break;
        case ChaosKind::kRefuse:
            faults_.refuseConnections = true;
            break;
        default:
            return;
    }
    spell_ = kind;
    spellUntil_ = until;
}

uint64_t Camera::Impl::AddOutage(const std::string& kind, Clock::time_point begin,
                                 Clock::time_point end) {
    std::lock_guard lock(outagesMutex_);
    if (outages_.size() >= kMaxRecords) {
        outages_.erase(outages_.begin(), outages_.begin() + kMaxRecords / 2);
        outagesDropped_ += kMaxRecords / 2;
    }
    outages_.push_back(Outage{kind, begin, end});
    return outagesDropped_ + outages_.size() - 1;
}

void Camera::Impl::EndOutage(uint64_t id, Clock::time_point end) {
    std::lock_guard lock(outagesMutex_);
    if (id >= outagesDropped_ && id - outagesDropped_ < outages_.size()) {
        outages_[id - outagesDropped_].end = end;
    }
}

ChaosEvent Camera::Impl::DrawChaos() {
    std::lock_guard lock(mutex_);
    const uint64_t seed = config_.chaosSeed.value_or(0);
    if (!planner_ || plannerSeed_ != seed) {
        planner_.emplace(seed);
        plannerSeed_ = seed;
    }
    ++chaosEvents_;
    ChaosEvent event = planner_->Next();
    const double scale = std::clamp(config_.chaosTimeScale, 0.001, 1000.0);
    event.healthySeconds *= scale;
    event.seconds *= scale;
    return event;
}

void Camera::Impl::CloseEverything() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto& connection : connections_) ::shutdown(connection->fd, SHUT_RDWR);
    }
    ReapConnections(true);
}

void Camera::Impl::ReapConnections(bool all) {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        if (connection->thread.joinable()) connection->thread.join();
        ::close(connection->fd);
    }
}

void Camera::Impl::Serve(int fd) {
    std::size_t maxHead = 0;
    {
        std::lock_guard lock(mutex_);
        maxHead = std::max<std::size_t>(config_.maxHeaderBytes, 256);
    }
    HttpRequestParser parser(maxHead);
    char buffer[4096];
    HttpRequestParser::Result result = parser.Feed(buffer, 0);
    auto idleSince = Clock::now();
    while (!stop_.load()) {
        while (result == HttpRequestParser::Result::kNeedMore) {
            if (stop_.load() || Clock::now() - idleSince > kIdleConnectionTimeout) return;
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, kPollSliceMs) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n == 0) return;
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                return;
            }
            result = parser.Feed(buffer, static_cast<std::size_t>(n));
        }
        const auto received = Clock::now();
        if (result == HttpRequestParser::Result::kTooLarge ||
            result == HttpRequestParser::Result::kBad) {
            const int status = result == HttpRequestParser::Result::kTooLarge ? 431 : 400;
            Record(parser.Request(), AuthScheme::kNone, status, received);
            Respond(fd, status, ErrorBody(status), false);
            return;
        }
        const HttpRequest request = parser.Request();
        std::string rest = parser.TakeRemainder();

        // Request bodies are not used by any script; read and drop a bounded one.
        if (request.Header("transfer-encoding")) {
            Record(request, HttpAuthenticator::SchemeOf(request), 501, received);
            Respond(fd, 501, ErrorBody(501), false);
            return;
        }
        if (const auto lengthText = request.Header("content-length")) {
            std::size_t length = 0;
            const bool digits = !lengthText->empty() && lengthText->size() < 10 &&
                                std::all_of(lengthText->begin(), lengthText->end(),
                                            [](char c) { return c >= '0' && c <= '9'; });
            if (digits) length = std::stoul(*lengthText);
            if (!digits || length > kMaxRequestBody) {
                Record(request, HttpAuthenticator::SchemeOf(request), 413, received);
                Respond(fd, 413, ErrorBody(413), false);
                return;
            }
            while (rest.size() < length) {
                if (stop_.load()) return;
                pollfd pfd{fd, POLLIN, 0};
                if (::poll(&pfd, 1, kPollSliceMs) <= 0) continue;
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n == 0) return;
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                    return;
                }
                rest.append(buffer, static_cast<std::size_t>(n));
            }
            rest.erase(0, length);
        }

        if (!HandleRequest(fd, request, received)) return;
        parser.Reset(std::move(rest));
        result = parser.Feed(buffer, 0);
        idleSince = Clock::now();
    }
}

bool Camera::Impl::HandleRequest(int fd, const HttpRequest& request, Clock::time_point received) {
    Config config;
    Faults faults;
    {
        std::lock_guard lock(mutex_);
        config = config_;
        faults = faults_;
    }
    const AuthScheme used = HttpAuthenticator::SchemeOf(request);
    const bool keepAlive = request.KeepAlive();
    if (faults.cgiDelayMs > 0 && !SleepFor(std::chrono::milliseconds(faults.cgiDelayMs))) {
        return false;
    }

    std::vector<AuthScheme> offered;
    for (const AuthScheme scheme : config.auth) {
        if (scheme != AuthScheme::kNone) offered.push_back(scheme);
    }
    const HttpAuthenticator::Result auth =
        offered.empty()
            ? HttpAuthenticator::Result::kAccepted
            : authenticator_.Check(request, config.user, config.password, config.realm, offered);
    if (faults.endless401 || auth != HttpAuthenticator::Result::kAccepted) {
        if (offered.empty()) offered.push_back(AuthScheme::kBasic);
        const bool stale = !faults.endless401 && auth == HttpAuthenticator::Result::kStale;
        Record(request, used, 401, received);
        return Respond(fd, 401, ErrorBody(401), keepAlive,
                       authenticator_.Challenges(config.realm, offered, stale)) &&
               keepAlive;
    }

    const std::string path = PathOf(request.target);
    if (!faults.errorPathPrefix.empty() && path.rfind(faults.errorPathPrefix, 0) == 0) {
        const int status = std::clamp(faults.errorStatus, 100, 999);
        Record(request, used, status, received);
        return Respond(fd, status, ErrorBody(status), keepAlive) && keepAlive;
    }
    if (request.method != "GET") {
        Record(request, used, 405, received);
        return Respond(fd, 405, ErrorBody(405), keepAlive) && keepAlive;
    }

    const Query query = ParseQuery(QueryOf(request.target));
    int status = 200;
    std::string body;
    if (path == "/cgi-bin/video_post.cgi") {
        Stream(fd, request, used, received);
        return false;
    } else if (path == "/cgi-bin/LoginConfig.cgi") {
        body = LoginAnswer(config, query);
    } else if (path == "/cgi-bin/CapabilityConfig.cgi") {
        body = config.capabilityBody ? *config.capabilityBody : CapabilityAnswer(config);
    } else if (path == "/cgi-bin/PtzConfig.cgi") {
        status = PtzAnswer(config, query, body);
    } else if (path == "/cgi-bin/AVConfig.cgi") {
        status = AvConfigAnswer(config, query, body);
    } else {
        status = 404;
        body = ErrorBody(404);
    }
    Record(request, used, status, received);
    return Respond(fd, status, body, keepAlive) && keepAlive;
}

std::string Camera::Impl::LoginAnswer(const Config& config, const Query& query) const {
    if (config.loginBody) return *config.loginBody;
    const auto user = QueryValue(query, "User");
    const auto password = QueryValue(query, "Password");
    const bool valid = user && password && *user == config.user && *password == config.password;
    return valid ? "Valid=0\r\n" : "Valid=1\r\n";
}

std::string Camera::Impl::CapabilityAnswer(const Config& config) {
    const Capabilities& c = config.capabilities;
    std::string body;
    if (c.productId) body += "ProductID=" + *c.productId + "\r\n";
    body += "AudioNum=" + std::to_string(c.audioNum) + "\r\n";
    body += "VideoNum=" + std::to_string(c.videoNum) + "\r\n";
    body += "InPutPin=" + std::to_string(c.inputPins) + "\r\n";
    body += "OutPutPin=" + std::to_string(c.outputPins) + "\r\n";
    body += std::string("HD=") + (c.hd.value_or(config.hd) ? "1" : "0") + "\r\n";
    body += "Version=" + c.version + "\r\n";
    return body;
}

int Camera::Impl::PtzAnswer(const Config& config, const Query& query, std::string& body) {
    const std::string action = QueryValue(query, "Action").value_or("");
    if (action == "Get") {
        body = config.ptzGetBody ? *config.ptzGetBody
                                 : std::string(
                                       "Protocol=PELCO-D\r\nAddress=1\r\nBaudRate=9600\r\n"
                                       "PresetNum=32\r\n");
        return 200;
    }
    if (action != "Set") {
        body = ErrorBody(400);
        return 400;
    }
    const std::string move = QueryValue(query, "Move").value_or("");
    if (move == "PresetSet" || move == "PresetClear") {
        const std::string numberText = QueryValue(query, "PresetNo").value_or("");
        int number = 0;
        const bool digits = !numberText.empty() && numberText.size() <= 3 &&
                            std::all_of(numberText.begin(), numberText.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
        if (digits) number = std::stoi(numberText);
        if (number < 1 || number > kMaxPresetNo) {
            body = ErrorBody(400);
            return 400;
        }
        std::lock_guard lock(mutex_);
        if (move == "PresetSet") {
            std::string name = QueryValue(query, "PresetName").value_or("");
            name.resize(std::min(name.size(), kMaxPresetName));
            presets_[number] = std::move(name);
        } else {
            presets_.erase(number);
        }
    }
    body = config.setAnswerBody;
    return 200;
}

int Camera::Impl::AvConfigAnswer(const Config& config, const Query& query, std::string& body) {
    const std::string action = QueryValue(query, "Action").value_or("");
    std::lock_guard lock(mutex_);
    if (action == "Set") {
        pending_ = ApplyAvConfig(pending_, query, config.hd);
        body = config.setAnswerBody;
        return 200;
    }
    if (action == "Get") {
        body = DescribeStreamConfig(pending_);
        return 200;
    }
    body = ErrorBody(400);
    return 400;
}

void Camera::Impl::Record(const HttpRequest& request, AuthScheme auth, int status,
                          Clock::time_point received) {
    {
        std::lock_guard lock(recordsMutex_);
        if (records_.size() >= kMaxRecords) {
            records_.erase(records_.begin(), records_.begin() + kMaxRecords / 2);
        }
        records_.push_back(
            RequestRecord{request.method, request.target, auth, status, received, request.headers});
    }
    recordsCv_.notify_all();
}

bool Camera::Impl::Respond(int fd, int status, std::string_view body, bool keepAlive,
                           const std::vector<std::string>& challenges) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    out += "Server: zarncam\r\nContent-Type: text/plain\r\n";
    for (const auto& challenge : challenges) out += "WWW-Authenticate: " + challenge + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    out += body;
    return SendAll(fd, out);
}

void Camera::Impl::Stream(int fd, const HttpRequest& request, AuthScheme used,
                          Clock::time_point received) {
    StreamConfig config;
    std::size_t maxPayload = 0;
    int fixedPeriodMs = 0;
    int loopSeconds = 0;
    bool chaos = false;
    EncoderStyle style;
    {
        std::lock_guard lock(mutex_);
        config = pending_;
        style = config_.encoder;
        last_ = config;
        maxPayload = config_.maxPayload;
        fixedPeriodMs = config_.framePeriodMs;
        loopSeconds = config_.loopSeconds;
        chaos = config_.chaosSeed.has_value();
    }
    // A looped stream is sent at the same period as a live one (the camera's own period when it
    // has one); the loop itself is encoded at the configured rate.
    H264LiveEncoder encoder;
    std::shared_ptr<const EncodedLoop> loop;
    if (loopSeconds > 0) {
        const bool built = EncodedLoop::PictureCount(config, loopSeconds) > 0;
        loop = built ? EncodedLoop::Get(config, loopSeconds, style) : nullptr;
    }
    if (loopSeconds > 0 ? loop == nullptr : !encoder.Open(config, fixedPeriodMs, style)) {
        Record(request, used, 500, received);
        Respond(fd, 500, ErrorBody(500), false);
        return;
    }
    Record(request, used, 200, received);
    const uint64_t streamNumber = ++streamsStarted_;
    ++streamsActive_;
    // A non-H.264 stretch of chaos is an outage until the next key picture goes out; a stream
    // that ends before that ends it too.
    std::optional<uint64_t> foreignOutage;
    struct StreamGuard {
        Camera::Impl& impl;
        std::optional<uint64_t>& foreignOutage;
        ~StreamGuard() {
            --impl.streamsActive_;
            if (foreignOutage) impl.EndOutage(*foreignOutage, Clock::now());
        }
    } guard{*this, foreignOutage};

    if (!SendAll(fd,
                 "HTTP/1.1 200 OK\r\nServer: zarncam\r\nContent-Type: application/octet-stream\r\n"
                 "Cache-Control: no-cache\r\nConnection: close\r\n\r\n")) {
        return;
    }
    const StreamPacketizer packetizer(maxPayload);
    const auto period = fixedPeriodMs > 0
                            ? std::chrono::microseconds(int64_t{fixedPeriodMs} * 1000)
                            : std::chrono::microseconds(1000000 / std::max(config.frameRate, 1));
    std::vector<NalUnit> nals;
    std::vector<std::string> payloads;
    uint64_t partIndex = 0;
    uint64_t picture = 0;  // pictures taken from the loop
    uint32_t foreignRandom = 0x2545F491u;
    StreamOverrides overrides;
    ChaosEvent event;
    auto faultAt = Clock::time_point::max();
    if (chaos) {
        event = DrawChaos();
        faultAt = Clock::now() + Seconds(event.healthySeconds);
    }
    auto next = Clock::now();
    uint64_t pictureIndex = 0;  // pictures this stream sent
    bool sendingHeld = false;   // pictures held by a pause go out back to back
    while (!stop_.load()) {
        switch (WaitIdle(fd, next)) {
            case WaitResult::kReady:
                break;
            case WaitResult::kStopped:
            case WaitResult::kClosed:
                return;
        }
        // A pause holds the pictures taken meanwhile: once it is over the schedule, which went
        // on, is behind, and they go out at once.
        if (const auto until = PausedUntil(); Clock::now() < until) {
            if (WaitIdle(fd, until) != WaitResult::kReady) return;
            sendingHeld = true;
        }
        if (Clock::now() >= faultAt) {
            if (!RunChaosEvent(fd, event, overrides, foreignOutage)) return;
            event = DrawChaos();
            faultAt = Clock::now() + Seconds(event.healthySeconds);
        }
        bool foreign = Clock::now() < overrides.foreignUntil;
        if (!foreign) {
            std::lock_guard lock(mutex_);
            foreign = faults_.foreignParts;
        }
        bool keyFrame = false;
        if (foreign) {
            ForeignPayloads(foreignRandom, maxPayload, payloads);
        } else {
            if (loop) {
                loop->Nals(picture, nals);
                keyFrame = loop->At(picture).keyFrame;
                ++picture;
            } else {
                if (!encoder.EncodeNext(nals, keyFrame)) return;
                ++framesEncoded_;
            }
            payloads.clear();
            for (const NalUnit& nal : nals) packetizer.Packetize(nal.data, nal.size, payloads);
        }
        for (const std::string& payload : payloads) {
            if (!SendPart(fd, payload, partIndex++, overrides)) return;
        }
        if (!foreign && !payloads.empty()) {
            ++framesSent_;
            SentPicture sent;
            sent.stream = streamNumber;
            sent.index = pictureIndex++;
            sent.due = next;
            sent.sent = Clock::now();
            for (const NalUnit& nal : nals) sent.accessUnitBytes += 3 + nal.size;
            sent.keyFrame = keyFrame;
            RecordPicture(sent);
            if (keyFrame) {
                ++keyFramesSent_;
                if (foreignOutage) {
                    EndOutage(*foreignOutage, Clock::now());
                    foreignOutage.reset();
                }
            }
        }
        // Real-time pacing; after a stall or a slow send start afresh instead of bursting, but
        // send what a pause held.
        next += period;
        const auto now = Clock::now();
        if (sendingHeld && next >= now) sendingHeld = false;
        if (!sendingHeld && now > next + period) next = now;
    }
}

bool Camera::Impl::RunChaosEvent(int fd, const ChaosEvent& event, StreamOverrides& overrides,
                                 std::optional<uint64_t>& foreignOutage) {
    const auto now = Clock::now();
    const auto until = now + Seconds(event.seconds);
    const char* kind = ChaosKindName(event.kind);
    // Half of a part: the header announces more than ever comes.
    const std::string halfPart = StreamPacketizer::PartHeader(1024) + std::string(512, '\x80');
    switch (event.kind) {
        case ChaosKind::kEnd:
            AddOutage(kind, now, now);
            return false;
        case ChaosKind::kDrop:
            SendStreamBytes(fd, halfPart, StreamFaults(overrides));
            ++connectionsDropped_;
            AddOutage(kind, now, now);
            return false;
        case ChaosKind::kStall: {
            const uint64_t id = AddOutage(kind, now, Clock::time_point::max());
            if (SendStreamBytes(fd, halfPart, StreamFaults(overrides))) {
                ++stallsEntered_;
                ++streamsStalled_;
                WaitIdle(fd, until);
                --streamsStalled_;
            }
            EndOutage(id, Clock::now());
            return false;
        }
        case ChaosKind::kGarbage:
            overrides.garbageUntil = until;
            return true;
        case ChaosKind::kTrickle:
            overrides.trickleUntil = until;
            return true;
        case ChaosKind::kHugeLength:
            return SendStreamBytes(fd, StreamPacketizer::PartHeader(kChaosHugeLength),
                                   StreamFaults(overrides));
        case ChaosKind::kForeign:
            overrides.foreignUntil = until;
            if (!foreignOutage) foreignOutage = AddOutage(kind, now, Clock::time_point::max());
            return true;
        case ChaosKind::kSpell401:
        case ChaosKind::kSpell500:
        case ChaosKind::kRefuse:
            StartSpell(event.kind, until);
            AddOutage(kind, now, until);
            return false;
        case ChaosKind::kReboot:
            Reboot(std::chrono::duration_cast<std::chrono::milliseconds>(until - now), kind);
            return false;
    }
    return false;
}

Faults Camera::Impl::StreamFaults(const StreamOverrides& overrides) {
    Faults faults;
    {
        std::lock_guard lock(mutex_);
        faults = faults_;
    }
    const auto now = Clock::now();
    if (now < overrides.garbageUntil) {
        faults.garbageBeforeFirstPart = true;
        faults.garbageBetweenParts = true;
    }
    if (now < overrides.trickleUntil && !faults.trickle) {
        faults.trickle = true;
        faults.trickleBytes = kChaosTrickleBytes;
        faults.trickleDelayMs = kChaosTrickleDelayMs;
    }
    return faults;
}

bool Camera::Impl::SendPart(int fd, std::string_view payload, uint64_t index,
                            const StreamOverrides& overrides) {
    const Faults faults = StreamFaults(overrides);
    if ((index == 0 && faults.garbageBeforeFirstPart) ||
        (index > 0 && faults.garbageBetweenParts)) {
        if (!SendStreamBytes(fd, GarbageBytes(), faults)) return false;
    }
    if (ConsumeOne(hugePending_)) {
        if (!SendStreamBytes(fd, StreamPacketizer::PartHeader(hugeLength_.load()), faults)) {
            return false;
        }
    }
    std::string part = StreamPacketizer::PartHeader(payload.size());
    const std::size_t headerSize = part.size();
    part.append(payload);
    const std::size_t cut = headerSize + std::max<std::size_t>(payload.size() / 2, 1);

    if ((faults.dropAfterParts > 0 && index >= faults.dropAfterParts) || ConsumeOne(dropPending_)) {
        SendStreamBytes(fd, std::string_view(part).substr(0, cut), faults);
        ++connectionsDropped_;
        return false;
    }
    if (faults.stall) {
        if (!SendStreamBytes(fd, std::string_view(part).substr(0, cut), faults)) return false;
        ++stallsEntered_;
        ++streamsStalled_;
        const WaitResult waited = WaitIdle(fd, Clock::time_point::max(), [this] {
            std::lock_guard lock(mutex_);
            return faults_.stall;
        });
        --streamsStalled_;
        if (waited != WaitResult::kReady) return false;
        if (!SendStreamBytes(fd, std::string_view(part).substr(cut), faults)) return false;
    } else if (!SendStreamBytes(fd, part, faults)) {
        return false;
    }
    ++partsSent_;
    return true;
}

bool Camera::Impl::SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        if (stop_.load()) return false;
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, kPollSliceMs);
        if ((pfd.revents & (POLLERR | POLLHUP)) != 0) return false;
    }
    return true;
}

bool Camera::Impl::SendStreamBytes(int fd, std::string_view data, const Faults& faults) {
    if (!faults.trickle) {
        if (!SendAll(fd, data)) return false;
        bytesSent_ += data.size();
        return true;
    }
    const std::size_t step = std::max<std::size_t>(faults.trickleBytes, 1);
    const auto delay = std::chrono::milliseconds(std::clamp(faults.trickleDelayMs, 0, 1000));
    while (!data.empty()) {
        const std::size_t n = std::min(step, data.size());
        if (!SendAll(fd, data.substr(0, n))) return false;
        bytesSent_ += n;
        data.remove_prefix(n);
        if (!data.empty() && delay.count() > 0 &&
            WaitIdle(fd, Clock::now() + delay) != WaitResult::kReady) {
            return false;
        }
    }
    return true;
}

Camera::Impl::WaitResult Camera::Impl::WaitIdle(int fd, Clock::time_point deadline,
                                                const std::function<bool()>& keepWaiting) {
    char scratch[1024];
    while (true) {
        if (stop_.load()) return WaitResult::kStopped;
        if (keepWaiting ? !keepWaiting() : Clock::now() >= deadline) return WaitResult::kReady;
        int timeoutMs = kPollSliceMs;
        if (!keepWaiting) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kPollSliceMs));
            if (timeoutMs == 0 && Clock::now() < deadline) timeoutMs = 1;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) <= 0) continue;
        if ((pfd.revents & (POLLERR | POLLHUP)) != 0) return WaitResult::kClosed;
        const ssize_t n = ::recv(fd, scratch, sizeof(scratch), 0);
        if (n == 0) return WaitResult::kClosed;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return WaitResult::kClosed;
        }
    }
}

bool Camera::Impl::SleepFor(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMutex_);
    return !stopCv_.wait_for(lock, duration, [this] { return stop_.load(); });
}

Stats Camera::Impl::GetStats() const {
    Stats s;
    s.connectionsAccepted = connectionsAccepted_.load();
    s.streamsStarted = streamsStarted_.load();
    s.streamsActive = streamsActive_.load();
    s.framesEncoded = framesEncoded_.load();
    s.framesSent = framesSent_.load();
    s.keyFramesSent = keyFramesSent_.load();
    s.partsSent = partsSent_.load();
    s.bytesSent = bytesSent_.load();
    s.stallsEntered = stallsEntered_.load();
    s.streamsStalled = streamsStalled_.load();
    s.connectionsDropped = connectionsDropped_.load();
    s.reboots = reboots_.load();
    s.chaosEvents = chaosEvents_.load();
    return s;
}

// ---------------------------------------------------------------------------------------------

Camera::Camera(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}
Camera::~Camera() = default;

bool Camera::Start() {
    return impl_->Start();
}
void Camera::Stop() {
    impl_->Stop();
}
bool Camera::Running() const {
    return impl_->Running();
}
uint16_t Camera::Port() const {
    return impl_->Port();
}
std::string Camera::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port());
}

Config Camera::GetConfig() const {
    return impl_->GetConfig();
}
void Camera::SetConfig(const Config& config) {
    impl_->SetConfig(config);
}

Faults Camera::GetFaults() const {
    return impl_->GetFaults();
}
void Camera::SetFaults(const Faults& faults) {
    impl_->UpdateFaults([&faults](Faults& f) { f = faults; });
}
void Camera::UpdateFaults(const std::function<void(Faults&)>& change) {
    impl_->UpdateFaults(change);
}
void Camera::DropNextPart() {
    impl_->DropNextPart();
}
void Camera::InjectHugeLength(uint64_t length) {
    impl_->InjectHugeLength(length);
}
void Camera::Reboot(std::chrono::milliseconds downtime) {
    impl_->Reboot(downtime, "reboot");
}
std::vector<Outage> Camera::Outages() const {
    return impl_->Outages();
}
void Camera::PauseStreams(std::chrono::milliseconds pause) {
    impl_->PauseStreams(pause);
}
std::vector<SentPicture> Camera::SentPictures() const {
    return impl_->SentPictures();
}

std::vector<RequestRecord> Camera::Requests() const {
    return impl_->Requests();
}
void Camera::ClearRequests() {
    impl_->ClearRequests();
}
bool Camera::WaitFor(const std::function<bool(const std::vector<RequestRecord>&)>& pred,
                     std::chrono::milliseconds timeout) const {
    return impl_->WaitFor(pred, timeout);
}
bool Camera::WaitForRequestCount(std::string_view pathPrefix, std::size_t n,
                                 std::chrono::milliseconds timeout) const {
    const std::string prefix(pathPrefix);
    return impl_->WaitFor(
        [&prefix, n](const std::vector<RequestRecord>& records) {
            const auto count = std::count_if(
                records.begin(), records.end(),
                [&prefix](const RequestRecord& r) { return r.target.rfind(prefix, 0) == 0; });
            return static_cast<std::size_t>(count) >= n;
        },
        timeout);
}

Stats Camera::GetStats() const {
    return impl_->GetStats();
}
bool Camera::WaitForStats(const std::function<bool(const Stats&)>& pred,
                          std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (pred(impl_->GetStats())) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

StreamConfig Camera::PendingStreamConfig() const {
    return impl_->PendingStreamConfig();
}
std::optional<StreamConfig> Camera::LastStreamConfig() const {
    return impl_->LastStreamConfig();
}
std::map<int, std::string> Camera::Presets() const {
    return impl_->Presets();
}

}  // namespace zarncam
