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

// Position of the first "Length: " in [begin, end), or the first position from which a tag could
// still begin with bytes not yet read (at most kLengthTagSize - 1 before the end).
const uint8_t* FindTag(const uint8_t* begin, const uint8_t* end, bool* found) {
    const uint8_t* p = begin;
    while (end - p >= static_cast<std::ptrdiff_t>(kLengthTagSize)) {
        const void* first = std::memchr(p, kLengthTag[0], static_cast<size_t>(end - p));
        if (first == nullptr) {
            *found = false;
            return end;
        }
        p = static_cast<const uint8_t*>(first);
        if (end - p < static_cast<std::ptrdiff_t>(kLengthTagSize)) break;
        if (std::memcmp(p, kLengthTag, kLengthTagSize) == 0) {
            *found = true;
            return p;
        }
        ++p;
    }
    // Fewer than a tag's bytes are left: keep them from their first possible tag start on.
    *found = false;
    const void* first =
        p < end ? std::memchr(p, kLengthTag[0], static_cast<size_t>(end - p)) : nullptr;
    return first != nullptr ? static_cast<const uint8_t*>(first) : end;
}
}  // namespace

CPartReader::CPartReader(IByteSource& source, CancelCheck cancelled)
    : source_(source),
      cancelled_(std::move(cancelled)),
      buffer_(kReadAheadBytes + kLengthTagSize) {}

bool CPartReader::Fill(bool checkCancel) {
    if (checkCancel && cancelled_ && cancelled_()) return false;
    if (begin_ > 0) {
        // Only a partial tag is ever kept: a few bytes to move.
        std::memmove(buffer_.data(), buffer_.data() + begin_, Buffered());
        end_ -= begin_;
        begin_ = 0;
    }
    const size_t room = std::min(kReadAheadBytes, buffer_.size() - end_);
    const size_t got = source_.Read(buffer_.data() + end_, room);
    end_ += std::min(got, room);
    return got > 0;
}

CPartReader::Header CPartReader::ReadHeader() {
    bool checkCancel = false;  // the first read of a search goes without it
    for (;;) {
        bool found = false;
        const uint8_t* data = buffer_.data();
        const uint8_t* at = FindTag(data + begin_, data + end_, &found);
        begin_ = static_cast<size_t>(at - data);
        if (found) {
            begin_ += kLengthTagSize;
            return ReadLength();
        }
        if (!Fill(checkCancel)) return {0, true};
        checkCancel = true;
    }
}

CPartReader::Header CPartReader::ReadLength() {
    text_.clear();
    for (;;) {
        while (begin_ < end_) {
            text_.push_back(static_cast<char>(buffer_[begin_++]));
            if (text_.size() >= kHeaderEndSize &&
                text_.compare(text_.size() - kHeaderEndSize, kHeaderEndSize, kHeaderEnd) == 0) {
                text_.resize(text_.size() - kHeaderEndSize);
                const int64_t value = ParseLength(text_);
                if (value <= 0 || value > kMaxPartLength) return {0, false};
                return {static_cast<uint32_t>(value), false};
            }
            if (text_.size() >= kMaxLengthText) return {0, false};
        }
        if (!Fill(true)) return {0, true};
    }
}

bool CPartReader::ReadPayload(uint32_t length, std::vector<uint8_t>& payload) {
    if (length == 0 || length > kMaxPartLength) {
        payload.clear();
        return false;
    }
    payload.resize(length);
    size_t have = std::min<size_t>(length, Buffered());
    std::memcpy(payload.data(), buffer_.data() + begin_, have);
    begin_ += have;
    bool first = true;
    while (have < length) {
        if (!first && cancelled_ && cancelled_()) {
            payload.clear();
            return false;
        }
        first = false;
        const size_t got = source_.Read(payload.data() + have, length - have);
        if (got == 0) {
            payload.clear();
            return false;
        }
        have += std::min(got, length - have);
    }
    return true;
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
