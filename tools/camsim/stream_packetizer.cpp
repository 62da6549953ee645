#include "stream_packetizer.h"

#include <algorithm>

namespace zarncam {

StreamPacketizer::StreamPacketizer(std::size_t maxPayload)
    : maxPayload_(std::clamp(maxPayload, kMinPayload, kMaxPayload)) {}

void StreamPacketizer::Packetize(const uint8_t* nal, std::size_t size,
                                 std::vector<std::string>& out) const {
    if (nal == nullptr || size == 0) return;
    static constexpr char kStart[] = {0, 0, 0, 0, 1};
    std::size_t taken = std::min(size, maxPayload_ - sizeof(kStart));
    std::string first(kStart, sizeof(kStart));
    first.append(reinterpret_cast<const char*>(nal), taken);
    out.push_back(std::move(first));
    while (taken < size) {
        const std::size_t n = std::min(size - taken, maxPayload_ - 1);
        std::string next(1, static_cast<char>(kContinuationByte));
        next.append(reinterpret_cast<const char*>(nal + taken), n);
        out.push_back(std::move(next));
        taken += n;
    }
}

std::string StreamPacketizer::PartHeader(uint64_t length) {
    return "Content-Type: video/h264\r\nLength: " + std::to_string(length) + "\r\n\r\n";
}

}  // namespace zarncam
