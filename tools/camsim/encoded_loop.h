// A few seconds of the live encoder's output, encoded once and kept, for cameras that loop them to
// every stream instead of encoding each stream live (Config::loopSeconds): many simulated cameras
// then cost almost no CPU.
//
// A loop holds whole key-frame intervals, so that playing it over and over keeps the stream's
// structure: it starts with an IDR picture (with SPS and PPS in front) and the picture after its
// last one is the IDR picture at its start again.
//
// Threads: Get may be called from any thread; loops are shared by every camera of the process and
// never change once built.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "camsim.h"
#include "h264_live_encoder.h"

namespace zarncam {

class EncodedLoop {
public:
    struct Picture {
        std::vector<std::string> nals;  // NAL units, header byte first, no start code
        bool keyFrame = false;
    };

    // Longest loop kept, in pictures.
    static constexpr std::size_t kMaxPictures = 3000;

    // The loop for this configuration and length, encoded on the first call (other callers wait
    // for it) and shared afterwards. Null when the encoder refuses the configuration.
    static std::shared_ptr<const EncodedLoop> Get(const StreamConfig& config, int seconds,
                                                  const EncoderStyle& style = {});

    // Pictures of `seconds` at the configuration's frame rate, rounded up to whole key-frame
    // intervals (at least one), at most kMaxPictures (then whole intervals below it, or one).
    static std::size_t PictureCount(const StreamConfig& config, int seconds);

    std::size_t Size() const { return pictures_.size(); }
    const Picture& At(std::size_t index) const { return pictures_[index % pictures_.size()]; }
    // The views of picture `index` (modulo the size) as the live encoder hands them out.
    void Nals(std::size_t index, std::vector<NalUnit>& out) const;

private:
    std::vector<Picture> pictures_;
};

}  // namespace zarncam
