// The floor of the many-camera benchmark: the least a thread per camera can cost on this machine
// for what the driver does with a stream. Plain C++ on sockets, without the driver or libcurl:
// one thread per stream sleeps until its next frame is due, takes what has arrived in one read
// (and blocks for more only when the picture is not complete yet), cuts the "Length: " parts,
// copies their H.264 payloads into a frame buffer, and counts a frame when the next picture
// begins, as the driver does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zarnbench {

// Cuts a camera's stream body into parts and their payloads into frames. Bytes are fed as they
// arrive; only whole parts are consumed, so the caller keeps the unconsumed rest and feeds it
// again with the bytes that follow.
class FloorFramer {
public:
    // A part longer than this is damage; it is skipped with the search for the next header.
    static constexpr size_t kMaxPart = 16u << 20;
    // A length text that does not end within this many bytes is damage too.
    static constexpr size_t kMaxHeaderText = 1024;

    // Consumes the whole parts (and any bytes in front of a header) at the start of `data`;
    // returns how many bytes were consumed. A part that is not all there yet stays unconsumed.
    size_t Feed(const uint8_t* data, size_t size);

    // Bytes the unconsumed rest must reach before the next Feed can take the part it begins with
    // (0 while its header is not complete).
    size_t NeedBytes() const { return need_; }
    // Frames completed so far (a frame is complete when the next picture begins).
    uint64_t Frames() const { return frames_; }
    // Bytes of the last completed frame.
    size_t LastFrameBytes() const { return lastFrameBytes_; }
    // Damaged parts skipped (a length out of bounds or a header that never ends).
    uint64_t Damaged() const { return damaged_; }

private:
    void OnPayload(const uint8_t* payload, size_t size);

    std::vector<uint8_t> frame_;
    bool frameHasPicture_ = false;
    uint64_t frames_ = 0;
    size_t lastFrameBytes_ = 0;
    uint64_t damaged_ = 0;
    size_t need_ = 0;
};

// N streams, a thread each, on 127.0.0.1 ports: GET /cgi-bin/video_post.cgi with Basic
// authentication, then the read loop above at one frame every `periodMs`.
class FloorReceiver {
public:
    FloorReceiver() = default;
    ~FloorReceiver();
    FloorReceiver(const FloorReceiver&) = delete;
    FloorReceiver& operator=(const FloorReceiver&) = delete;

    // Starts one thread per port; false (and nothing running) when a thread cannot start.
    // `basicCredentials` is "user:password" in Base64.
    bool Start(const std::vector<uint16_t>& ports, const std::string& basicCredentials,
               int periodMs);
    // Ends every thread (each within about 100 ms) and closes the connections.
    void Stop();

    // Frames delivered so far, over all streams.
    uint64_t Frames() const;
    // Streams whose request was answered with 200 and that are still reading.
    int Streaming() const;
    // Streams that failed (connect, request, status other than 200, the stream ended).
    int Failed() const;
    // Reads from the sockets so far, over all streams.
    uint64_t Reads() const;
    // Bytes each stream keeps (receive buffer and frame buffer), the largest.
    size_t BufferBytes() const;

private:
    struct Stream {
        uint16_t port = 0;
        std::atomic<uint64_t> frames{0};
        std::atomic<uint64_t> reads{0};
        std::atomic<size_t> bufferBytes{0};
        std::atomic<int> state{0};  // 0 connecting, 1 streaming, 2 failed
        std::thread thread;
    };
    void Run(Stream& stream);

    std::string request_;
    int periodMs_ = 40;
    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<Stream>> streams_;
};

}  // namespace zarnbench
