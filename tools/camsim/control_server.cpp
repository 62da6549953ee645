#include "control_server.h"

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "camsim.h"
#include "camsim_json.h"
#include "h264_check.h"

namespace zarncam {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kPollSliceMs = 50;
constexpr int kProtocolVersion = 1;
constexpr auto kSendTimeout = std::chrono::seconds(10);
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int64_t kMaxRebootMs = 3600 * 1000;
constexpr int64_t kMaxPauseMs = 3600 * 1000;

}  // namespace

// One connection: reads request lines, answers each in turn, owns the cameras it created.
// Runs entirely on the connection's thread.
class ControlServer::Session {
public:
    Session(ControlServer& server, net::Socket socket) : server_(server), socket_(socket) {}
    ~Session() { net::Close(socket_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run() {
        std::string pending;
        std::size_t scanned = 0;
        std::vector<char> chunk(kReadChunk);
        while (!server_.stop_.load()) {
            if (net::WaitFor(socket_, POLLIN, kPollSliceMs) == 0) continue;
            const long n = net::Recv(socket_, chunk.data(), chunk.size());
            if (n == 0 || (n < 0 && !net::WouldBlock())) return;
            if (n < 0) continue;
            pending.append(chunk.data(), static_cast<std::size_t>(n));
            std::size_t eol;
            while ((eol = pending.find('\n', scanned)) != std::string::npos) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                scanned = 0;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty()) continue;
                if (!SendLine(ToLine(Answer(line)) + "\n")) return;
            }
            scanned = pending.size();
            if (pending.size() > server_.limits_.maxLineBytes) {
                SendLine(ToLine(json{{"ok", false},
                                     {"error", "request line longer than " +
                                                   std::to_string(server_.limits_.maxLineBytes) +
                                                   " bytes"}}) +
                         "\n");
                return;
            }
        }
    }

private:
    json Answer(const std::string& line) {
        json request = json::parse(line, nullptr, false);
        json answer;
        try {
            if (!request.is_object()) throw std::invalid_argument("a request is one JSON object");
            answer = Handle(request);
            answer["ok"] = true;
        } catch (const std::exception& e) {
            answer = json{{"ok", false}, {"error", e.what()}};
        }
        if (request.is_object() && request.contains("seq")) answer["seq"] = request["seq"];
        return answer;
    }

    double Now() const { return MillisecondsSince(server_.origin_, Clock::now()); }

    json Handle(const json& request) {
        const std::string op = request.at("op").get<std::string>();
        if (op == "hello") return json{{"version", kProtocolVersion}, {"nowMs", Now()}};
        if (op == "create") {
            if (cameras_.size() >= server_.limits_.maxCamerasPerClient) {
                throw std::runtime_error("too many cameras on this connection");
            }
            const Config config = request.value("config", json::object()).get<Config>();
            const int64_t id = server_.nextCameraId_++;
            cameras_[id] = std::make_unique<Camera>(config);
            return json{{"camera", id}, {"nowMs", Now()}};
        }
        if (op == "check_h264") return CheckH264(request);

        const auto it = cameras_.find(request.at("camera").get<int64_t>());
        if (it == cameras_.end()) throw std::invalid_argument("no such camera");
        Camera& camera = *it->second;
        if (op == "destroy") {
            cameras_.erase(it);
            return json::object();
        }
        if (op == "start") {
            const bool started = camera.Start();
            return json{{"started", started}, {"port", camera.Port()}};
        }
        if (op == "stop") {
            camera.Stop();
            return json::object();
        }
        if (op == "status") return json{{"running", camera.Running()}, {"port", camera.Port()}};
        if (op == "get_config") return json{{"config", camera.GetConfig()}};
        if (op == "set_config") {
            camera.SetConfig(request.at("config").get<Config>());
            return json::object();
        }
        if (op == "get_faults") return json{{"faults", camera.GetFaults()}};
        if (op == "set_faults") {
            camera.SetFaults(request.at("faults").get<Faults>());
            return json::object();
        }
        if (op == "drop_next_part") {
            camera.DropNextPart();
            return json::object();
        }
        if (op == "inject_huge_length") {
            const json& length = request.at("length");
            if (!length.is_number_unsigned()) throw std::invalid_argument("length: not unsigned");
            camera.InjectHugeLength(length.get<uint64_t>());
            return json::object();
        }
        if (op == "reboot") {
            const int64_t ms = request.at("downtimeMs").get<int64_t>();
            if (ms < 0 || ms > kMaxRebootMs)
                throw std::invalid_argument("downtimeMs: out of range");
            camera.Reboot(std::chrono::milliseconds(ms));
            return json::object();
        }
        if (op == "outages") {
            json outages = json::array();
            for (const Outage& o : camera.Outages()) {
                outages.push_back(OutageToJson(o, server_.origin_));
            }
            return json{{"outages", std::move(outages)}};
        }
        if (op == "pause_streams") {
            const int64_t ms = request.at("pauseMs").get<int64_t>();
            if (ms < 0 || ms > kMaxPauseMs) throw std::invalid_argument("pauseMs: out of range");
            camera.PauseStreams(std::chrono::milliseconds(ms));
            return json::object();
        }
        if (op == "sent_pictures") {
            json pictures = json::array();
            for (const SentPicture& p : camera.SentPictures()) {
                pictures.push_back(PictureToJson(p, server_.origin_));
            }
            return json{{"pictures", std::move(pictures)}};
        }
        if (op == "requests") {
            json records = json::array();
            for (const RequestRecord& r : camera.Requests()) {
                records.push_back(RecordToJson(r, server_.origin_));
            }
            return json{{"records", std::move(records)}};
        }
        if (op == "clear_requests") {
            camera.ClearRequests();
            return json::object();
        }
        if (op == "stats") return json{{"stats", camera.GetStats()}};
        if (op == "stream_config") {
            const auto last = camera.LastStreamConfig();
            return json{{"pending", camera.PendingStreamConfig()},
                        {"last", last ? json(*last) : json(nullptr)}};
        }
        if (op == "presets") {
            json presets = json::array();
            for (const auto& [number, name] : camera.Presets()) {
                presets.push_back(json{{"number", number}, {"name", name}});
            }
            return json{{"presets", std::move(presets)}};
        }
        throw std::invalid_argument("unknown operation \"" + op + "\"");
    }

