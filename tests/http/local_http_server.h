// A tiny scripted HTTP server on 127.0.0.1 for the sender tests that need answers the camera
// simulator does not give (trickled bodies, stalls, oversized headers, bodies cut short).
//
// One thread accepts connections one after another and runs the test's script on each; the script
// reads the request head and writes whatever bytes it likes. Stop() (also run by the destructor)
// makes every wait of the script end, closes the connection and joins the thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "socket_compat.h"

namespace httptest {

namespace net = zarncam::net;

class LocalHttpServer {
public:
    class Connection {
    public:
        Connection(net::Socket fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

        // Reads up to the end of the request head; false when the client went away or on stop.
        bool ReadRequest(std::string* head = nullptr) {
            std::string text;
            char buffer[1024];
            while (text.find("\r\n\r\n") == std::string::npos) {
                if (stop_.load() || text.size() > 64 * 1024) return false;
                if (net::WaitFor(fd_, POLLIN, 20) == 0) continue;
                const long n = net::Recv(fd_, buffer, sizeof(buffer));
                if (n <= 0) return false;
                text.append(buffer, static_cast<size_t>(n));
            }
            if (head != nullptr) *head = text;
            return true;
        }
        bool Send(std::string_view bytes) {
            while (!bytes.empty()) {
                if (stop_.load()) return false;
                const long n = net::Send(fd_, bytes.data(), bytes.size());
                if (n <= 0) return false;
                bytes.remove_prefix(static_cast<size_t>(n));
            }
            return true;
        }
        // Sleeps in short slices; false once the server stops.
        bool Sleep(std::chrono::milliseconds time) {
            const auto end = std::chrono::steady_clock::now() + time;
            for (auto now = std::chrono::steady_clock::now(); now < end;
                 now = std::chrono::steady_clock::now()) {
                if (stop_.load()) return false;
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    end - now, std::chrono::milliseconds(5)));
            }
            return !stop_.load();
        }
        // Waits until the server stops or the client closes its end.
        void HoldUntilStopOrClose() {
            char byte;
            while (!stop_.load()) {
                if (net::WaitFor(fd_, POLLIN, 20) == 0) continue;
                if (net::Recv(fd_, &byte, 1) <= 0) return;
            }
        }

    private:
        net::Socket fd_;
        const std::atomic<bool>& stop_;
    };

    using Script = std::function<void(Connection&)>;

    explicit LocalHttpServer(Script script) : script_(std::move(script)) {
        listener_ = net::BindLoopback(0, 8);
        if (listener_ == net::kNoSocket) return;
        port_ = net::BoundPort(listener_);
        thread_ = std::thread([this] { Run(); });
    }
    ~LocalHttpServer() { Stop(); }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }

    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        net::Close(listener_);
        listener_ = net::kNoSocket;
    }

private:
    void Run() {
        while (!stop_.load()) {
            if (net::WaitFor(listener_, POLLIN, 20) == 0) continue;
            const net::Socket fd = ::accept(listener_, nullptr, nullptr);
            if (fd == net::kNoSocket) continue;
            ++accepted_;
            Connection connection(fd, stop_);
            script_(connection);
            net::Close(fd);
        }
    }

    Script script_;
    net::Socket listener_ = net::kNoSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A loopback port on which nothing listens (bound once, then released).
inline uint16_t ClosedPort() {
    const net::Socket fd = net::BindLoopback(0, 0);
    const uint16_t port = net::BoundPort(fd);
    net::Close(fd);
    return port;
}

}  // namespace httptest
