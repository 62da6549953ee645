#include "control_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace zarnbench {

using namespace std::chrono_literals;

void EndChild(pid_t pid, rusage* usage) {
    rusage ignored{};
    rusage* into = usage != nullptr ? usage : &ignored;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::wait4(pid, nullptr, WNOHANG, into) == pid) return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::wait4(pid, nullptr, 0, into);
}

ControlProcess::~ControlProcess() {
    if (pid_ > 0) EndChild(pid_, nullptr);
}

bool ControlProcess::Start(const std::string& zarncam, std::string* error) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(out[0]);
        ::close(out[1]);
        *error = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the benchmark
        ::dup2(out[1], STDOUT_FILENO);
        ::execl(zarncam.c_str(), zarncam.c_str(), "control", "--port", "0",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{out[0], POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    const size_t at = line.find("port ");
    if (at == std::string::npos) {
        *error = "zarncam control did not start: " + line;
        return false;
    }
    address_ = "127.0.0.1:" + std::to_string(std::atoi(line.c_str() + at + 5));
    return true;
}

}  // namespace zarnbench
