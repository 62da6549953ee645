// VideoFileWriter: the `--out` file of the stream command. The extension chooses the format:
//   .mkv  Matroska, .mp4  MP4: the delivered H.264 access units stream-copied by libavformat, each
//         with the time the host stamped on its frame, so the file plays at the camera's real rate
//         and a gap in the delivery (a signal loss) stays a gap;
//   .h264 / .264: the raw Annex B stream as delivered, with no time stamps.
//
// Used on one thread (the stream command's main loop). The container is set up with the first
// frame, which the driver always delivers as a key frame with its SPS and PPS: its picture size and
// parameter sets become the stream's header. Each packet is written once the next one arrives, so
// that its duration is the real distance to the next frame; the last one lasts as long as the one
// before it (the requested frame period when that one ended in a gap, or there was none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVStream;

namespace zarnhost {

class VideoFileWriter {
public:
    enum class Format { kRawH264, kMatroska, kMp4 };

    // Why .mkv and .mp4 cannot be written by a build without libavformat (the Windows build).
    static constexpr const char* kNoContainers =
        "the Windows build of zarnhost writes only raw .h264 (it has no libavformat)";

    VideoFileWriter() = default;
    ~VideoFileWriter();
    VideoFileWriter(const VideoFileWriter&) = delete;
    VideoFileWriter& operator=(const VideoFileWriter&) = delete;

    // The format for a file name, by its extension (case-insensitive); nullopt for any other.
    static std::optional<Format> FormatFor(const std::string& path);

    // Creates (truncates) the file. `periodMs` is the requested frame period, the duration of a
    // last frame that has no plain predecessor. False with one line in `error` when the file cannot
    // be created.
    bool Open(const std::string& path, int periodMs, std::string* error);
    bool IsOpen() const { return open_; }

    // Appends one access unit. `stampMs` is the host's time stamp of the frame in milliseconds
    // (any epoch; only differences count). False once writing failed (see Error()).
    bool Write(const uint8_t* data, size_t size, bool keyFrame, uint32_t width, uint32_t height,
               int64_t stampMs);

    // Writes what is still buffered and the container's index, and closes the file. False when
    // anything failed since Open; Error() tells what. Idempotent.
    bool Close();

    const std::string& Error() const { return error_; }
    uint64_t Frames() const { return frames_; }

private:
    struct Pending {
        std::vector<uint8_t> data;
        bool keyFrame = false;
        int64_t pts = 0;
    };

    bool StartContainer(const uint8_t* data, size_t size, uint32_t width, uint32_t height);
    bool WritePacket(const Pending& packet, int64_t durationMs);
    bool Fail(const std::string& what, int averror = 0);

    Format format_ = Format::kRawH264;
    std::string path_;
    int periodMs_ = 40;
    bool open_ = false;
    bool failed_ = false;
    std::string error_;
    uint64_t frames_ = 0;

    std::FILE* raw_ = nullptr;

    AVFormatContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
    bool headerWritten_ = false;
    int64_t firstStampMs_ = 0;
    std::optional<Pending> pending_;
    int64_t lastIntervalMs_ = 0;
};

}  // namespace zarnhost
