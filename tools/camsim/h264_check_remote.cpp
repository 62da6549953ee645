// The H.264 check done by the control server (see h264_check.h), for builds without libavcodec.
#include <cstdio>
#include <string>

#include "camsim_json.h"
#include "control_client.h"
#include "h264_check.h"

namespace zarncam {

H264CheckResult CheckH264Stream(const std::vector<uint8_t>& stream, int width, int height) {
    H264CheckResult result;
    result.errors = -1;
    if (stream.size() > kMaxH264CheckBytes) {
        std::fprintf(stderr, "zarncam remote H.264 check: %zu bytes, more than the %zu it takes\n",
                     stream.size(), kMaxH264CheckBytes);
        return result;
    }
    ControlClient client;
    std::string error;
    if (!client.ConnectFromEnvironment(std::chrono::seconds(5), &error)) {
        std::fprintf(stderr, "zarncam remote H.264 check: %s\n", error.c_str());
        return result;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(stream.data()), stream.size());
    const nlohmann::json request{
        {"op", "check_h264"}, {"data", Base64Encode(bytes)}, {"width", width}, {"height", height}};
    const auto answer = client.Call(request, std::chrono::seconds(120), &error);
    try {
        if (!answer) throw std::runtime_error(error);
        result.pictures = answer->at("pictures").get<int>();
        result.errors = answer->at("errors").get<int>();
        result.sizeMatches = answer->at("sizeMatches").get<bool>();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarncam remote H.264 check: %s\n", e.what());
        result = H264CheckResult{};
        result.errors = -1;
    }
    return result;
}

}  // namespace zarncam
