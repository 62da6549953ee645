// zarncam::Camera forwarded to a camera in another process: every call becomes a request to the
// control server named by ZARNCAM_CONTROL (`zarncam control`), which runs the real camera on
// 127.0.0.1 of the same machine. Linked instead of camsim.cpp by test programs that cannot run
// the camera themselves (the Windows builds under Wine); the tests stay unchanged.
//
// Each Camera has its own connection, opened by the constructor; the server destroys the camera
// when the connection closes, so a test that dies leaves nothing running. The waits poll the
// server and evaluate the predicate here. Records' receive times are placed on this process's
// steady clock, so their order and spacing hold and they compare with local time points.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "camsim.h"
#include "camsim_json.h"
#include "control_client.h"

namespace zarncam {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr auto kConnectTimeout = std::chrono::seconds(5);
constexpr auto kCallTimeout = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(15);

}  // namespace

class Camera::Impl {
public:
    explicit Impl(Config config) : initialConfig_(std::move(config)) { Create(); }
    ~Impl() {
        if (id_.load() != 0) Call({{"op", "destroy"}});
        client_.Close();
    }

    bool Start() {
        if (running_.load()) return false;
        if (id_.load() == 0 && !Create()) {
            std::fprintf(stderr, "zarncam remote camera: %s\n", CreateError().c_str());
            return false;
        }
        const auto answer = Call({{"op", "start"}});
        try {
            if (!answer || !answer->at("started").get<bool>()) return false;
            port_ = answer->at("port").get<uint16_t>();
        } catch (const json::exception& e) {
            ReportOnce(std::string("malformed answer: ") + e.what());
            return false;
        }
        running_ = true;
        return true;
    }
    void Stop() {
        if (!running_.load()) return;
        Call({{"op", "stop"}});
        port_ = 0;
        running_ = false;
    }
    bool Running() const { return running_.load(); }
    uint16_t Port() const { return port_.load(); }

    // Sends {"op": ..., "camera": id, ...}; nullopt (reported once) when it fails.
    std::optional<json> Call(json request) const {
        const int64_t id = id_.load();
        if (id == 0) {
            ReportOnce("no camera: " + CreateError());
            return std::nullopt;
        }
        request["camera"] = id;
        std::string error;
        auto answer = client_.Call(request, kCallTimeout, &error);
        if (!answer) ReportOnce(request["op"].get<std::string>() + ": " + error);
        return answer;
    }

    // Reads a field of an answer, or gives fallback when the call failed or the field is bad.
    template <typename T>
    T Get(json request, const char* field, T fallback) const {
        const auto answer = Call(std::move(request));
        if (!answer) return fallback;
        try {
            return answer->at(field).get<T>();
        } catch (const json::exception& e) {
            ReportOnce(std::string("malformed answer: ") + e.what());
            return fallback;
        }
    }

    std::vector<RequestRecord> Requests() const {
        const auto answer = Call({{"op", "requests"}});
        std::vector<RequestRecord> records;
        if (!answer) return records;
        try {
            for (const auto& r : answer->at("records"))
                records.push_back(RecordFromJson(r, origin_));
        } catch (const std::exception& e) {
            ReportOnce(std::string("malformed request list: ") + e.what());
        }
        return records;
    }

    std::vector<Outage> Outages() const {
        const auto answer = Call({{"op", "outages"}});
        std::vector<Outage> outages;
        if (!answer) return outages;
        try {
            for (const auto& o : answer->at("outages"))
                outages.push_back(OutageFromJson(o, origin_));
        } catch (const std::exception& e) {
            ReportOnce(std::string("malformed outage list: ") + e.what());
        }
        return outages;
    }

    std::vector<SentPicture> SentPictures() const {
        const auto answer = Call({{"op", "sent_pictures"}});
        std::vector<SentPicture> pictures;
        if (!answer) return pictures;
        try {
            for (const auto& p : answer->at("pictures"))
                pictures.push_back(PictureFromJson(p, origin_));
        } catch (const std::exception& e) {
            ReportOnce(std::string("malformed picture list: ") + e.what());
        }
        return pictures;
    }

