// The simulator's control server: lets a program that cannot run the camera in-process (a
// Windows test under Wine) create and drive cameras in this process over a TCP connection on
// 127.0.0.1. The remote Camera implementation (camsim_remote.cpp) is its client.
//
// Protocol: one JSON object per line each way, one answer per request, in order. A request has
// "op", an optional "seq" echoed in the answer, "camera" (the id "create" returned) for camera
// operations, and the operation's arguments. An answer has "ok" and, when false, "error".
// The operations mirror zarncam::Camera; see tools/camsim/README.md for the list.
//
// Every camera belongs to the connection that created it and is destroyed when that connection
// closes; a connection cannot see another one's cameras.
//
// Threads: Start() launches one accept thread; every connection gets its own thread, which
// answers its requests one after another. Stop() (also run by the destructor) ends every
// connection, destroys all cameras and joins all threads; it returns within about a second plus
// the time the requests in progress take (a camera's Stop, an H.264 check).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "socket_compat.h"

namespace zarncam {

class ControlServer {
public:
    struct Limits {
        // Longest request line; large enough for an H.264 check of kMaxH264CheckBytes in base64.
        std::size_t maxLineBytes = 96u << 20;
        std::size_t maxClients = 64;  // further connections are closed at once
        std::size_t maxCamerasPerClient = 64;
    };

    ControlServer();
    explicit ControlServer(Limits limits);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on 127.0.0.1:port (0: any free port). False when the port cannot be bound or the
    // server already runs.
    bool Start(uint16_t port);
    void Stop();
    uint16_t Port() const { return port_.load(); }
    // Connections open right now.
    std::size_t Clients() const;

private:
    struct Client {
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    class Session;

    void AcceptLoop();
    void Reap(bool all);

    const Limits limits_;
    const std::chrono::steady_clock::time_point origin_;
    net::Socket listener_ = net::kNoSocket;
    std::atomic<uint16_t> port_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> nextCameraId_{1};
    std::thread acceptThread_;
    mutable std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
};

}  // namespace zarncam
