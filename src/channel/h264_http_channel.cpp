#include "channel/h264_http_channel.h"

#include <algorithm>
#include <vector>

#include "channel/resolution_tables.h"
#include "http/hutils.h"

namespace talvane {

CH264HttpChannel::CH264HttpChannel(IDriver* driver, uint32_t index, IChannelSink* sink)
    : CBaseHttpChannel(index, driver, sink, kSourceName) {}

CH264HttpChannel::~CH264HttpChannel() {
    // The worker calls Connect, which belongs to this class: it must end first.
    EndWorker();
}

uint32_t CH264HttpChannel::VideoQualityFor(uint32_t quality) {
    // Unsigned on purpose: a quality above 100 wraps to a large value and lands on 2.
    return std::min((100u - quality) / 33u, 2u);
}

uint32_t CH264HttpChannel::BitRateFor(uint32_t width, uint32_t height, uint32_t quality) {
    uint32_t base = 6144;
    if (width <= 176) {
        base = 512;
    } else if (width <= 352) {
        base = 2048;
    } else if (width <= 640 || height <= 480) {
        base = 4096;
    } else if (width > 1280) {
        base = 8192;
    }
    return std::max(128u, quality * base / 100u);
}

std::string CH264HttpChannel::BuildConfigureRequest(const StreamParams& params, int32_t hdSupport) {
    const uint32_t period =
        params.framePeriodMs != 0 ? params.framePeriodMs : kDefaultFramePeriodMs;
    const uint32_t frameRate = 1000u / period;
    const uint32_t resolution = hdSupport == IDriver::kNoParameter
                                    ? kDefaultResolutionCode
                                    : ResolutionCode(hdSupport != 0, params.width, params.height);
    return HUtils::FormatString(
        "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=%u&IFrameInterval=%u&VideoQuality=%u"
        "&BitRate=%u&RateControlMode=2&VideoResolution=%u",
        frameRate, frameRate, VideoQualityFor(params.quality),
        BitRateFor(params.width, params.height, params.quality), resolution);
}

bool CH264HttpChannel::Configure() {
    IDriver* driver = Driver();
    int32_t hd = IDriver::kNoParameter;
    {
        CHostGate::Call call(&HostGate());
        if (!call) return false;
        if (driver != nullptr) hd = driver->GetParameterInt(kHdSupportParameter);
    }
    // As QueryCgi, but the failure reaches the driver's log only while the host gate is open: the
    // request may outlast the bound of a stop.
    std::vector<uint8_t> body;
    const CResultDef result =
        HUtils::RequestGetRD(body, Sender(), BuildConfigureRequest(Params(), hd), true);
    if (result.code != 0 && !result.message.empty() && driver != nullptr) {
        CHostGate::Call call(&HostGate());
        if (call && HUtils::ShouldLog(*driver)) {
            driver->Log(result.level, "%s", result.message.c_str());
        }
    }
    return result.code == 0;
}

bool CH264HttpChannel::Connect() {
    const StreamParams& params = Params();
    if (CHttpMediaParser* parser = Parser()) {
        parser->SetStreamParams(params.framePeriodMs, static_cast<int32_t>(params.quality),
                                params.width, params.height);
    }
    if (!Configure()) return false;
    if (StopEvent().Wait(configurePauseMs_.load())) return false;
    if (!HUtils::SendGet(Sender(), kStreamObject)) return false;

    // A stream answered with an error status carries no video: count it as a failed attempt
    // rather than reading the error page as a stream.
    const uint32_t status = Sender().GetStatusCode();
    if (status / 100 != 2) {
        IDriver* driver = Driver();
        CHostGate::Call call(&HostGate());
        if (call && driver != nullptr && HUtils::ShouldLog(*driver)) {
            driver->Log(kLogFailure, "%s: camera %s:%u answered the stream request with status %u",
                        "talvane::CH264HttpChannel::Connect", Device().address.c_str(),
                        static_cast<unsigned>(Device().port), status);
        }
        Sender().CloseRequest();
        return false;
    }
    return true;
}

}  // namespace talvane
