// Checks that a raw H.264 byte stream (Annex B) decodes cleanly, for tests that compare what a
// host received with what the camera sent.
//
// Two implementations behind one declaration: h264_check_local.cpp decodes in-process with
// libavcodec (library zarncam_h264_check); h264_check_remote.cpp (in zarncam_remote) sends the
// bytes to the control server named by ZARNCAM_CONTROL, which decodes them the same way, for
// builds that cannot link libavcodec. Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarncam {

struct H264CheckResult {
    int pictures = 0;         // pictures the decoder put out
    int errors = 0;           // decoder errors and damaged pictures; -1: no check was possible
    bool sizeMatches = true;  // every picture had the expected width and height
};

// Largest stream the remote check carries.
inline constexpr std::size_t kMaxH264CheckBytes = 64u << 20;

// Decodes the stream to its end (flushing the decoder) and counts pictures and errors.
H264CheckResult CheckH264Stream(const std::vector<uint8_t>& stream, int width, int height);

}  // namespace zarncam
