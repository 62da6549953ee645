// Fuzz target: the part reader ("Length: " framing) reading an arbitrary stream response through
// its byte-source seam, as the channel's read loop does.
//
// Input: a pattern byte, then the response bytes. The low four bits of the pattern choose how the
// source hands the bytes out (0: every read gets all it asks for; otherwise reads of a varying size
// up to 23 times that value, as TCP segments arrive); the high four bits let the cancel check fire
// after that many times 16 polls (0: never).
//
// Checked: no announced length above the limit, no length together with an ended source, every
// payload read is exactly the announced number of bytes and exactly the bytes that followed its
// header (the reader may hold a few bytes read ahead), and the reader ends.
#include <cstring>

#include "channel/part_reader.h"
#include "fuzz_support.h"

namespace {

using talvane::CPartReader;

class FuzzByteSource final : public talvane::IByteSource {
public:
    FuzzByteSource(const uint8_t* data, size_t size, uint8_t pattern)
        : data_(data), size_(size), step_(pattern & 0x0F), random_(pattern | 1u) {}

    size_t Read(uint8_t* into, size_t n) override {
        if (position_ >= size_ || n == 0) return 0;
        size_t give = std::min(n, size_ - position_);
        if (step_ != 0) {
            random_ = random_ * 1103515245u + 12345u;
            give = std::min<size_t>(give, 1 + (random_ >> 16) % (23u * step_));
        }
        std::memcpy(into, data_ + position_, give);
        position_ += give;
        return give;
    }

    size_t Position() const { return position_; }
    const uint8_t* Data() const { return data_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
    uint32_t step_;
    uint32_t random_;
};

// The documented reading of a length text, written out independently.
int64_t ReferenceLength(const std::string& text) {
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return 0;
    int64_t sign = 1;
    if (text[i] == '+' || text[i] == '-') sign = text[i++] == '-' ? -1 : 1;
    int64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (value < (int64_t{1} << 40)) value = value * 10 + (text[i] - '0');
        ++i;
    }
    return sign * std::min(value, int64_t{1} << 40);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zarnfuzz::InputReader input(data, size);
    const uint8_t pattern = input.Byte();
    FuzzByteSource source(input.Rest(), input.RestSize(), pattern);
    const uint32_t cancelAfter = (pattern >> 4) * 16u;
    uint32_t polls = 0;
    CPartReader reader(source, [&] { return cancelAfter != 0 && ++polls > cancelAfter; });

    std::vector<uint8_t> payload;
    // Every round consumes at least one byte, so this bound is never reached by a sound reader.
    for (size_t round = 0;; ++round) {
        ZARN_FUZZ_CHECK(round <= input.RestSize() + 1);
        const CPartReader::Header header = reader.ReadHeader();
        ZARN_FUZZ_CHECK(header.length <= CPartReader::kMaxPartLength);
        if (header.length > 0) {
            ZARN_FUZZ_CHECK(!header.ended);
            if (!reader.ReadPayload(header.length, payload)) break;
            ZARN_FUZZ_CHECK(payload.size() == header.length);
            // The payload ends where the bytes the reader read ahead and still holds begin.
            ZARN_FUZZ_CHECK(source.Position() >= reader.Buffered());
            const size_t end = source.Position() - reader.Buffered();
            ZARN_FUZZ_CHECK(end >= header.length);
            ZARN_FUZZ_CHECK(std::memcmp(payload.data(), source.Data() + end - header.length,
                                        header.length) == 0);
        }
        if (header.ended) break;
    }

    const std::string text(reinterpret_cast<const char*>(input.Rest()),
                           std::min<size_t>(input.RestSize(), 64));
    ZARN_FUZZ_CHECK(CPartReader::ParseLength(text) == ReferenceLength(text));
    return 0;
}
