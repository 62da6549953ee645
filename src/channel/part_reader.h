// CPartReader: cuts the camera's stream response into part payloads. Each part is a few header
// lines, one of them "Length: " with the decimal payload length, an empty line ("\r\n\r\n") and
// exactly that many payload bytes. Bytes in front of a "Length: " header (other header lines,
// garbage, the rest of a damaged part) are skipped by a sliding 8-byte search.
//
// Bounds: a length above kMaxPartLength is damage and allocates nothing; a length text that does
// not end within kMaxLengthText bytes is damage too. In both cases the search goes on.
//
// Threads: used by one thread (the channel's worker). The byte source is borrowed; the cancel
// check is polled between single-byte reads and between partial reads, so a stop request or an
// expired no-data time-out ends a search promptly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace talvane {

// A blocking source of stream bytes.
class IByteSource {
public:
    // Reads up to `n` bytes into `out` (replacing its content) and returns how many arrived;
    // 0 when the source has ended, timed out or was aborted.
    virtual size_t ReadChunk(std::vector<uint8_t>& out, size_t n) = 0;

protected:
    ~IByteSource() = default;
};

class CPartReader {
public:
    static constexpr uint32_t kMaxPartLength = 16u * 1024u * 1024u;
    static constexpr size_t kMaxLengthText = 1024;

    // True when the reader should give up (stop requested, stream considered lost).
    using CancelCheck = std::function<bool()>;

    CPartReader(IByteSource& source, CancelCheck cancelled);

    struct Header {
        uint32_t length = 0;  // payload bytes announced; 0: no part (nothing found, or damage)
        bool ended = false;   // the source ended or the search was cancelled: stop reading
    };

    // Finds the next "Length: " header and reads its length.
    Header ReadHeader();
    // Reads exactly `length` bytes into `payload`. False when the source ended or the read was
    // cancelled first; the partial payload is then of no use.
    bool ReadPayload(uint32_t length, std::vector<uint8_t>& payload);

    // Value of a length text: leading blanks skipped, an optional sign, the digits up to the first
    // other character; 0 without digits. Saturates far above kMaxPartLength.
    static int64_t ParseLength(const std::string& text);

private:
    // Reads exactly n bytes, collecting partial reads; false when the source runs dry or the
    // cancel check fires before that.
    bool ReadExact(size_t n, std::vector<uint8_t>& out);
    Header ReadLength();

    IByteSource& source_;
    CancelCheck cancelled_;
    std::vector<uint8_t> chunk_;
};

}  // namespace talvane
