// A tiny scripted HTTP server on 127.0.0.1 for the sender tests that need answers the camera
// simulator does not give (trickled bodies, stalls, oversized headers, bodies cut short).
//
// One thread accepts connections one after another and runs the test's script on each; the script
// reads the request head and writes whatever bytes it likes. Stop() (also run by the destructor)
// makes every wait of the script end, closes the connection and joins the thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace httptest {

class LocalHttpServer {
public:
    class Connection {
    public:
        Connection(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

        // Reads up to the end of the request head; false when the client went away or on stop.
        bool ReadRequest(std::string* head = nullptr) {
            std::string text;
            char buffer[1024];
            while (text.find("\r\n\r\n") == std::string::npos) {
                if (stop_.load() || text.size() > 64 * 1024) return false;
                pollfd pfd{fd_, POLLIN, 0};
                if (::poll(&pfd, 1, 20) <= 0) continue;
                const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
                if (n <= 0) return false;
                text.append(buffer, static_cast<size_t>(n));
            }
            if (head != nullptr) *head = text;
            return true;
        }
        bool Send(std::string_view bytes) {
            while (!bytes.empty()) {
                if (stop_.load()) return false;
                const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
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
                pollfd pfd{fd_, POLLIN, 0};
                if (::poll(&pfd, 1, 20) <= 0) continue;
                if (::recv(fd_, &byte, 1, 0) <= 0) return;
            }
        }

    private:
        int fd_;
        const std::atomic<bool>& stop_;
    };

    using Script = std::function<void(Connection&)>;

    explicit LocalHttpServer(Script script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 8) != 0) {
            return;
        }
        socklen_t length = sizeof(address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
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
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
    }

private:
    void Run() {
        while (!stop_.load()) {
            pollfd pfd{listener_, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            ++accepted_;
            Connection connection(fd, stop_);
            script_(connection);
            ::close(fd);
        }
    }

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A loopback port on which nothing listens (bound once, then released).
inline uint16_t ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace httptest
