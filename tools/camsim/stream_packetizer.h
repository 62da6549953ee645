// Cuts NAL units into the payloads of the camera's stream parts and frames them.
//
// Payload format: the first payload of a NAL unit is 00 00 00 00 01 followed by the NAL unit
// (header byte first) up to the payload limit; the rest of the NAL unit follows in continuation
// payloads, each starting with one filler byte (0x80, so that bytes 0..2 are never all zero) that
// the receiver drops. A part is "Content-Type: video/h264\r\nLength: N\r\n\r\n" and N payload
// bytes. Stateless apart from the limit; usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarncam {

class StreamPacketizer {
public:
    static constexpr std::size_t kMinPayload = 16;
    static constexpr std::size_t kMaxPayload = 1 << 20;
    static constexpr uint8_t kContinuationByte = 0x80;

    // The limit is clamped to [kMinPayload, kMaxPayload].
    explicit StreamPacketizer(std::size_t maxPayload);

    std::size_t MaxPayload() const { return maxPayload_; }

    // Appends the payloads of one NAL unit (no start code) to out.
    void Packetize(const uint8_t* nal, std::size_t size, std::vector<std::string>& out) const;

    // Header lines of a part that announces `length` payload bytes, blank line included.
    static std::string PartHeader(uint64_t length);

private:
    std::size_t maxPayload_;
};

}  // namespace zarncam