    static json CheckH264(const json& request) {
        const auto& data = request.at("data").get_ref<const std::string&>();
        std::vector<uint8_t> bytes;
        if (!Base64Decode(data, kMaxH264CheckBytes, &bytes)) {
            throw std::invalid_argument("data: not base64 of at most " +
                                        std::to_string(kMaxH264CheckBytes) + " bytes");
        }
        const H264CheckResult result =
            CheckH264Stream(bytes, request.at("width").get<int>(), request.at("height").get<int>());
        return json{{"pictures", result.pictures},
                    {"errors", result.errors},
                    {"sizeMatches", result.sizeMatches}};
    }

    bool SendLine(const std::string& line) {
        const auto deadline = Clock::now() + kSendTimeout;
        std::size_t sent = 0;
        while (sent < line.size()) {
            const long n = net::Send(socket_, line.data() + sent, line.size() - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if ((n < 0 && !net::WouldBlock()) || server_.stop_.load() || Clock::now() >= deadline) {
                return false;
            }
            net::WaitFor(socket_, POLLOUT, kPollSliceMs);
        }
        return true;
    }

    ControlServer& server_;
    const net::Socket socket_;
    std::map<int64_t, std::unique_ptr<Camera>> cameras_;
};

ControlServer::ControlServer() : ControlServer(Limits{}) {}

ControlServer::ControlServer(Limits limits) : limits_(limits), origin_(Clock::now()) {}

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(uint16_t port) {
    if (acceptThread_.joinable()) return false;
    listener_ = net::BindLoopback(port, 16);
    if (listener_ == net::kNoSocket) return false;
    net::SetNonBlocking(listener_);
    port_ = net::BoundPort(listener_);
    stop_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void ControlServer::Stop() {
    stop_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    net::Close(listener_);
    listener_ = net::kNoSocket;
    Reap(true);
    port_ = 0;
}

std::size_t ControlServer::Clients() const {
    std::lock_guard lock(clientsMutex_);
    std::size_t open = 0;
    for (const auto& client : clients_) open += client->finished.load() ? 0 : 1;
    return open;
}

void ControlServer::AcceptLoop() {
    while (!stop_.load()) {
        const short ready = net::WaitFor(listener_, POLLIN, kPollSliceMs);
        Reap(false);
        if (ready == 0 || stop_.load()) continue;
        const net::Socket socket = ::accept(listener_, nullptr, nullptr);
        if (socket == net::kNoSocket) continue;
        if (Clients() >= limits_.maxClients || !net::SetNonBlocking(socket)) {
            net::Close(socket);
            continue;
        }
        auto client = std::make_unique<Client>();
        Client* raw = client.get();
        {
            std::lock_guard lock(clientsMutex_);
            clients_.push_back(std::move(client));
        }
        raw->thread = std::thread([this, raw, socket] {
            {
                Session session(*this, socket);
                session.Run();
            }  // the session's cameras are gone before the client counts as finished
            raw->finished = true;
        });
    }
}

void ControlServer::Reap(bool all) {
    std::list<std::unique_ptr<Client>> done;
    {
        std::lock_guard lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || (*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& client : done) {
        if (client->thread.joinable()) client->thread.join();
    }
}

}  // namespace zarncam
