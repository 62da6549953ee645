#include "encoded_loop.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

namespace zarncam {
namespace {

using Key = std::tuple<int, int, int, int, int, int, bool, bool>;

Key KeyOf(const StreamConfig& c, int seconds, const EncoderStyle& style) {
    return {c.width,       c.height, c.frameRate,      c.iFrameInterval,
            c.bitRateKbps, seconds,  style.interlaced, style.accessUnitDelimiters};
}

}  // namespace

std::size_t EncodedLoop::PictureCount(const StreamConfig& config, int seconds) {
    const std::size_t interval = static_cast<std::size_t>(std::max(config.iFrameInterval, 1));
    const std::size_t wanted = static_cast<std::size_t>(std::max(seconds, 1)) *
                               static_cast<std::size_t>(std::max(config.frameRate, 1));
    std::size_t count = (wanted + interval - 1) / interval * interval;
    if (count > kMaxPictures) count = std::max(kMaxPictures / interval, std::size_t{1}) * interval;
    return count;
}

std::shared_ptr<const EncodedLoop> EncodedLoop::Get(const StreamConfig& config, int seconds,
                                                    const EncoderStyle& style) {
    static std::mutex mutex;
    static std::map<Key, std::shared_ptr<const EncodedLoop>> loops;
    // Encoding under the lock: a second camera asking for the same loop waits instead of encoding
    // it again.
    std::lock_guard lock(mutex);
    const Key key = KeyOf(config, seconds, style);
    if (const auto it = loops.find(key); it != loops.end()) return it->second;

    H264LiveEncoder encoder;
    if (!encoder.Open(config, 0, style)) return nullptr;
    auto loop = std::make_shared<EncodedLoop>();
    const std::size_t count = PictureCount(config, seconds);
    std::vector<NalUnit> nals;
    for (std::size_t i = 0; i < count; ++i) {
        Picture picture;
        if (!encoder.EncodeNext(nals, picture.keyFrame)) return nullptr;
        for (const NalUnit& nal : nals) {
            picture.nals.emplace_back(reinterpret_cast<const char*>(nal.data), nal.size);
        }
        loop->pictures_.push_back(std::move(picture));
    }
    if (loop->pictures_.empty() || !loop->pictures_.front().keyFrame) return nullptr;
    loops.emplace(key, loop);
    return loop;
}

void EncodedLoop::Nals(std::size_t index, std::vector<NalUnit>& out) const {
    out.clear();
    for (const std::string& nal : At(index).nals) {
        const auto* data = reinterpret_cast<const uint8_t*>(nal.data());
        out.push_back(NalUnit{data[0] & 0x1F, data, nal.size()});
    }
}

}  // namespace zarncam
