// Moving test picture in I420: colour bars that scroll sideways, a bouncing white box, the
// frame number drawn in the top-left corner and a strip of noise at the bottom (so that the
// encoder has to spend the configured bit rate, as on a real scene). Built from row copies so that
// it stays cheap in an unoptimised build. One instance per stream; not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

namespace zarncam {

class TestPattern {
public:
    TestPattern(int width, int height);

    // Draws picture number `frame` into the three planes (strides in bytes).
    void Render(uint64_t frame, uint8_t* y, int strideY, uint8_t* u, int strideU, uint8_t* v,
                int strideV);

private:
    void DrawNumber(uint64_t number, uint8_t* y, int strideY) const;
    void DrawNoise(uint8_t* y, int strideY);

    int width_;
    int height_;
    std::vector<uint8_t> rowY_;  // one period of the bars, twice, so any shift is one copy
    std::vector<uint8_t> rowU_;
    std::vector<uint8_t> rowV_;
    uint64_t noiseState_ = 0x9E3779B97F4A7C15ULL;
};

}  // namespace zarncam
