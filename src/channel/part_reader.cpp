#include "channel/part_reader.h"

#include <algorithm>
#include <cstring>

namespace talvane {

namespace {
constexpr char kLengthTag[] = "Length: ";
constexpr size_t kLengthTagSize = sizeof(kLengthTag) - 1;
constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr size_t kHeaderEndSize = sizeof(kHeaderEnd) - 1;
constexpr int64_t kLengthCeiling = int64_t{1} << 40;

bool IsLengthTag(const std::vector<uint8_t>& window) {
    return window.size() == kLengthTagSize &&
           std::memcmp(window.data(), kLengthTag, kLengthTagSize) == 0;
}
}  // namespace

CPartReader::CPartReader(IByteSource& source, CancelCheck cancelled)
    : source_(source), cancelled_(std::move(cancelled)) {}

bool CPartReader::ReadExact(size_t n, std::vector<uint8_t>& out) {
    // The first read goes straight into `out`: with a source that delivers whole reads (the HTTP
    // client does) a payload is never copied.
    if (source_.ReadChunk(out, n) == 0) {
        out.clear();
        return false;
    }
    if (out.size() > n) out.resize(n);
    while (out.size() < n) {
        if (cancelled_ && cancelled_()) return false;
        const size_t got = source_.ReadChunk(chunk_, n - out.size());
        if (got == 0) return false;
        out.insert(out.end(), chunk_.begin(),
                   chunk_.begin() + std::min({got, chunk_.size(), n - out.size()}));
    }
    return true;
}

CPartReader::Header CPartReader::ReadHeader() {
    std::vector<uint8_t> window;
    if (!ReadExact(kLengthTagSize, window)) return {0, true};
    std::vector<uint8_t> next;
    while (!IsLengthTag(window)) {
        if (cancelled_ && cancelled_()) return {0, true};
        if (!ReadExact(1, next)) return {0, true};
        window.erase(window.begin());
        window.push_back(next[0]);
    }
    return ReadLength();
}

CPartReader::Header CPartReader::ReadLength() {
    std::string text;
    std::vector<uint8_t> next;
    for (;;) {
        if (!ReadExact(1, next)) return {0, true};
        text.push_back(static_cast<char>(next[0]));
        if (text.size() >= kHeaderEndSize &&
            text.compare(text.size() - kHeaderEndSize, kHeaderEndSize, kHeaderEnd) == 0) {
            const int64_t value = ParseLength(text.substr(0, text.size() - kHeaderEndSize));
            if (value <= 0 || value > kMaxPartLength) return {0, false};
            return {static_cast<uint32_t>(value), false};
        }
        if (text.size() >= kMaxLengthText) return {0, false};
        if (cancelled_ && cancelled_()) return {0, true};
    }
}

bool CPartReader::ReadPayload(uint32_t length, std::vector<uint8_t>& payload) {
    if (length == 0 || length > kMaxPartLength) {
        payload.clear();
        return false;
    }
    return ReadExact(length, payload);
}

int64_t CPartReader::ParseLength(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(value * 10 + (text[i] - '0'), kLengthCeiling);
    }
    return negative ? -value : value;
}

}  // namespace talvane
