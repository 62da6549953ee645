#include "stream_config.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

#include "http_request_parser.h"

namespace zarncam {
namespace {

struct TableEntry {
    int code;
    Size size;
};

constexpr std::array<TableEntry, 4> kSdTable{{
    {8, {176, 144}},
    {4, {352, 288}},
    {64, {704, 288}},
    {128, {704, 576}},
}};

constexpr std::array<TableEntry, 5> kHdTable{{
    {8, {160, 112}},
    {4, {320, 240}},
    {128, {640, 480}},
    {100, {1280, 720}},
    {200, {1600, 1200}},
}};

// Strict decimal parse of a whole value; values beyond the int range saturate so that clamping
// still gives a sane result.
std::optional<long long> ParseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    long long value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (*begin == '+') ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ptr != end) return std::nullopt;
    if (ec == std::errc::result_out_of_range) return text.front() == '-' ? -1 : 1LL << 40;
    if (ec != std::errc()) return std::nullopt;
    return value;
}

void ApplyNumber(const std::vector<std::pair<std::string, std::string>>& query, const char* name,
                 int low, int high, int& field) {
    const auto text = QueryValue(query, name);
    if (!text) return;
    const auto value = ParseNumber(*text);
    if (!value) return;
    field = static_cast<int>(std::clamp<long long>(*value, low, high));
}

}  // namespace

std::optional<Size> ResolutionForCode(int code, bool hd) {
    if (hd) {
        for (const auto& entry : kHdTable) {
            if (entry.code == code) return entry.size;
        }
    } else {
        for (const auto& entry : kSdTable) {
            if (entry.code == code) return entry.size;
        }
    }
    return std::nullopt;
}

StreamConfig DefaultStreamConfig(bool hd) {
    StreamConfig config;
    if (hd) {
        config.width = 640;
        config.height = 480;
    }
    config.resolutionCode = 128;
    return config;
}

StreamConfig ApplyAvConfig(const StreamConfig& current,
                           const std::vector<std::pair<std::string, std::string>>& query, bool hd) {
    StreamConfig next = current;
    ApplyNumber(query, "FrameRate", 1, 60, next.frameRate);
    ApplyNumber(query, "IFrameInterval", 1, 1000, next.iFrameInterval);
    ApplyNumber(query, "VideoQuality", 0, 2, next.videoQuality);
    ApplyNumber(query, "BitRate", 16, 40000, next.bitRateKbps);
    ApplyNumber(query, "RateControlMode", 0, 255, next.rateControlMode);
    if (const auto text = QueryValue(query, "VideoResolution")) {
        const auto value = ParseNumber(*text);
        const int code = value ? static_cast<int>(std::clamp<long long>(*value, -1, 1 << 20)) : -1;
        const auto size = ResolutionForCode(code, hd);
        const StreamConfig fallback = DefaultStreamConfig(hd);
        next.resolutionCode = code;
        next.width = size ? size->width : fallback.width;
        next.height = size ? size->height : fallback.height;
    }
    return next;
}

std::string DescribeStreamConfig(const StreamConfig& config) {
    std::string out;
    auto line = [&out](const char* key, int value) {
        out += key;
        out += '=';
        out += std::to_string(value);
        out += "\r\n";
    };
    line("FrameRate", config.frameRate);
    line("IFrameInterval", config.iFrameInterval);
    line("VideoQuality", config.videoQuality);
    line("BitRate", config.bitRateKbps);
    line("RateControlMode", config.rateControlMode);
    line("VideoResolution", config.resolutionCode);
    line("Width", config.width);
    line("Height", config.height);
    return out;
}

}  // namespace zarncam
