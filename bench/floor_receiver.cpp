#include "floor_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarnbench {

namespace {

constexpr char kLengthTag[] = "Length: ";
constexpr size_t kLengthTagSize = sizeof(kLengthTag) - 1;
constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr size_t kHeaderEndSize = sizeof(kHeaderEnd) - 1;
constexpr size_t kReceiveBuffer = 64 * 1024;
constexpr size_t kMaxResponseHeader = 16 * 1024;
constexpr int kReceiveSliceMs = 100;  // a blocked read looks at the stop flag this often
constexpr int kHeaderTimeoutMs = 5000;

bool StartsNal(const uint8_t* p, size_t size) {
    return size >= 6 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0 && p[4] == 1;
}

int64_t MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(int64_t at) {
    timespec until{};
    until.tv_sec = at / 1000000000;
    until.tv_nsec = at % 1000000000;
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

bool SendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

size_t FloorFramer::Feed(const uint8_t* data, size_t size) {
    size_t at = 0;
    need_ = 0;
    for (;;) {
        const void* tag = ::memmem(data + at, size - at, kLengthTag, kLengthTagSize);
        if (tag == nullptr) {
            // Keep what could still be the beginning of a tag.
            return std::max(at, size >= kLengthTagSize ? size - (kLengthTagSize - 1) : 0);
        }
        const size_t tagAt = static_cast<size_t>(static_cast<const uint8_t*>(tag) - data);
        const size_t textAt = tagAt + kLengthTagSize;
        const void* end = ::memmem(data + textAt, size - textAt, kHeaderEnd, kHeaderEndSize);
        const size_t textEnd =
            end != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(end) - data) : size;
        if (textEnd - textAt > kMaxHeaderText) {
            ++damaged_;
            at = textAt;
            continue;
        }
        if (end == nullptr) return tagAt;
        size_t length = 0;
        for (size_t i = textAt; i < textEnd && data[i] >= '0' && data[i] <= '9'; ++i) {
            length = std::min(length * 10 + static_cast<size_t>(data[i] - '0'), kMaxPart + 1);
        }
        if (length == 0 || length > kMaxPart) {
            ++damaged_;
            at = textAt;
            continue;
        }
        const size_t payloadAt = textEnd + kHeaderEndSize;
        if (size - payloadAt < length) {
            need_ = payloadAt - tagAt + length;
            return tagAt;
        }
        OnPayload(data + payloadAt, length);
        at = payloadAt + length;
    }
}

void FloorFramer::OnPayload(const uint8_t* payload, size_t size) {
    if (StartsNal(payload, size)) {
        // A NAL unit begins: with a three-byte start code into the frame. Parameter sets, SEI and
        // delimiters, and a slice whose first macroblock is 0 (first bit of the slice header's
        // first Exp-Golomb code set), begin a new picture, which completes the frame collected.
        const uint8_t type = payload[5] & 0x1F;
        const bool slice = type == 1 || type == 5;
        const bool begins = (type >= 6 && type <= 9) || (slice && size > 6 && (payload[6] & 0x80));
        if (begins && frameHasPicture_) {
            ++frames_;
            lastFrameBytes_ = frame_.size();
            frame_.clear();
            frameHasPicture_ = false;
        }
        frame_.insert(frame_.end(), payload + 2, payload + size);
        frameHasPicture_ = frameHasPicture_ || slice;
    } else if (size > 1) {
        // The rest of the NAL unit in progress, after its filler byte.
        frame_.insert(frame_.end(), payload + 1, payload + size);
    }
    if (frame_.size() > kMaxPart) {
        ++damaged_;
        frame_.clear();
        frameHasPicture_ = false;
    }
}

FloorReceiver::~FloorReceiver() {
    Stop();
}

bool FloorReceiver::Start(const std::vector<uint16_t>& ports, const std::string& basicCredentials,
                          int periodMs) {
    Stop();
    stop_ = false;
    periodMs_ = std::max(periodMs, 1);
    request_ = "GET /cgi-bin/video_post.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
               basicCredentials + "\r\n\r\n";
    for (const uint16_t port : ports) {
        auto stream = std::make_unique<Stream>();
        stream->port = port;
        Stream* raw = stream.get();
        try {
            stream->thread = std::thread([this, raw] { Run(*raw); });
        } catch (const std::system_error&) {
            Stop();
            return false;
        }
        streams_.push_back(std::move(stream));
    }
    return true;
}

void FloorReceiver::Stop() {
    stop_ = true;
    for (auto& stream : streams_) {
        if (stream->thread.joinable()) stream->thread.join();
    }
    streams_.clear();
}

uint64_t FloorReceiver::Frames() const {
    uint64_t frames = 0;
    for (const auto& s : streams_) frames += s->frames.load(std::memory_order_relaxed);
    return frames;
}

int FloorReceiver::Streaming() const {
    return static_cast<int>(std::count_if(streams_.begin(), streams_.end(),
                                          [](const auto& s) { return s->state.load() == 1; }));
}

int FloorReceiver::Failed() const {
    return static_cast<int>(std::count_if(streams_.begin(), streams_.end(),
                                          [](const auto& s) { return s->state.load() == 2; }));
}

uint64_t FloorReceiver::Reads() const {
    uint64_t reads = 0;
    for (const auto& s : streams_) reads += s->reads.load(std::memory_order_relaxed);
    return reads;
}

size_t FloorReceiver::BufferBytes() const {
    size_t most = 0;
    for (const auto& s : streams_) most = std::max(most, s->bufferBytes.load());
    return most;
}

void FloorReceiver::Run(Stream& stream) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        stream.state = 2;
        return;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // A blocked read returns this often, so that a stop is seen promptly.
    const timeval slice{0, kReceiveSliceMs * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(stream.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        !SendAll(fd, request_)) {
        stream.state = 2;
        return;
    }

    // The response header, then the body's first bytes moved to the front of the buffer.
    std::vector<uint8_t> rx(kReceiveBuffer);
    size_t have = 0;
    const int64_t headerDeadline = MonotonicNs() + int64_t{kHeaderTimeoutMs} * 1000000;
    const void* headerEnd = nullptr;
    while (headerEnd == nullptr) {
        if (stop_.load() || have >= kMaxResponseHeader || MonotonicNs() > headerDeadline) {
            stream.state = 2;
            return;
        }
        const ssize_t n = ::recv(fd, rx.data() + have, kMaxResponseHeader - have, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            stream.state = 2;
            return;
        }
        if (n > 0) have += static_cast<size_t>(n);
        headerEnd = ::memmem(rx.data(), have, kHeaderEnd, kHeaderEndSize);
    }
    const std::string status(reinterpret_cast<const char*>(rx.data()), std::min<size_t>(have, 12));
    if (status != "HTTP/1.1 200" && status != "HTTP/1.0 200") {
        stream.state = 2;
        return;
    }
    const size_t bodyAt =
        static_cast<size_t>(static_cast<const uint8_t*>(headerEnd) - rx.data()) + kHeaderEndSize;
    std::memmove(rx.data(), rx.data() + bodyAt, have - bodyAt);
    have -= bodyAt;
    stream.state = 1;

    FloorFramer framer;
    const int64_t period = int64_t{periodMs_} * 1000000;
    int64_t due = 0;
    while (!stop_.load()) {
        if (due != 0) SleepUntilNs(due);
        // What has arrived, in one read; more (blocking) only while no frame is complete.
        const uint64_t before = framer.Frames();
        bool waited = false;
        int flags = MSG_DONTWAIT;
        while (framer.Frames() == before && !stop_.load()) {
            if (have == rx.size()) {
                // A part larger than the buffer: make room for all of it (bounded by the framer).
                rx.resize(std::max(rx.size() * 2, framer.NeedBytes()));
            }
            const ssize_t n = ::recv(fd, rx.data() + have, rx.size() - have, flags);
            stream.reads.fetch_add(1, std::memory_order_relaxed);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                stream.state = 2;
                return;
            }
            waited = waited || flags == 0 || n < 0;
            flags = 0;
            if (n < 0) continue;
            have += static_cast<size_t>(n);
            const size_t used = framer.Feed(rx.data(), have);
            std::memmove(rx.data(), rx.data() + used, have - used);
            have -= used;
        }
        stream.frames.fetch_add(framer.Frames() - before, std::memory_order_relaxed);
        stream.bufferBytes.store(rx.capacity() + framer.LastFrameBytes());
        // The next frame is due one period after this one was; when the picture was not all there
        // at the due time, one period after it was complete, so that the next wake-up finds it.
        const int64_t now = MonotonicNs();
        due = (due == 0 || waited) ? now + period : due + period;
        if (due < now - period) due = now;  // far behind (a stall): start afresh
    }
}

}  // namespace zarnbench
