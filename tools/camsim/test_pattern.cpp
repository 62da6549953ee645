#include "test_pattern.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace zarncam {
namespace {

// Y, U, V of the eight classic bars (white, yellow, cyan, green, magenta, red, blue, black).
constexpr std::array<std::array<uint8_t, 3>, 8> kBars{{
    {235, 128, 128},
    {210, 16, 146},
    {170, 166, 16},
    {145, 54, 34},
    {106, 202, 222},
    {81, 90, 240},
    {41, 240, 110},
    {16, 128, 128},
}};

// 3x5 digit glyphs, one row per 3 bits (most significant bit left).
constexpr std::array<std::array<uint8_t, 5>, 10> kDigits{{
    {7, 5, 5, 5, 7},
    {2, 6, 2, 2, 7},
    {7, 1, 7, 4, 7},
    {7, 1, 7, 1, 7},
    {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7},
    {7, 4, 7, 5, 7},
    {7, 1, 2, 2, 2},
    {7, 5, 7, 5, 7},
    {7, 5, 7, 1, 7},
}};

constexpr int kScrollPerFrame = 4;  // luma pixels the bars move per picture

}  // namespace

TestPattern::TestPattern(int width, int height)
    : width_(std::max(width, 2)), height_(std::max(height, 2)) {
    const int barWidth = std::max(width_ / 8, 2) & ~1;
    const int period = barWidth * 8;
    rowY_.resize(static_cast<std::size_t>(period + width_));
    for (std::size_t x = 0; x < rowY_.size(); ++x) {
        rowY_[x] = kBars[(x % static_cast<std::size_t>(period)) / barWidth][0];
    }
    const std::size_t chromaPeriod = static_cast<std::size_t>(period / 2);
    rowU_.resize(chromaPeriod + static_cast<std::size_t>(width_ / 2));
    rowV_.resize(rowU_.size());
    for (std::size_t x = 0; x < rowU_.size(); ++x) {
        const auto& bar = kBars[(x % chromaPeriod) / static_cast<std::size_t>(barWidth / 2)];
        rowU_[x] = bar[1];
        rowV_[x] = bar[2];
    }
}

void TestPattern::Render(uint64_t frame, uint8_t* y, int strideY, uint8_t* u, int strideU,
                         uint8_t* v, int strideV) {
    const std::size_t period = rowY_.size() - static_cast<std::size_t>(width_);
    const std::size_t shift = (frame * kScrollPerFrame) % period;
    for (int row = 0; row < height_; ++row) {
        std::memcpy(y + static_cast<std::ptrdiff_t>(row) * strideY, rowY_.data() + shift,
                    static_cast<std::size_t>(width_));
    }
    const std::size_t chromaShift = shift / 2;
    for (int row = 0; row < height_ / 2; ++row) {
        std::memcpy(u + static_cast<std::ptrdiff_t>(row) * strideU, rowU_.data() + chromaShift,
                    static_cast<std::size_t>(width_ / 2));
        std::memcpy(v + static_cast<std::ptrdiff_t>(row) * strideV, rowV_.data() + chromaShift,
                    static_cast<std::size_t>(width_ / 2));
    }

    // A box bouncing diagonally.
    const int box = std::max(std::min(width_, height_) / 8, 4) & ~1;
    const int spanX = std::max(width_ - box, 1);
    const int spanY = std::max(height_ - box, 1);
    auto bounce = [](uint64_t t, int span) {
        const uint64_t p = t % static_cast<uint64_t>(2 * span);
        return static_cast<int>(p < static_cast<uint64_t>(span) ? p : 2 * span - p);
    };
    const int bx = bounce(frame * 6, spanX) & ~1;
    const int by = bounce(frame * 4, spanY) & ~1;
    for (int row = by; row < std::min(by + box, height_); ++row) {
        std::memset(y + static_cast<std::ptrdiff_t>(row) * strideY + bx, 250,
                    static_cast<std::size_t>(std::min(box, width_ - bx)));
    }
    for (int row = by / 2; row < std::min((by + box) / 2, height_ / 2); ++row) {
        std::memset(u + static_cast<std::ptrdiff_t>(row) * strideU + bx / 2, 128,
                    static_cast<std::size_t>(std::min(box / 2, width_ / 2 - bx / 2)));
        std::memset(v + static_cast<std::ptrdiff_t>(row) * strideV + bx / 2, 128,
                    static_cast<std::size_t>(std::min(box / 2, width_ / 2 - bx / 2)));
    }

    DrawNumber(frame, y, strideY);
    DrawNoise(y, strideY);
}

void TestPattern::DrawNoise(uint8_t* y, int strideY) {
    // xorshift64: eight fresh bytes per step, cheap enough for an unoptimised build.
    const int top = height_ - height_ / 8;
    for (int row = top; row < height_; ++row) {
        uint8_t* line = y + static_cast<std::ptrdiff_t>(row) * strideY;
        for (int x = 0; x + 8 <= width_; x += 8) {
            noiseState_ ^= noiseState_ << 13;
            noiseState_ ^= noiseState_ >> 7;
            noiseState_ ^= noiseState_ << 17;
            // Keep the samples in the video range 16..235 (64 + 0..127, roughly centred).
            const uint64_t samples =
                ((noiseState_ >> 1) & 0x7F7F7F7F7F7F7F7FULL) + 0x4040404040404040ULL;
            std::memcpy(line + x, &samples, sizeof(samples));
        }
    }
}

void TestPattern::DrawNumber(uint64_t number, uint8_t* y, int strideY) const {
    const int scale = std::max(height_ / 72, 1);
    const int glyphW = 4 * scale;  // 3 columns and one blank column
    constexpr int kDigitsShown = 6;
    const int boxW = std::min(kDigitsShown * glyphW + 2 * scale, width_);
    const int boxH = std::min(7 * scale, height_);
    for (int row = 0; row < boxH; ++row) {
        std::memset(y + static_cast<std::ptrdiff_t>(row) * strideY, 16,
                    static_cast<std::size_t>(boxW));
    }
    for (int d = kDigitsShown - 1; d >= 0; --d) {
        const auto& glyph = kDigits[number % 10];
        number /= 10;
        const int x0 = scale + d * glyphW;
        for (int gy = 0; gy < 5; ++gy) {
            for (int gx = 0; gx < 3; ++gx) {
                if ((glyph[static_cast<std::size_t>(gy)] & (4 >> gx)) == 0) continue;
                for (int py = 0; py < scale; ++py) {
                    const int row = scale + gy * scale + py;
                    const int col = x0 + gx * scale;
                    if (row >= height_ || col + scale > width_) continue;
                    std::memset(y + static_cast<std::ptrdiff_t>(row) * strideY + col, 235,
                                static_cast<std::size_t>(scale));
                }
            }
        }
    }
}

}  // namespace zarncam
