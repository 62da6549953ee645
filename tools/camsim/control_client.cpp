#include "control_client.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "camsim_json.h"

namespace zarncam {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollSliceMs = 50;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kPollSliceMs));
}

}  // namespace

ControlClient::~ControlClient() {
    Close();
}

bool ControlClient::Connect(const std::string& address, std::chrono::milliseconds timeout,
                            std::string* error) {
    const std::size_t colon = address.rfind(':');
    const std::string host = colon == std::string::npos ? std::string() : address.substr(0, colon);
    const std::string portText =
        colon == std::string::npos ? std::string() : address.substr(colon + 1);
    char* end = nullptr;
    const unsigned long port = std::strtoul(portText.c_str(), &end, 10);
    if (host.empty() || portText.empty() || *end != '\0' || port == 0 || port > 65535) {
        *error = "\"" + address + "\" is not HOST:PORT";
        return false;
    }
    std::lock_guard lock(mutex_);
    CloseLocked();
    socket_ = net::ConnectTcp(host, static_cast<uint16_t>(port), timeout);
    if (socket_ == net::kNoSocket) {
        *error = "cannot connect to " + address;
        return false;
    }
    return true;
}

bool ControlClient::ConnectFromEnvironment(std::chrono::milliseconds timeout, std::string* error) {
    const char* value = std::getenv(kControlVariable);
    if (value == nullptr || *value == '\0') {
        *error = std::string(kControlVariable) +
                 " is not set; it must name a running camera control server as 127.0.0.1:PORT "
                 "(start one with `zarncam control --port PORT`)";
        return false;
    }
    std::string reason;
    if (!Connect(value, timeout, &reason)) {
        *error = std::string(kControlVariable) + "=" + value + ": " + reason +
                 " (is `zarncam control` running there?)";
        return false;
    }
    return true;
}

std::optional<nlohmann::json> ControlClient::Call(const nlohmann::json& request,
                                                  std::chrono::milliseconds timeout,
                                                  std::string* error) {
    std::lock_guard lock(mutex_);
    if (socket_ == net::kNoSocket) {
        *error = "not connected to the control server";
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    nlohmann::json sent = request;
    sent["seq"] = ++sequence_;
    if (!SendLine(ToLine(sent) + "\n", deadline)) {
        *error = "sending to the control server failed";
        CloseLocked();
        return std::nullopt;
    }
    const auto line = ReadLine(deadline, error);
    if (!line) {
        CloseLocked();
        return std::nullopt;
    }
    nlohmann::json answer = nlohmann::json::parse(*line, nullptr, false);
    if (!answer.is_object() || answer.value("seq", uint64_t{0}) != sequence_) {
        *error = "the control server's answer is malformed";
        CloseLocked();
        return std::nullopt;
    }
    if (!answer.value("ok", false)) {
        *error = answer.value("error", std::string("the control server reported a failure"));
        return std::nullopt;
    }
    return answer;
}

bool ControlClient::Connected() const {
    std::lock_guard lock(mutex_);
    return socket_ != net::kNoSocket;
}

void ControlClient::Close() {
    std::lock_guard lock(mutex_);
    CloseLocked();
}

void ControlClient::CloseLocked() {
    net::Close(socket_);
    socket_ = net::kNoSocket;
    buffered_.clear();
}

bool ControlClient::SendLine(const std::string& line, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < line.size()) {
        const long n = net::Send(socket_, line.data() + sent, line.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && !net::WouldBlock()) return false;
        if (Clock::now() >= deadline) return false;
        net::WaitFor(socket_, POLLOUT, MillisecondsLeft(deadline));
    }
    return true;
}

std::optional<std::string> ControlClient::ReadLine(Clock::time_point deadline, std::string* error) {
    std::size_t scanned = 0;
    char chunk[64 * 1024];
    while (true) {
        const std::size_t eol = buffered_.find('\n', scanned);
        if (eol != std::string::npos) {
            std::string line = buffered_.substr(0, eol);
            buffered_.erase(0, eol + 1);
            return line;
        }
        scanned = buffered_.size();
        if (buffered_.size() > kMaxAnswerBytes) {
            *error = "the control server's answer is too long";
            return std::nullopt;
        }
        if (Clock::now() >= deadline) {
            *error = "no answer from the control server in time";
            return std::nullopt;
        }
        if (net::WaitFor(socket_, POLLIN, MillisecondsLeft(deadline)) == 0) continue;
        const long n = net::Recv(socket_, chunk, sizeof(chunk));
        if (n > 0) {
            buffered_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || !net::WouldBlock()) {
            *error = "the control server closed the connection";
            return std::nullopt;
        }
    }
}

}  // namespace zarncam
