// The client end of the simulator's control link: one TCP connection to a control server
// (`zarncam control`), one JSON object per line each way, one request answered before the next
// goes out.
//
// Threads: every member function may be called from any thread; calls are serialized on one
// connection. Every wait (connect, send, answer) is bounded by the time-out the caller gives.
// After a failed or timed-out call the connection is closed, because a late answer would
// otherwise be taken for the answer of the next request.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "socket_compat.h"

namespace zarncam {

// Environment variable naming the control server, "127.0.0.1:PORT".
inline constexpr const char* kControlVariable = "ZARNCAM_CONTROL";

class ControlClient {
public:
    // Longest answer line read; the longest answers are request lists.
    static constexpr std::size_t kMaxAnswerBytes = 256u << 20;

    ControlClient() = default;
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Connects to "host:port" (IPv4 dotted host). False with *error set on a malformed address,
    // a refused connection or time-out.
    bool Connect(const std::string& address, std::chrono::milliseconds timeout, std::string* error);
    // Connects to the server named by ZARNCAM_CONTROL; the error names the variable.
    bool ConnectFromEnvironment(std::chrono::milliseconds timeout, std::string* error);

    // Sends the request and returns its answer when the server reports success ("ok": true).
    // nullopt with *error set on a transport failure, time-out or an error answer.
    std::optional<nlohmann::json> Call(const nlohmann::json& request,
                                       std::chrono::milliseconds timeout, std::string* error);

    bool Connected() const;
    void Close();

private:
    bool SendLine(const std::string& line, std::chrono::steady_clock::time_point deadline);
    std::optional<std::string> ReadLine(std::chrono::steady_clock::time_point deadline,
                                        std::string* error);
    void CloseLocked();

    mutable std::mutex mutex_;
    net::Socket socket_ = net::kNoSocket;
    std::string buffered_;  // bytes after the last answer line
    uint64_t sequence_ = 0;
};

}  // namespace zarncam
