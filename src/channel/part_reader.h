// CPartReader: cuts the camera's stream response into part payloads. Each part is a few header
// lines, one of them "Length: " with the decimal payload length, an empty line ("\r\n\r\n") and
// exactly that many payload bytes. Bytes in front of a "Length: " header (other header lines,
// garbage, the rest of a damaged part) are skipped by a search for the 8-byte tag.
//
// Reading: the header search reads the source in blocks of at most kReadAheadBytes into the
// reader's own buffer and searches there; a payload is read straight into the caller's buffer,
// after the payload bytes the last block already brought. The reader never asks the source for
// more than the current header search or payload needs, beyond the read-ahead block.
//
// Bounds: a length above kMaxPartLength is damage and allocates nothing; a length text that does
// not end within kMaxLengthText bytes is damage too. In both cases the search goes on.
//
// Threads: used by one thread (the channel's worker). The byte source is borrowed; the cancel
// check is polled before every read from the source but the first of a header or payload, so a
// stop request or an expired no-data time-out ends a search promptly.
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
    // Waits until at least one byte has arrived, then copies what has arrived, up to `max`
    // bytes, to `into`; returns how many. 0 when the source has ended, timed out or was aborted.
    virtual size_t Read(uint8_t* into, size_t max) = 0;

protected:
    ~IByteSource() = default;
};

class CPartReader {
public:
    static constexpr uint32_t kMaxPartLength = 16u * 1024u * 1024u;
    static constexpr size_t kMaxLengthText = 1024;
    // Largest read of the header search.
    static constexpr size_t kReadAheadBytes = 256;

    // True when the reader should give up (stop requested, stream considered lost).
    using CancelCheck = std::function<bool()>;

    CPartReader(IByteSource& source, CancelCheck cancelled);

    struct Header {
        uint32_t length = 0;  // payload bytes announced; 0: no part (nothing found, or damage)
        bool ended = false;   // the source ended or the search was cancelled: stop reading
    };

    // Finds the next "Length: " header and reads its length.
    Header ReadHeader();
    // Reads exactly `length` bytes into `payload` (resized to `length`; its capacity is reused).
    // False when the source ended or the read was cancelled first; `payload` is then empty.
    bool ReadPayload(uint32_t length, std::vector<uint8_t>& payload);

    // Value of a length text: leading blanks skipped, an optional sign, the digits up to the first
    // other character; 0 without digits. Saturates far above kMaxPartLength.
    static int64_t ParseLength(const std::string& text);

    // Bytes read from the source ahead of need and not yet handed out.
    size_t Buffered() const { return end_ - begin_; }

private:
    // Reads the next block of the stream into the buffer, after what is still unread there.
    // False when the source ended, or when `checkCancel` and the cancel check fired.
    bool Fill(bool checkCancel);
    Header ReadLength();

    IByteSource& source_;
    CancelCheck cancelled_;
    std::vector<uint8_t> buffer_;  // kReadAheadBytes plus the kept tail of a tag
    size_t begin_ = 0;             // first unread byte of buffer_
    size_t end_ = 0;               // end of the bytes read into buffer_
    std::string text_;             // the length text being read
};

}  // namespace talvane