    Config InitialConfig() const { return initialConfig_; }
    std::mutex& FaultsMutex() { return faultsMutex_; }

private:
    // Connects, learns the server's clock and creates the camera. Runs on the owner's thread
    // (constructor, Start) before id_ is published.
    bool Create() {
        std::string error;
        if (!client_.ConnectFromEnvironment(kConnectTimeout, &error)) return SetCreateError(error);
        const auto before = Clock::now();
        const auto answer =
            client_.Call(json{{"op", "create"}, {"config", initialConfig_}}, kCallTimeout, &error);
        const auto after = Clock::now();
        try {
            if (!answer) throw std::runtime_error(error);
            // The server's clock read nowMs at about the middle of the round trip.
            const auto serverNow = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(answer->at("nowMs").get<double>()));
            origin_ = before + (after - before) / 2 - serverNow;
            id_ = answer->at("camera").get<int64_t>();
            return true;
        } catch (const std::exception& e) {
            client_.Close();
            return SetCreateError(std::string("creating the camera failed: ") + e.what());
        }
    }

    bool SetCreateError(const std::string& error) {
        std::lock_guard lock(errorMutex_);
        createError_ = error;
        return false;
    }
    std::string CreateError() const {
        std::lock_guard lock(errorMutex_);
        return createError_;
    }

    void ReportOnce(const std::string& what) const {
        if (!reported_.exchange(true)) {
            std::fprintf(stderr, "zarncam remote camera: %s\n", what.c_str());
        }
    }

    const Config initialConfig_;
    mutable ControlClient client_;
    mutable std::mutex errorMutex_;
    std::string createError_;  // why the camera could not be created
    Clock::time_point origin_;
    std::atomic<int64_t> id_{0};  // 0: not created on the server
    std::atomic<bool> running_{false};
    std::atomic<uint16_t> port_{0};
    mutable std::atomic<bool> reported_{false};
    std::mutex faultsMutex_;  // keeps UpdateFaults' read-modify-write whole within this process
};

// ---------------------------------------------------------------------------------------------

Camera::Camera(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}
Camera::~Camera() = default;

bool Camera::Start() {
    return impl_->Start();
}
void Camera::Stop() {
    impl_->Stop();
}
bool Camera::Running() const {
    return impl_->Running();
}
uint16_t Camera::Port() const {
    return impl_->Port();
}
std::string Camera::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port());
}

Config Camera::GetConfig() const {
    return impl_->Get<Config>({{"op", "get_config"}}, "config", impl_->InitialConfig());
}
void Camera::SetConfig(const Config& config) {
    impl_->Call({{"op", "set_config"}, {"config", config}});
}

Faults Camera::GetFaults() const {
    return impl_->Get<Faults>({{"op", "get_faults"}}, "faults", Faults{});
}
void Camera::SetFaults(const Faults& faults) {
    impl_->Call({{"op", "set_faults"}, {"faults", faults}});
}
void Camera::UpdateFaults(const std::function<void(Faults&)>& change) {
    std::lock_guard lock(impl_->FaultsMutex());
    Faults faults = GetFaults();
    change(faults);
    SetFaults(faults);
}
void Camera::DropNextPart() {
    impl_->Call({{"op", "drop_next_part"}});
}
void Camera::InjectHugeLength(uint64_t length) {
    impl_->Call({{"op", "inject_huge_length"}, {"length", length}});
}
void Camera::Reboot(std::chrono::milliseconds downtime) {
    impl_->Call({{"op", "reboot"}, {"downtimeMs", downtime.count()}});
}
std::vector<Outage> Camera::Outages() const {
    return impl_->Outages();
}
void Camera::PauseStreams(std::chrono::milliseconds pause) {
    impl_->Call({{"op", "pause_streams"}, {"pauseMs", pause.count()}});
}
std::vector<SentPicture> Camera::SentPictures() const {
    return impl_->SentPictures();
}

std::vector<RequestRecord> Camera::Requests() const {
    return impl_->Requests();
}
void Camera::ClearRequests() {
    impl_->Call({{"op", "clear_requests"}});
}
bool Camera::WaitFor(const std::function<bool(const std::vector<RequestRecord>&)>& pred,
                     std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (pred(impl_->Requests())) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, deadline - now));
    }
}
bool Camera::WaitForRequestCount(std::string_view pathPrefix, std::size_t n,
                                 std::chrono::milliseconds timeout) const {
    const std::string prefix(pathPrefix);
    return WaitFor(
        [&prefix, n](const std::vector<RequestRecord>& records) {
            const auto count = std::count_if(
                records.begin(), records.end(),
                [&prefix](const RequestRecord& r) { return r.target.rfind(prefix, 0) == 0; });
            return static_cast<std::size_t>(count) >= n;
        },
        timeout);
}

Stats Camera::GetStats() const {
    return impl_->Get<Stats>({{"op", "stats"}}, "stats", Stats{});
}
bool Camera::WaitForStats(const std::function<bool(const Stats&)>& pred,
                          std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (pred(GetStats())) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(kPollInterval, deadline - now));
    }
}

StreamConfig Camera::PendingStreamConfig() const {
    return impl_->Get<StreamConfig>({{"op", "stream_config"}}, "pending",
                                    DefaultStreamConfig(impl_->InitialConfig().hd));
}
std::optional<StreamConfig> Camera::LastStreamConfig() const {
    const json last = impl_->Get<json>({{"op", "stream_config"}}, "last", json(nullptr));
    if (last.is_null()) return std::nullopt;
    try {
        return last.get<StreamConfig>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
std::map<int, std::string> Camera::Presets() const {
    std::map<int, std::string> presets;
    const json list = impl_->Get<json>({{"op", "presets"}}, "presets", json::array());
    try {
        for (const auto& p : list)
            presets[p.at("number").get<int>()] = p.at("name").get<std::string>();
    } catch (const std::exception&) {
        presets.clear();
    }
    return presets;
}

}  // namespace zarncam
